#include "net/socket_errors.h"

#include <gtest/gtest.h>

#include <cerrno>

using namespace km40r;

TEST(SocketErrors, SystemErrorsKeepTheNumbersTechniciansKnow) {
    const std::pair<int, int> cases[] = {
        {ECONNABORTED, 10053}, {ECONNRESET, 10054},
        {EPIPE, 10054},        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061}, {ENETUNREACH, 10051},
        {EHOSTUNREACH, 10065}, {EADDRINUSE, 10048},
        {EACCES, 10013},       {EINVAL, 10022},
        {EMFILE, 10024},       {EDOM, EDOM}, // unknown to the table: its own number
    };
    for (const auto& [errnoValue, code] : cases)
        EXPECT_EQ(SocketErrorCode(errnoValue), code) << errnoValue;
    // On an open connection a timeout means the connection was aborted.
    EXPECT_EQ(ConnectionErrorCode(ETIMEDOUT), 10053);
    EXPECT_EQ(ConnectionErrorCode(ECONNRESET), 10054);
}

TEST(SocketErrors, MessagesCarryTheCodeAndTheSystemsText) {
    EXPECT_EQ(AsyncSocketErrorMessage(10054), "Asynchronous socket error 10054");
    // The test entry runs in the C locale.
    EXPECT_EQ(SocketCallErrorMessage(10048, "bind"),
              "Windows socket error: Address already in use (10048), on API 'bind'");
    EXPECT_EQ(SocketCallErrorMessage(10054, "send"),
              "Windows socket error: Connection reset by peer (10054), on API 'send'");
    EXPECT_EQ(SocketErrorText(10061), "Connection refused");
}
