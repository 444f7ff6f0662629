// No byte is lost through any link while a device streams as fast as the link
// takes and the user keeps sending.
//
// Each test connects the window to a device as a user would, on one of the
// three links: the serial link to a pseudo-terminal, the TCP client link to a
// device listening on 127.0.0.1, the TCP server link with two devices
// connected and the second one chosen. The device is a thread of its own
// (StreamingDevice), so the window's event loop on this thread is what is
// under test. Once the program's first bytes reach it (the start text of a
// framed send) the device streams its seeded pseudo-random bytes, every byte
// value among them. Meanwhile the user keeps sending, from a timer on this
// thread: varying texts with varying options, by the "Gönder" button, the
// Enter key and the macro buttons (SendScript), so that the stream's bytes
// arrive during the send routine's pauses and between its writes.
//
// At the end: the received logs hold the device's stream byte for byte; the
// device received exactly the exchanges' bytes, in order; the sent-text and
// sent hexadecimal logs hold every exchange; every send put its line break
// into the received hexadecimal log; the store keeps its bytes once; and no
// error box was shown. The idle device of the server link received nothing.
//
// The device streams in slices (KM40R_NO_LOSS_SLICES, default 8), each as
// fast as the link takes it and the next once more of the program's bytes
// have come, so that the stream is spread over the sends even on a link fast
// enough to take it all within one send's pause.
// KM40R_NO_LOSS_BYTES sets the stream's size per link (default 8 MiB);
// KM40R_NO_LOSS_SEED repeats a run (the seed is part of every failure
// message). Each test prints one line of figures, starting "no_loss ":
// bytes, seconds from the stream's first byte to its last logged, MB/s
// (10^6 bytes), the sends made and those begun meanwhile, the store's size
// and the process's peak resident memory.
// scripts/no_loss.sh runs the suite at 100 MB per link.
#include "app/window_fixture.h"
#include "core/traffic_log.h"
#include "net/server_socket.h"
#include "serial/com_port.h"
#include "streaming_device.h"
#include "support/serial_support.h"
#include "user_sends.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

using namespace km40r;
using namespace km40r::test;
using Log = TrafficLogs::Log;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::uint64_t kDefaultBytes = 8 << 20;
constexpr std::uint64_t kDefaultSlices = 8;
// Sends the user makes at least, however soon the stream is through.
constexpr int kMinSends = 16;

std::uint64_t EnvironmentNumber(const char* name, std::uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::strtoull(text, nullptr, 0) : otherwise;
}

std::uint64_t PeakResidentBytes() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmHWM:") {
            std::uint64_t kb = 0;
            in >> kb;
            return kb * 1024;
        }
        std::getline(in, key);
    }
    return 0;
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// A device's listening socket on 127.0.0.1 at a free port.
class Listener {
public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd_, 1) == 0 &&
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port_ = ntohs(address.sin_port);
    }
    ~Listener() { ::close(fd_); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return port_; }
    // The next waiting connection, or -1.
    int Accept() { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }

private:
    int fd_ = -1;
    int port_ = 0;
};

// A connection of a device to 127.0.0.1:port; -1 when it fails.
int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

class NoLossTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        seed_ = EnvironmentNumber("KM40R_NO_LOSS_SEED",
                                  std::random_device{}() * 0x100000001ull ^ std::random_device{}());
        total_ = EnvironmentNumber("KM40R_NO_LOSS_BYTES", kDefaultBytes);
        slices_ = EnvironmentNumber("KM40R_NO_LOSS_SLICES", kDefaultSlices);
        sender_.setSingleShot(true);
        QObject::connect(&sender_, &QTimer::timeout, [this] { SendOne(); });
    }
    void TearDown() override {
        sending_ = false;
        sender_.stop();
        WindowTest::TearDown();
    }

    std::string SeedNote() const {
        return "seed " + std::to_string(seed_) + " (KM40R_NO_LOSS_SEED=" + std::to_string(seed_) +
               " repeats it), " + std::to_string(total_) + " bytes";
    }

    // One send as the user makes it: the options, the text, the click or key.
    void SendOne() {
        if (!sending_)
            return;
        TfMain& w = *window;
        const UserSend send = script_->Next();
        w.chcrlf->setChecked(send.crlf);
        w.chdec->setChecked(send.dec);
        w.chhex->setChecked(send.hex);
        w.chbaslangic->setChecked(send.start);
        w.chexit->setChecked(send.exit);
        w.cxbaslangic->setText(send.startText);
        wire_ += send.Wire();
        sentText_ += send.SentTextLines();
        sentHex_ += send.SentHexLine();
        ++sends_;
        switch (send.way) {
        case UserSend::Way::Button:
            w.cxveri->setText(send.text);
            QTest::mouseClick(w.btngonder, Qt::LeftButton);
            break;
        case UserSend::Way::EnterKey:
            w.cxveri->setText(send.text);
            QTest::keyClick(w.cxveri, Qt::Key_Return);
            break;
        case UserSend::Way::Macro:
            w.macroEdit(send.macro)->setText(send.text);
            QTest::mouseClick(w.macroButton(send.macro), Qt::LeftButton);
            break;
        }
        if (sending_)
            sender_.start(script_->NextInterval());
    }

    // Lets the device stream while the user sends, then checks every byte
    // both ways and the logs. `link` names the link in the figures.
    void StreamAndCheck(StreamingDevice& device, const char* link) {
        TfMain& w = *window;
        const TrafficLogs& logs = w.trafficLogs();
        w.chenter->setChecked(true);
        const std::string sentTextBefore = logs.log(Log::MemoGiden).text();
        const std::string sentHexBefore = logs.log(Log::memogidenhex).text();
        const std::uint64_t linesBefore = logs.log(Log::memogelenhex).lineCount();
        ASSERT_EQ(logs.receivedBytes(), 0u);

        script_ = std::make_unique<SendScript>(seed_);
        device.Start();
        sending_ = true;
        sender_.start(0);
        // The end of the stream is noted by a timer, which also runs inside
        // the send routine's pauses, where the wait below does not look.
        Clock::time_point allLogged{};
        int sendsDuring = 0; // sends begun before the stream was all logged
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (allLogged == Clock::time_point{} && logs.receivedBytes() >= total_) {
                allLogged = Clock::now();
                sendsDuring = sends_;
            }
        });
        watch.start(1);
        const auto limit = std::chrono::seconds(60) + std::chrono::milliseconds(total_ / 100'000);
        // Once the device's stream is all out, logs that stop growing short
        // of it have lost bytes: the comparison below says where.
        std::uint64_t lastCount = 0;
        Clock::time_point lastGrowth = Clock::now();
        const auto stalled = [&] {
            const auto now = Clock::now();
            if (logs.receivedBytes() != lastCount) {
                lastCount = logs.receivedBytes();
                lastGrowth = now;
            }
            return device.Streamed() == total_ && now - lastGrowth > std::chrono::seconds(10);
        };
        const bool done = WaitUntil(
            [&] { return (allLogged != Clock::time_point{} || stalled()) && sends_ >= kMinSends; },
            limit);
        sending_ = false;
        sender_.stop();
        watch.stop();
        const bool delivered = WaitUntil([&] { return device.ReceivedCount() >= wire_.size(); });
        device.Stop();
        ASSERT_TRUE(done) << link << ": " << logs.receivedBytes() << " bytes logged, "
                          << device.Streamed() << " streamed, " << sends_
                          << " sends; device: " << device.Failure();
        EXPECT_EQ(device.Failure(), "");
        EXPECT_TRUE(delivered) << device.ReceivedCount() << " of " << wire_.size() << " bytes";

        // The received logs hold the stream, byte for byte.
        EXPECT_EQ(logs.receivedBytes(), total_);
        ByteStream stream(seed_);
        constexpr std::uint64_t kPiece = 1 << 20;
        std::string got;
        std::string want;
        const std::uint64_t end = std::max(total_, logs.receivedBytes());
        for (std::uint64_t pos = 0; pos < end; pos += kPiece) {
            got.clear();
            logs.copyReceived(pos, kPiece, got);
            want.resize(static_cast<std::size_t>(std::min(kPiece, total_ - std::min(pos, total_))));
            stream.Read(pos, want.data(), want.size());
            const std::size_t at = FirstDifference(want, got);
            if (at != std::string::npos) {
                ADD_FAILURE() << "received log: " << DescribeDifference(want, got, at, pos);
                break;
            }
        }

        // The device got every exchange, in order, and nothing else.
        const std::size_t at = FirstDifference(wire_, device.Received());
        EXPECT_EQ(at, std::string::npos)
            << "device: " << DescribeDifference(wire_, device.Received(), at);

        // The sent logs hold every exchange; every send broke the received
        // hexadecimal log's line.
        const std::string sentText = logs.log(Log::MemoGiden).text();
        const std::string sentHex = logs.log(Log::memogidenhex).text();
        const std::string wantText = sentTextBefore + sentText_;
        const std::string wantHex = sentHexBefore + sentHex_;
        const std::size_t textAt = FirstDifference(wantText, sentText);
        EXPECT_EQ(textAt, std::string::npos)
            << "sent-text log: " << DescribeDifference(wantText, sentText, textAt);
        const std::size_t hexAt = FirstDifference(wantHex, sentHex);
        EXPECT_EQ(hexAt, std::string::npos)
            << "sent hexadecimal log: " << DescribeDifference(wantHex, sentHex, hexAt);
        EXPECT_EQ(logs.log(Log::memogelenhex).lineCount(),
                  linesBefore + static_cast<std::uint64_t>(sends_));

        // The store keeps the received bytes once.
        const std::uint64_t store = logs.memoryBytes();
        EXPECT_LE(store, total_ + total_ / 2 + (16u << 20));
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();

        const double seconds =
            std::chrono::duration<double>(allLogged - device.StreamStart()).count();
        std::printf("no_loss link=%s bytes=%llu seconds=%.3f mb_s=%.1f sends=%d sends_during=%d "
                    "store_mb=%.1f peak_rss_mb=%.1f seed=%llu\n",
                    link, static_cast<unsigned long long>(total_), seconds,
                    seconds > 0 ? double(total_) / 1e6 / seconds : 0.0, sends_, sendsDuring,
                    double(store) / 1e6, double(PeakResidentBytes()) / 1e6,
                    static_cast<unsigned long long>(seed_));
        std::fflush(stdout);
    }

    std::uint64_t seed_ = 0;
    std::uint64_t total_ = 0;
    std::uint64_t slices_ = 1;
    QTimer sender_;
    std::unique_ptr<SendScript> script_;
    bool sending_ = false;
    int sends_ = 0;
    std::string wire_;     // what the device must receive
    std::string sentText_; // what the exchanges add to the sent-text log
    std::string sentHex_;  // and to the sent hexadecimal log
};

} // namespace

TEST_F(NoLossTest, SerialLink) {
    SCOPED_TRACE(SeedNote());
    PtyPair pty;
    TfMain& w = open();
    w.cxcomport->setEditText(QString::fromStdString(pty.path()));
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    ASSERT_TRUE(w.CP1->IsOpen()) << errors.join('|').toStdString();
    StreamingDevice device(pty.master(), seed_, total_, false, slices_);
    StreamAndCheck(device, "serial");
}

TEST_F(NoLossTest, TcpClientLink) {
    SCOPED_TRACE(SeedNote());
    Listener listener;
    ASSERT_NE(listener.port(), 0);
    TfMain& w = open();
    w.cxclientip->setText("127.0.0.1");
    w.cxclientport->setText(QString::number(listener.port()));
    QTest::mouseClick(w.btnclientbaglan, Qt::LeftButton);
    int fd = -1;
    ASSERT_TRUE(WaitUntil([&] { return (fd = listener.Accept()) >= 0; }));
    StreamingDevice device(fd, seed_, total_, true, slices_);
    ASSERT_TRUE(WaitUntil([&] { return w.btngonder->isEnabled(); }))
        << errors.join('|').toStdString();
    StreamAndCheck(device, "tcp-client");
}

TEST_F(NoLossTest, TcpServerLinkWithTwoDevicesAndTheSecondChosen) {
    SCOPED_TRACE(SeedNote());
    TfMain& w = open();
    w.cxmasterport->setText("0");
    QTest::mouseClick(w.btnmasterbaglan, Qt::LeftButton);
    ASSERT_TRUE(w.SS1->Active()) << errors.join('|').toStdString();
    const int idleFd = ConnectTo(w.SS1->LocalPort());
    ASSERT_GE(idleFd, 0);
    StreamingDevice idle(idleFd, seed_, 0, true);
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == 1; }));
    const int fd = ConnectTo(w.SS1->LocalPort());
    ASSERT_GE(fd, 0);
    StreamingDevice device(fd, seed_, total_, true, slices_);
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == 2; }));
    // Timer2's check (every 5 s) after the arrivals, which would choose the
    // first device again; with the count unchanged, later ones change nothing.
    w.Timer2Timer();
    ASSERT_EQ(w.cxsocket->count(), 2);
    w.cxsocket->setCurrentIndex(1); // the user chooses the second device
    idle.Start();
    StreamAndCheck(device, "tcp-server");
    idle.Stop();
    EXPECT_EQ(idle.Received(), "");
    EXPECT_EQ(idle.Failure(), "");
    EXPECT_EQ(w.SS1->ActiveConnections(), 2);
}
