#include "core/errors.h"
#include "net/loopback_device.h"
#include "net/server_socket.h"
#include "support/serial_support.h"

#include <QPointer>

#include <gtest/gtest.h>

#include <sys/resource.h>

using namespace km40r;
using namespace km40r::test;

namespace {

class ServerSocketTest : public testing::Test {
protected:
    void SetUp() override {
        GuardedErrors().clear();
        server.OnClientConnect = [this](QObject* sender, TSocketConnection* socket) {
            EXPECT_EQ(sender, &server);
            // Already counted and listed, with its address and number.
            const int count = server.ActiveConnections();
            EXPECT_EQ(server.Connections(count - 1), socket);
            events.push_back("connect " + std::to_string(count) + " " + socket->RemoteAddress());
        };
        server.OnClientDisconnect = [this](QObject*, TSocketConnection* socket) {
            // Still counted and listed, with its address.
            bool listed = false;
            for (int i = 0; i < server.ActiveConnections(); ++i)
                listed = listed || server.Connections(i) == socket;
            EXPECT_TRUE(listed);
            events.push_back("disconnect " + std::to_string(server.ActiveConnections()) + " " +
                             socket->RemoteAddress());
        };
        server.OnClientRead = [this](QObject*, TSocketConnection* socket) {
            received[socket->SocketHandle()] += socket->ReceiveText();
        };
        server.Port = 0;
        server.Open();
    }
    void TearDown() override { EXPECT_TRUE(GuardedErrors().empty()) << GuardedErrors().front(); }

    std::unique_ptr<Device> connectDevice() {
        const auto count = events.size();
        auto device = Device::Connect(server.LocalPort());
        EXPECT_TRUE(device && WaitUntil([&] { return events.size() > count; }));
        return device;
    }

    TServerSocket server;
    std::vector<std::string> events;
    std::map<int, std::string> received;
};

std::string ListError(const std::function<void()>& f) {
    try {
        f();
    } catch (const EListError& e) {
        return e.what();
    }
    return "no error";
}

} // namespace

TEST_F(ServerSocketTest, ListsDevicesInOrderAndReadsEachOnItsOwn) {
    ASSERT_TRUE(server.Active());
    EXPECT_GT(server.LocalPort(), 0);
    auto a = connectDevice();
    auto b = connectDevice();
    EXPECT_EQ(events, (std::vector<std::string>{"connect 1 127.0.0.1", "connect 2 127.0.0.1"}));
    const int first = server.Connections(0)->SocketHandle();
    const int second = server.Connections(1)->SocketHandle();
    EXPECT_NE(first, second);

    const std::string bytes = AllByteValues();
    b->Send(bytes);
    a->Send("from a");
    ASSERT_TRUE(
        WaitUntil([&] { return received[first] == "from a" && received[second] == bytes; }));

    // Sending reaches the one device.
    EXPECT_EQ(server.Connections(1)->SendText("to b"), 4);
    EXPECT_TRUE(b->Got("to b"));
    EXPECT_EQ(a->received, "");
}

TEST_F(ServerSocketTest, APeerThatLeavesIsListedDuringItsEventOnly) {
    auto a = connectDevice();
    auto b = connectDevice();
    QPointer<TSocketConnection> leaving = server.Connections(0);
    a->Send("bye");
    a->Close();
    ASSERT_TRUE(WaitUntil([&] { return events.size() == 3; }));
    EXPECT_EQ(events.back(), "disconnect 2 127.0.0.1");
    EXPECT_EQ(received[leaving->SocketHandle()], "bye"); // its data came first
    EXPECT_EQ(server.ActiveConnections(), 1);
    EXPECT_NE(server.Connections(0), leaving.data());
    // Closed now; the object goes with the event loop, and sends on it do nothing.
    EXPECT_FALSE(leaving->Connected());
    EXPECT_EQ(leaving->RemoteAddress(), "");
    EXPECT_EQ(leaving->SendText("late"), 0);
    EXPECT_TRUE(WaitUntil([&] { return leaving.isNull(); }));

    // A half-close is a close too.
    b->HalfClose();
    ASSERT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 0; }));
    EXPECT_EQ(events.back(), "disconnect 1 127.0.0.1");
}

TEST_F(ServerSocketTest, CloseEndsEveryConnectionSilently) {
    auto a = connectDevice();
    auto b = connectDevice();
    const auto seen = events.size();
    server.Close();
    EXPECT_FALSE(server.Active());
    EXPECT_EQ(server.ActiveConnections(), 0);
    EXPECT_TRUE(a->SeesClose());
    EXPECT_TRUE(b->SeesClose());
    EXPECT_EQ(events.size(), seen);
    EXPECT_EQ(ListError([&] { server.Connections(0); }), "List index out of bounds (0)");
    EXPECT_EQ(ListError([&] { server.Connections(-1); }), "List index out of bounds (-1)");
}

TEST_F(ServerSocketTest, ListensAgainOnThePortItJustLeft) {
    auto a = connectDevice();
    const int port = server.LocalPort();
    server.Close(); // our side of the connection now winds down on the port
    ASSERT_TRUE(a->SeesClose());
    server.Port = port;
    server.Open();
    EXPECT_TRUE(server.Active());
    EXPECT_EQ(server.LocalPort(), port);
}

TEST_F(ServerSocketTest, OutOfDescriptorsTheServerRestsAndSaysSoOnce) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' runtime needs descriptors of its own";
#endif
    // Two devices wait in the queue; then no descriptor is left to accept them.
    std::vector<int> waiting;
    for (int i = 0; i < 2; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(server.LocalPort()));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        waiting.push_back(fd);
    }
    rlimit saved{};
    ::getrlimit(RLIMIT_NOFILE, &saved);
    const int lowestFree = ::dup(0);
    ::close(lowestFree);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ::setrlimit(RLIMIT_NOFILE, &none);
    // Served for a while: one message, and no connection.
    ASSERT_TRUE(WaitUntil([&] { return !GuardedErrors().empty(); }));
    EXPECT_FALSE(
        WaitUntil([&] { return GuardedErrors().size() > 1; }, std::chrono::milliseconds(300)));
    ::setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_EQ(GuardedErrors().size(), 1u);
    EXPECT_EQ(GuardedErrors()[0],
              "Windows socket error: Too many open files (10024), on API 'accept'");
    GuardedErrors().clear();
    EXPECT_EQ(server.ActiveConnections(), 0);
    // With descriptors again, the waiting devices are taken.
    EXPECT_TRUE(WaitUntil([&] { return server.ActiveConnections() == 2; }));
    for (int fd : waiting)
        ::close(fd);
}

TEST_F(ServerSocketTest, ListeningFailuresNameTheCall) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    struct Case {
        int port;
        std::string code;
    };
    for (const Case& c : {Case{holder.serverPort(), "(10048)"}, Case{70000, "(10022)"}}) {
        TServerSocket other;
        other.Port = c.port;
        std::string message;
        try {
            other.Open();
        } catch (const ESocketError& e) {
            message = e.what();
        }
        EXPECT_EQ(message.rfind("Windows socket error: ", 0), 0u) << message;
        EXPECT_NE(message.find(c.code + ", on API 'bind'"), std::string::npos) << message;
        EXPECT_FALSE(other.Active());
    }
}

TEST_F(ServerSocketTest, AResetIsReportedAndTheConnectionStaysUntilASendFails) {
    auto a = connectDevice();
    TSocketConnection* socket = server.Connections(0);
    a->Send("tail");
    ASSERT_TRUE(WaitUntil([&] { return received[socket->SocketHandle()] == "tail"; }));
    a->Reset();
    ASSERT_TRUE(WaitUntil([&] { return !GuardedErrors().empty(); }));
    EXPECT_EQ(GuardedErrors(), std::vector<std::string>{"Asynchronous socket error 10054"});
    GuardedErrors().clear();
    ServePendingEvents();
    ASSERT_EQ(server.ActiveConnections(), 1);
    EXPECT_EQ(events.size(), 1u);

    std::string message;
    try {
        socket->SendText("hello?");
    } catch (const ESocketError& e) {
        message = e.what();
    }
    EXPECT_EQ(message, "Windows socket error: Connection reset by peer (10054), on API 'send'");
    EXPECT_EQ(events.back(), "disconnect 1 127.0.0.1"); // raised before the error
    EXPECT_EQ(server.ActiveConnections(), 0);
}

TEST_F(ServerSocketTest, DestroyingTheComponentRaisesNothing) {
    auto doomed = std::make_unique<TServerSocket>();
    doomed->Open();
    int raised = 0;
    doomed->OnClientConnect = [&](QObject*, TSocketConnection*) { ++raised; };
    doomed->OnClientDisconnect = [&](QObject*, TSocketConnection*) { raised += 100; };
    auto a = Device::Connect(doomed->LocalPort());
    ASSERT_TRUE(a && WaitUntil([&] { return raised == 1; }));
    doomed.reset();
    EXPECT_TRUE(a->SeesClose());
    ServePendingEvents();
    EXPECT_EQ(raised, 1);
}
