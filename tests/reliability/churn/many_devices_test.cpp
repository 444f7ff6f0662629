// The server link with a thousand devices connected at once: every one is
// listed as the program lists it, a send reaches the chosen device alone,
// the devices' bytes are logged, and when they have all gone the list is
// empty and no descriptor or connection object is left behind.
//
// KM40R_CHURN_DEVICES sets the number of devices (1000 by default).
#include "churn_support.h"

#include "app/globals.h"
#include "net/server_socket.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <vector>

using namespace km40r;
using namespace km40r::test;
using namespace km40r::test::churn;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The device's end of a connection; closed when it goes, if still open.
struct DeviceEnd {
    DeviceEnd() = default;
    ~DeviceEnd() { leave(); }
    DeviceEnd(const DeviceEnd&) = delete;
    DeviceEnd& operator=(const DeviceEnd&) = delete;
    void leave() {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

    int fd = -1;
    int port = 0; // the device's own port
};

using ChurnManyDevices = ChurnWindowTest;

} // namespace

TEST_F(ChurnManyDevices, AllListedServedAndGoneWithoutATrace) {
    const int n = EnvCount("KM40R_CHURN_DEVICES", 1000);
    // Both ends of every connection are descriptors of this process.
    DescriptorLimit limit(static_cast<rlim_t>(n) * 2 + 256);
    ASSERT_GE(limit.soft(), static_cast<rlim_t>(n) * 2 + 64) << "descriptor limit too low";

    TfMain& w = openServer(20);
    w.chcrlf->setChecked(false);
    w.chhex->setChecked(false);
    w.chbaslangic->setChecked(false);
    w.chexit->setChecked(false);
    const int port = w.SS1->LocalPort();
    const int listenFd = ListeningSocket(port);
    ASSERT_GE(listenFd, 0);
    ASSERT_EQ(QueueOf(listenFd).limit, TServerSocket::kListenQueue);
    ServePendingEvents();
    const int baseline = OpenDescriptors();

    // Arrivals, paced so that the accept queue never overflows.
    const auto start = Clock::now();
    std::vector<DeviceEnd> devices(static_cast<std::size_t>(n));
    for (DeviceEnd& d : devices) {
        if (QueueOf(listenFd).waiting >= TServerSocket::kListenQueue - 1) {
            ASSERT_TRUE(WaitUntil([&] {
                return QueueOf(listenFd).waiting < TServerSocket::kListenQueue - 1;
            })) << "the server stopped accepting";
        }
        d.fd = ConnectDevice(port, d.port);
        ASSERT_GE(d.fd, 0) << "connect: " << std::strerror(errno);
    }
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == n; }))
        << w.SS1->ActiveConnections();
    // Timer2 sees them all and refreshes the list once more.
    ASSERT_TRUE(WaitUntil([&] { return LastConnectionCount == n; }));
    const double listedAfter = SecondsSince(start);

    // The list: each device once, in the order they came, by the server
    // socket that serves it, the first selected.
    const std::map<int, int> serverSide = AcceptedSockets(port);
    ASSERT_EQ(serverSide.size(), static_cast<std::size_t>(n));
    QStringList expected;
    for (const DeviceEnd& d : devices) {
        ASSERT_EQ(serverSide.count(d.port), 1u) << "device port " << d.port << " not accepted";
        expected << label(serverSide.at(d.port));
    }
    EXPECT_EQ(listed(), expected);
    EXPECT_EQ(w.cxsocket->currentText(), expected.value(0));
    EXPECT_EQ(statusLines(kArrived), n);
    EXPECT_TRUE(trafficButtons(true));

    // A few devices speak; each one's bytes land whole, in turn.
    std::string said;
    for (int i : {n - 1, 0, n / 2, n / 3}) {
        const std::string words = "device " + std::to_string(i) + " reporting;";
        ASSERT_TRUE(SendAll(devices[static_cast<std::size_t>(i)].fd, words));
        said += words;
        ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= said.size(); }));
    }
    EXPECT_EQ(w.trafficLogs().log(TrafficLogs::Log::MemoGelen).text(), said);

    // Sends from the window reach the device whose entry the combo shows,
    // and no other.
    for (int chosen : {n / 2, n - 1, 0}) {
        SCOPED_TRACE(chosen);
        w.cxsocket->setCurrentIndex(chosen);
        const std::string words = "to " + std::to_string(chosen);
        w.cxveri->setText(QString::fromStdString(words));
        QTest::mouseClick(w.btngonder, Qt::LeftButton);
        ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        EXPECT_EQ(ReceiveCount(devices[static_cast<std::size_t>(chosen)].fd, words.size()), words);
        int strays = 0;
        for (const DeviceEnd& d : devices)
            strays += TakeAvailable(d.fd).empty() ? 0 : 1;
        EXPECT_EQ(strays, 0);
    }

    // All leave. The departures are written at once; the list empties at
    // the next tick.
    const auto leaving = Clock::now();
    for (DeviceEnd& d : devices)
        d.leave();
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == 0; }))
        << w.SS1->ActiveConnections();
    EXPECT_EQ(statusLines(kLeft), n);
    ASSERT_TRUE(WaitUntil([&] { return LastConnectionCount == 0; }));
    const double goneAfter = SecondsSince(leaving);
    EXPECT_EQ(listed(), QStringList{});
    EXPECT_EQ(w.cxsocket->currentText(), "");
    EXPECT_TRUE(trafficButtons(false));
    EXPECT_EQ(connectionObjects(), 0);
    EXPECT_EQ(OpenDescriptors(), baseline);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();

    std::printf("churn: devices=%d listed_s=%.3f gone_s=%.3f fds_left=%d\n", n, listedAfter,
                goneAfter, OpenDescriptors() - baseline);
}
