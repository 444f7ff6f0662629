// Links that fail in the middle of an exchange, driven as a user would: the
// far end of the serial line goes while a device streams or while a send is in
// its pause, a TCP device resets, and "Kes" or "Pasif" is clicked during an
// exchange. Each ends the way the program ends that fault, leaves the window
// consistent, and the next connect works. Under AddressSanitizer these also
// show a send that reaches for a connection already gone.
#include "app/globals.h"
#include "app/log_view.h"
#include "app/link_window_fixture.h"
#include "fault_support.h"
#include "net/client_socket.h"
#include "net/loopback_device.h"
#include "net/server_socket.h"
#include "serial/com_port.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace km40r;
using namespace km40r::test;

namespace {

const QString kReset = QStringLiteral("TCP Client Hata Oluştu. Hata Kodu:10054\r\n");

class LinkFaultTest : public LinkWindowTest {
protected:
    void plainExchanges() {
        TfMain& w = *window;
        for (QCheckBox* box : {w.chbaslangic, w.chexit, w.chcrlf, w.chhex, w.chdec})
            box->setChecked(false);
    }
};

// --- the serial link ---

class FaultSerialLink : public LinkFaultTest {
protected:
    void connectTo(PtyPair& device) {
        TfMain& w = *window;
        w.cxcomport->setEditText(QString::fromStdString(device.path()));
        QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
        ASSERT_TRUE(w.CP1->IsOpen()) << errorText().toStdString();
    }
    // Descriptors of this process open on the terminal device of `slave`.
    static int descriptorsOn(int slave) {
        struct stat device {};
        if (::fstat(slave, &device) != 0)
            return -1;
        int count = 0;
        for (const std::string& name : FolderEntries("/proc/self/fd")) {
            struct stat st {};
            if (::stat(("/proc/self/fd/" + name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == device.st_rdev)
                ++count;
        }
        return count;
    }
    // The link ended as the program ends a lost port: closed, its line
    // written once, the connect button back, the traffic buttons off, the
    // port released.
    void expectEndedAsLost() {
        TfMain& w = *window;
        EXPECT_FALSE(w.CP1->IsOpen());
        EXPECT_EQ(sentText().count(kComClosed), 1) << sentText().toStdString();
        EXPECT_TRUE(w.btncombaglan->isEnabled());
        EXPECT_FALSE(w.btncomkes->isEnabled());
        EXPECT_TRUE(trafficButtons(false));
        EXPECT_EQ(LinkMode, "com");
        EXPECT_EQ(descriptorsOn(device->slave()), 1); // the test's own end only
        EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    }
    // A fresh device on a new pseudo-terminal: connect, send, receive.
    void expectNextConnectWorks() {
        TfMain& w = *window;
        device = std::make_unique<PtyPair>();
        connectTo(*device);
        EXPECT_TRUE(sentText().endsWith(kComOpen));
        EXPECT_TRUE(w.btncomkes->isEnabled());
        EXPECT_TRUE(trafficButtons(true));
        plainExchanges();
        w.cxveri->setText("again");
        QTest::mouseClick(w.btngonder, Qt::LeftButton);
        std::string got;
        EXPECT_TRUE(WaitUntil([&] {
            got += device->Receive();
            return got == "again";
        })) << got;
        const std::uint64_t before = w.trafficLogs().receivedBytes();
        device->Send("back");
        EXPECT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() == before + 4; }));
        EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    }

    std::unique_ptr<PtyPair> device = std::make_unique<PtyPair>();
};

// Bytes of the stream that fit into the pseudo-terminal now.
std::size_t WriteSome(const PtyPair& device, const std::string& bytes) {
    if (device.master() < 0)
        return 0;
    const ssize_t n = ::write(device.master(), bytes.data(), bytes.size());
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

TEST_F(FaultSerialLink, FarEndClosedWhileTheDeviceStreams) {
    TfMain& w = open();
    connectTo(*device);
    EXPECT_EQ(descriptorsOn(device->slave()), 2); // the port's and the test's
    PatternStream stream([&](const std::string& bytes) { return WriteSome(*device, bytes); });
    stream.start();
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= (256u << 10); }));
    // The device goes between two writes of its stream.
    stream.stop();
    device->CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !w.CP1->IsOpen(); }));
    ServePendingEvents();

    EXPECT_EQ(sentText(), kComOpen + kComClosed);
    const std::string got = receivedBytes();
    EXPECT_LE(got.size(), stream.sent());
    EXPECT_TRUE(IsPatternPrefix(got)); // what came is whole and in order
    expectEndedAsLost();
    expectNextConnectWorks();
}

TEST_F(FaultSerialLink, FarEndClosedInsideASendsPause) {
    const std::string bigMacro = Pattern(0, 30000);
    struct Case {
        const char* name;
        bool macro;             // macro 5 with bigMacro, else "AB" from the input line
        std::size_t closeAfter; // bytes the device takes before it goes
        bool streaming;         // the device streams to the program meanwhile
        QString lines;          // the sent-text log after the send
        std::string deviceGot;  // exactly, or a prefix of it when `macro`
    };
    const Case cases[] = {
        // Gone during the first pause: the data and "<EXIT>" are logged, and
        // nothing leaves.
        {"after the start text, while streaming", false, 7, true,
         kComOpen + "<BASLA>\r\n" + kComClosed + "AB\r\n\r\n<EXIT>\r\n", "<BASLA>"},
        // A long macro whose write is still going out when the device goes,
        // in the second pause, after its first bite of the data.
        {"in the middle of a macro's data", true, 7 + 1, false,
         kComOpen + "<BASLA>\r\n" + QString::fromStdString(bigMacro) + "\r\n\r\n" + kComClosed +
             "<EXIT>\r\n",
         "<BASLA>" + bigMacro + "\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        errors.clear();
        device = std::make_unique<PtyPair>();
        TfMain& w = open();
        connectTo(*device);
        frameExchanges();
        w.macroEdit(5)->setText(QString::fromStdString(bigMacro));

        PatternStream stream([&](const std::string& bytes) { return WriteSome(*device, bytes); });
        if (c.streaming)
            stream.start();
        // The device reads in small bites and goes once it has had enough;
        // this runs inside the send's pauses, which serve events.
        std::string got;
        QSocketNotifier reader(device->master(), QSocketNotifier::Read);
        QObject::connect(&reader, &QSocketNotifier::activated, [&] {
            got += device->Receive(500);
            if (got.size() >= c.closeAfter) {
                reader.setEnabled(false);
                stream.stop();
                device->CloseMaster();
            }
        });
        QTest::mouseClick(c.macro ? w.macroButton(5) : w.btngonder, Qt::LeftButton);

        ASSERT_FALSE(reader.isEnabled()) << "the device never went: " << got.size();
        EXPECT_EQ(sentText(), c.lines);
        EXPECT_GE(got.size(), c.closeAfter);
        EXPECT_EQ(got, c.deviceGot.substr(0, got.size()));
        if (!c.macro) {
            EXPECT_EQ(got, c.deviceGot);
        }
        EXPECT_TRUE(IsPatternPrefix(receivedBytes()));
        expectEndedAsLost();
        expectNextConnectWorks();
    }
}

// "Kes" clicked while a send waits in its pause: the same end as a lost
// port, and the same port connects again.
using FaultKesSerial = FaultSerialLink;

TEST_F(FaultKesSerial, ClickedInsideASendsPause) {
    TfMain& w = open();
    connectTo(*device);
    frameExchanges();
    std::string got;
    QSocketNotifier reader(device->master(), QSocketNotifier::Read);
    QObject::connect(&reader, &QSocketNotifier::activated, [&] {
        got += device->Receive();
        if (got == "<BASLA>")
            QTimer::singleShot(0, w.btncomkes,
                               [&] { QTest::mouseClick(w.btncomkes, Qt::LeftButton); });
    });
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_EQ(sentText(), kComOpen + "<BASLA>\r\n" + kComClosed + "AB\r\n\r\n<EXIT>\r\n");
    ServePendingEvents();
    EXPECT_EQ(got, "<BASLA>");
    expectEndedAsLost();
    reader.setEnabled(false);
    connectTo(*device);
    EXPECT_TRUE(trafficButtons(true));
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

// --- TCP devices that reset ---

class FaultTcpReset : public LinkFaultTest {
protected:
    // A stream from a device that stops once the device is gone.
    static PatternStream::Sink streamFrom(Device& device) {
        return [&device](const std::string& bytes) -> std::size_t {
            if (!device.Connected())
                return 0;
            device.Send(bytes);
            return bytes.size();
        };
    }
    // The client link works again: a new connection, a send, a receive.
    void expectClientWorksAgain() {
        TfMain& w = *window;
        connectClient();
        Device& fresh = *deviceServer.devices.back();
        EXPECT_TRUE(trafficButtons(true));
        plainExchanges();
        w.cxveri->setText("again");
        QTest::mouseClick(w.btngonder, Qt::LeftButton);
        EXPECT_TRUE(fresh.Got("again")) << fresh.received;
        const std::uint64_t before = w.trafficLogs().receivedBytes();
        fresh.Send("back");
        EXPECT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() == before + 4; }));
        EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    }
};

TEST_F(FaultTcpReset, ClientDeviceResetsWhileStreaming) {
    TfMain& w = openClient();
    Device& device = *deviceServer.devices[0];
    PatternStream stream(streamFrom(device));
    stream.start();
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= (512u << 10); }));
    stream.stop();
    device.Reset();
    ASSERT_TRUE(WaitUntil([&] { return sentText().endsWith(kReset); })) << sentText().toStdString();
    ServePendingEvents();

    EXPECT_EQ(sentText(), kConnecting + kConnected + kReset);
    const std::string got = receivedBytes();
    EXPECT_LE(got.size(), stream.sent());
    EXPECT_TRUE(IsPatternPrefix(got));
    // Only the line: the link stays until the user or a send ends it.
    EXPECT_TRUE(w.btnclientkes->isEnabled());
    EXPECT_TRUE(trafficButtons(true));
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    QTest::mouseClick(w.btnclientkes, Qt::LeftButton);
    EXPECT_TRUE(sentText().endsWith(kReset + kClosed));
    EXPECT_TRUE(w.btnclientbaglan->isEnabled());
    EXPECT_TRUE(trafficButtons(false));
    expectClientWorksAgain();
}

TEST_F(FaultTcpReset, ClientDeviceResetsInsideASendsPause) {
    TfMain& w = openClient();
    Device& device = *deviceServer.devices[0];
    PatternStream stream(streamFrom(device));
    stream.start();
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= (64u << 10); }));
    frameExchanges();
    // The device resets as soon as the start text reaches it, in the pause.
    device.onReceive = [&](Device& d) {
        if (d.received.find("<BASLA>") != std::string::npos && d.Connected()) {
            stream.stop();
            d.Reset();
        }
    };
    QTest::mouseClick(w.btngonder, Qt::LeftButton);

    // The reset shows in the pause; the data's send fails, which closes the
    // link; the exchange goes on, logged, and sends nothing more.
    EXPECT_EQ(sentText().toStdString(), (kConnecting + kConnected + "<BASLA>\r\n" + kReset +
                                         kReset + kClosed + "AB\r\n\r\n<EXIT>\r\n")
                                            .toStdString());
    EXPECT_EQ(device.received, "<BASLA>");
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    EXPECT_FALSE(w.CS1->Active());
    EXPECT_TRUE(w.btnclientbaglan->isEnabled());
    EXPECT_FALSE(w.btnclientkes->isEnabled());
    EXPECT_TRUE(trafficButtons(false));
    std::string got = receivedBytes();
    EXPECT_TRUE(IsPatternPrefix(got));
    expectClientWorksAgain();
}

TEST_F(FaultTcpReset, ServerDeviceResetsWhileStreaming) {
    TfMain& w = openServer();
    auto streaming = arrive();
    auto quiet = arrive();
    w.Timer2Timer();
    PatternStream stream(streamFrom(*streaming));
    stream.start();
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= (512u << 10); }));
    stream.stop();
    streaming->Reset();
    ASSERT_TRUE(WaitUntil([&] { return !errors.isEmpty(); }));
    ServePendingEvents();
    EXPECT_EQ(errors, QStringList{"Asynchronous socket error 10054."});
    const std::string got = receivedBytes();
    EXPECT_LE(got.size(), stream.sent());
    EXPECT_TRUE(IsPatternPrefix(got));
    EXPECT_EQ(sentText(), kArrived + kArrived);

    // The other device is served as before.
    errors.clear();
    plainExchanges();
    w.cxsocket->setCurrentIndex(1);
    w.cxveri->setText("still");
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_TRUE(quiet->Got("still"));
    quiet->Send("here");
    EXPECT_TRUE(WaitUntil([&] { return receivedBytes() == got + "here"; }));
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(FaultTcpReset, ServerDeviceResetsInsideASendsPause) {
    TfMain& w = openServer();
    auto target = arrive();
    auto other = arrive();
    w.Timer2Timer();
    const QString otherLabel =
        QStringLiteral("127.0.0.1 (%1)").arg(w.SS1->Connections(1)->SocketHandle());
    PatternStream stream(streamFrom(*target));
    stream.start();
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= (64u << 10); }));
    frameExchanges();
    w.cxsocket->setCurrentIndex(0);
    target->onReceive = [&](Device& d) {
        if (d.received.find("<BASLA>") != std::string::npos && d.Connected()) {
            stream.stop();
            d.Reset();
        }
    };
    QTest::mouseClick(w.btngonder, Qt::LeftButton);

    // The reset is shown in the pause; the data's send fails, which drops the
    // connection and ends the exchange with its error.
    ASSERT_EQ(errors.size(), 2) << errorText().toStdString();
    EXPECT_EQ(errors[0], "Asynchronous socket error 10054.");
    EXPECT_TRUE(errors[1].startsWith("Windows socket error: ")) << errors[1].toStdString();
    EXPECT_TRUE(errors[1].endsWith("(10054), on API 'send'")) << errors[1].toStdString();
    EXPECT_EQ(sentText(), kArrived + kArrived + "<BASLA>\r\n" + kLeft);
    EXPECT_EQ(target->received, "<BASLA>");
    EXPECT_EQ(other->received, "");
    EXPECT_TRUE(IsPatternPrefix(receivedBytes()));
    EXPECT_EQ(w.SS1->ActiveConnections(), 1);
    w.Timer2Timer();
    EXPECT_EQ(w.cxsocket->count(), 1);
    EXPECT_EQ(w.cxsocket->currentText(), otherLabel);
    EXPECT_TRUE(trafficButtons(true));

    // The next exchange goes to the device that stayed.
    errors.clear();
    ServePendingEvents();
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_TRUE(other->Got("<BASLA>AB\r\n<EXIT>")) << other->received;
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

// The client's "Kes" clicked while a send waits in its pause, the device
// streaming: the connection goes at once, and the rest of the exchange must
// not reach for it.
using FaultKesClient = FaultTcpReset;

TEST_F(FaultKesClient, ClickedInsideASendsPauseWhileTheDeviceStreams) {
    TfMain& w = openClient();
    Device& device = *deviceServer.devices[0];
    PatternStream stream(streamFrom(device));
    stream.start();
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= (64u << 10); }));
    frameExchanges();
    device.onReceive = [&](Device& d) {
        if (d.received == "<BASLA>")
            QTimer::singleShot(0, w.btnclientkes,
                               [&] { QTest::mouseClick(w.btnclientkes, Qt::LeftButton); });
    };
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_TRUE(device.SeesClose());
    stream.stop();
    EXPECT_EQ(device.received, "<BASLA>");
    EXPECT_EQ(sentText(),
              kConnecting + kConnected + "<BASLA>\r\n" + kClosed + "AB\r\n\r\n<EXIT>\r\n");
    EXPECT_TRUE(IsPatternPrefix(receivedBytes()));
    EXPECT_FALSE(w.CS1->Active());
    EXPECT_TRUE(w.btnclientbaglan->isEnabled());
    EXPECT_FALSE(w.btnclientkes->isEnabled());
    EXPECT_TRUE(trafficButtons(false));
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    expectClientWorksAgain();
}

// --- "Pasif" during an exchange ---

using FaultPasif = FaultTcpReset;

TEST_F(FaultPasif, ClickedInsideASendsPauseWhileDevicesStream) {
    TfMain& w = openServer();
    auto a = arrive();
    auto b = arrive();
    w.Timer2Timer();
    const int port = w.SS1->LocalPort();
    PatternStream streamA(streamFrom(*a));
    PatternStream streamB(streamFrom(*b));
    streamA.start();
    streamB.start();
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() >= (128u << 10); }));
    frameExchanges();
    w.cxsocket->setCurrentIndex(0);
    // The user clicks "Pasif" while the send waits after the start text.
    bool clicked = false;
    a->onReceive = [&](Device& d) {
        if (d.received == "<BASLA>" && !clicked) {
            clicked = true;
            QTimer::singleShot(0, w.btnmasterkes,
                               [&] { QTest::mouseClick(w.btnmasterkes, Qt::LeftButton); });
        }
    };
    const QString before = sentText();
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    ASSERT_TRUE(clicked);

    // Nothing left after "Pasif"; the rest of the exchange is logged as the
    // program logs sends that go nowhere; "Pasif" itself writes no line.
    EXPECT_TRUE(a->SeesClose());
    EXPECT_TRUE(b->SeesClose());
    streamA.stop();
    streamB.stop();
    EXPECT_EQ(a->received, "<BASLA>");
    EXPECT_EQ(b->received, "");
    EXPECT_EQ(sentText(), before + "<BASLA>\r\nAB\r\n\r\n<EXIT>\r\n");
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    EXPECT_FALSE(w.SS1->Active());
    EXPECT_EQ(w.SS1->ActiveConnections(), 0);
    EXPECT_TRUE(w.btnmasterbaglan->isEnabled());
    EXPECT_FALSE(w.btnmasterkes->isEnabled());
    w.Timer2Timer();
    EXPECT_EQ(w.cxsocket->count(), 0);
    EXPECT_EQ(w.cxsocket->currentText(), "");
    EXPECT_TRUE(trafficButtons(false));

    // "Aktif" again on the same port: a device arrives and is served.
    w.cxmasterport->setText(QString::number(port));
    QTest::mouseClick(w.btnmasterbaglan, Qt::LeftButton);
    ASSERT_TRUE(w.SS1->Active()) << errorText().toStdString();
    EXPECT_EQ(w.SS1->LocalPort(), port);
    auto c = arrive();
    EXPECT_TRUE(trafficButtons(true));
    plainExchanges();
    w.cxveri->setText("again");
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_TRUE(c->Got("again")) << c->received;
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

} // namespace
