#include "core/errors.h"
#include "net/client_socket.h"
#include "net/loopback_device.h"
#include "net/socket_errors.h"
#include "support/serial_support.h"

#include <QTimer>

#include <gtest/gtest.h>

#include <map>

using namespace km40r;
using namespace km40r::test;

namespace {

// A resolver that answers from a table, later, like a real one; names it
// does not know do not resolve.
THostResolver TableResolver(std::map<std::string, std::uint32_t> table) {
    return [table](const std::string& name, QObject* context, TResolveDone done) {
        const auto it = table.find(name);
        const std::uint32_t address = it == table.end() ? 0 : it->second;
        const int error = it == table.end() ? kSocketHostNotFound : 0;
        QTimer::singleShot(0, context, [done, address, error] { done(address, error); });
    };
}

class ClientSocketTest : public testing::Test {
protected:
    void SetUp() override {
        GuardedErrors().clear();
        client.SetResolver(TableResolver({}));
        client.OnConnecting = [this](QObject*, TSocketConnection*) {
            events.push_back("connecting");
        };
        client.OnConnect = [this](QObject*, TSocketConnection*) { events.push_back("connect"); };
        client.OnDisconnect = [this](QObject*, TSocketConnection*) {
            events.push_back("disconnect");
        };
        client.OnRead = [this](QObject*, TSocketConnection* socket) {
            reads.push_back(socket->ReceiveText());
        };
        client.OnError = [this](QObject* sender, TSocketConnection* socket, TErrorEvent kind,
                                int& code) {
            EXPECT_EQ(sender, &client);
            EXPECT_NE(socket, nullptr);
            events.push_back("error " + std::to_string(kind) + " " + std::to_string(code));
            if (suppress)
                code = 0;
        };
    }
    void TearDown() override { EXPECT_TRUE(GuardedErrors().empty()) << GuardedErrors().front(); }

    // Connects to the device server and waits until both ends are up.
    bool connectToDevice() {
        client.Host = "127.0.0.1";
        client.Port = server.port();
        client.Open();
        return WaitUntil([&] { return !events.empty() && events.back() == "connect"; }) &&
               server.WaitForDevices(1);
    }
    std::string all() const {
        std::string bytes;
        for (const std::string& r : reads)
            bytes += r;
        return bytes;
    }
    static std::string error(TErrorEvent kind, int code) {
        return "error " + std::to_string(kind) + " " + std::to_string(code);
    }

    DeviceServer server;
    TClientSocket client;
    std::vector<std::string> events;
    std::vector<std::string> reads;
    bool suppress = true;
};

} // namespace

TEST_F(ClientSocketTest, ConnectsReadsEveryByteInPiecesAndIsClosedByThePeer) {
    ASSERT_TRUE(connectToDevice());
    EXPECT_EQ(events, (std::vector<std::string>{"connecting", "connect"}));
    ASSERT_TRUE(client.Socket()->Connected());
    EXPECT_EQ(client.Socket()->RemoteAddress(), "127.0.0.1");

    // Three pieces, each waited for, arrive as three read events, unchanged.
    const std::string bytes = AllByteValues();
    Device& device = *server.devices[0];
    for (const std::string& piece : {bytes.substr(0, 1), bytes.substr(1, 127), bytes.substr(128)}) {
        device.Send(piece);
        ASSERT_TRUE(WaitUntil([&] { return !reads.empty() && reads.back() == piece; }));
    }
    EXPECT_EQ(reads.size(), 3u);
    EXPECT_EQ(all(), bytes);

    device.Send("end");
    device.Close();
    ASSERT_TRUE(WaitUntil([&] { return events.back() == "disconnect"; }));
    EXPECT_EQ(all(), bytes + "end"); // read before the close
    EXPECT_FALSE(client.Active());
    EXPECT_EQ(client.Socket(), nullptr);

    // A later open starts afresh.
    events.clear();
    ASSERT_TRUE(connectToDevice());
    EXPECT_EQ(events, (std::vector<std::string>{"connecting", "connect"}));
}

TEST_F(ClientSocketTest, CloseRaisesDisconnectWhileTheSocketIsStillOpen) {
    ASSERT_TRUE(connectToDevice());
    client.OnDisconnect = [this](QObject*, TSocketConnection* socket) {
        events.push_back("disconnect");
        socket->SendText("bye");
    };
    client.Close();
    EXPECT_EQ(events.back(), "disconnect");
    EXPECT_FALSE(client.Active());
    Device& device = *server.devices[0];
    EXPECT_TRUE(device.SeesClose());
    EXPECT_EQ(device.received, "bye");
    client.Close(); // not open: nothing
    EXPECT_EQ(events.size(), 3u);
}

TEST_F(ClientSocketTest, FailuresRaiseTheirEventsInOrder) {
    RefusingPort refusing;
    struct Case {
        const char* name;
        std::string host;
        int port;
        std::vector<std::string> duringOpen;
        std::vector<std::string> after;
        std::string thrown;
    };
    const Case cases[] = {
        {"refused", "127.0.0.1", refusing.port(), {"connecting"}, {error(eeConnect, 10061)}, ""},
        {"empty host", "", refusing.port(), {error(eeLookup, 1110), "disconnect"}, {}, ""},
        {"unresolvable name",
         "device.invalid",
         7890,
         {},
         {error(eeLookup, 11001), "disconnect"},
         ""},
        {"port out of range",
         "127.0.0.1",
         70000,
         {"connecting", "disconnect"},
         {},
         "Windows socket error: Invalid argument (10022), on API 'connect'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        events.clear();
        client.Host = c.host;
        client.Port = c.port;
        std::string thrown;
        try {
            client.Open();
        } catch (const ESocketError& e) {
            thrown = e.what();
        }
        EXPECT_EQ(thrown, c.thrown);
        EXPECT_EQ(events, c.duringOpen);
        std::vector<std::string> expected = c.duringOpen;
        expected.insert(expected.end(), c.after.begin(), c.after.end());
        EXPECT_TRUE(WaitUntil([&] { return events.size() >= expected.size(); }));
        ServePendingEvents();
        EXPECT_EQ(events, expected);
        EXPECT_FALSE(client.Active());
    }
}

TEST_F(ClientSocketTest, CodesLeftByTheHandlerAreRaised) {
    suppress = false;
    RefusingPort refusing;
    client.Host = "127.0.0.1";
    client.Port = refusing.port();
    client.Open();
    ASSERT_TRUE(WaitUntil([&] { return !GuardedErrors().empty(); }));
    EXPECT_EQ(GuardedErrors(), std::vector<std::string>{"Asynchronous socket error 10061"});
    GuardedErrors().clear();

    client.Host = "";
    try {
        client.Open();
        ADD_FAILURE() << "no error";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(), "Asynchronous socket error 1110");
    }
    EXPECT_EQ(events.back(), "disconnect"); // raised before the error
}

TEST_F(ClientSocketTest, NamesGoThroughTheResolverAndANewOpenReplacesAPendingOne) {
    client.SetResolver(TableResolver({{"km40r-device", 0x7F000001u}}));
    client.Host = "km40r-device";
    client.Port = server.port();
    client.Open();
    EXPECT_TRUE(events.empty()); // resolving: nothing yet
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"connecting", "connect"}));
    client.Close();

    // A resolver that never answers leaves the attempt pending; the next
    // Open abandons it silently.
    client.SetResolver([](const std::string&, QObject*, TResolveDone) {});
    events.clear();
    client.Host = "slow-device";
    client.Open();
    client.Host = "127.0.0.1";
    client.Open();
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"connecting", "connect"}));
}

TEST_F(ClientSocketTest, LocalhostNeedsNoNameServer) {
    client.SetResolver(SystemHostResolver());
    client.Host = "localhost";
    client.Port = server.port();
    client.Open();
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 2; }));
    EXPECT_EQ(events, (std::vector<std::string>{"connecting", "connect"}));
}

TEST_F(ClientSocketTest, AResetIsReportedAndTheNextSendCloses) {
    ASSERT_TRUE(connectToDevice());
    Device& device = *server.devices[0];
    device.Send("last words");
    ASSERT_TRUE(WaitUntil([&] { return all() == "last words"; }));
    device.Reset();
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 3; }));
    EXPECT_EQ(events.back(), error(eeDisconnect, 10054));
    // Still open as far as the program is concerned, until a send fails.
    ServePendingEvents();
    EXPECT_EQ(events.size(), 3u);
    ASSERT_TRUE(client.Active());
    suppress = false;
    try {
        client.Socket()->SendText("anyone?");
        ADD_FAILURE() << "no error";
    } catch (const ESocketError& e) {
        EXPECT_STREQ(e.what(),
                     "Windows socket error: Connection reset by peer (10054), on API 'send'");
    }
    EXPECT_EQ(events, (std::vector<std::string>{"connecting", "connect", error(eeDisconnect, 10054),
                                                error(eeSend, 10054), "disconnect"}));
    EXPECT_FALSE(client.Active());
}

TEST_F(ClientSocketTest, AHalfCloseEndsTheConnectionAfterItsData) {
    ASSERT_TRUE(connectToDevice());
    Device& device = *server.devices[0];
    device.Send("x");
    device.HalfClose();
    ASSERT_TRUE(WaitUntil([&] { return events.back() == "disconnect"; }));
    EXPECT_EQ(all(), "x");
}

TEST_F(ClientSocketTest, ALargeSendArrivesWholeAndLaterSendsQueueBehindIt) {
    ASSERT_TRUE(connectToDevice());
    std::string big(8 << 20, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 251);
    // The device reads only while events are served, so most of it waits
    // in the connection.
    EXPECT_EQ(client.Socket()->SendText(big), static_cast<int>(big.size()));
    EXPECT_EQ(client.Socket()->SendText("tail"), 4);
    EXPECT_TRUE(server.devices[0]->Got(big + "tail"));
}

TEST_F(ClientSocketTest, NothingIsSentOrRaisedWhileNotOpen) {
    client.Host = "slow-device";
    client.SetResolver([](const std::string&, QObject*, TResolveDone) {});
    EXPECT_EQ(client.Socket(), nullptr);
    client.Open();
    ASSERT_NE(client.Socket(), nullptr);
    EXPECT_EQ(client.Socket()->SendText("early"), 0);
    client.Close(); // abandons the attempt silently
    EXPECT_FALSE(client.Active());
    EXPECT_TRUE(events.empty());
}

TEST_F(ClientSocketTest, DestroyingTheComponentRaisesNothing) {
    auto doomed = std::make_unique<TClientSocket>();
    bool raised = false;
    doomed->OnDisconnect = [&](QObject*, TSocketConnection*) { raised = true; };
    doomed->Host = "127.0.0.1";
    doomed->Port = server.port();
    doomed->OnConnect = [&](QObject*, TSocketConnection*) { events.push_back("connect"); };
    doomed->Open();
    ASSERT_TRUE(WaitUntil([&] { return !events.empty(); }) && server.WaitForDevices(1));
    doomed.reset();
    EXPECT_TRUE(server.devices[0]->SeesClose());
    EXPECT_FALSE(raised);
}
