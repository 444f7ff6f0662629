#include "app/globals.h"
#include "app/log_view.h"
#include "app/link_window_fixture.h"
#include "net/client_socket.h"
#include "net/loopback_device.h"
#include "net/server_socket.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <chrono>

using namespace km40r;
using namespace km40r::test;

namespace {

using Clock = std::chrono::steady_clock;

class TcpLinkTest : public LinkWindowTest {
protected:
    std::string file() { return ReadFile(settingsPath()); }
    std::string receivedText() {
        return window->trafficLogs().log(TrafficLogs::Log::MemoGelen).text();
    }
    // The label of the connection at a position of SS1's list.
    QString label(int index) {
        return QStringLiteral("127.0.0.1 (%1)")
            .arg(window->SS1->Connections(index)->SocketHandle());
    }
    QStringList listed() {
        QStringList items;
        for (int i = 0; i < window->cxsocket->count(); ++i)
            items << window->cxsocket->itemText(i);
        return items;
    }
    // Checks one framed exchange as the device saw it: three parts, each
    // after a pause of two timer ticks.
    void expectFramedExchange(Device& device, Clock::time_point start) {
        ASSERT_TRUE(device.Got("<BASLA>AB\r\n<EXIT>")) << device.received;
        ASSERT_EQ(device.arrivals.size(), 3u);
        EXPECT_EQ(device.arrivals[0].first, "<BASLA>");
        EXPECT_EQ(device.arrivals[1].first, "AB\r\n");
        EXPECT_EQ(device.arrivals[2].first, "<EXIT>");
        // Each pause lasts at least one tick of 100 ms (within a timer's slack).
        EXPECT_GE(device.arrivals[1].second - device.arrivals[0].second,
                  std::chrono::milliseconds(90));
        EXPECT_GE(device.arrivals[2].second - device.arrivals[1].second,
                  std::chrono::milliseconds(90));
        EXPECT_LT(device.arrivals[0].second - start, std::chrono::milliseconds(90));
    }
};

// A resolver that knows no name: a lookup fails, as an unknown host does.
void FailingResolver(const std::string&, QObject* context, TResolveDone done) {
    QTimer::singleShot(0, context, [done] { done(0, 11001); });
}

} // namespace

// --- TCP client ---

TEST_F(TcpLinkTest, ClientConnectsReceivesEveryByteAndIsClosedByTheDevice) {
    TfMain& w = openClient();
    ASSERT_TRUE(errors.isEmpty()) << errorText().toStdString();
    EXPECT_EQ(LinkMode, "client");
    EXPECT_EQ(sentText(), kConnecting + kConnected);
    EXPECT_TRUE(w.btnclientkes->isEnabled());
    EXPECT_FALSE(w.btnclientbaglan->isEnabled());
    EXPECT_TRUE(trafficButtons(true));
    EXPECT_NE(file().find("[client]\r\nip=127.0.0.1\r\nport=" +
                          std::to_string(deviceServer.port()) + "\r\n"),
              std::string::npos);

    // Three pieces, each shown as it comes, every byte value kept.
    const std::string all = AllByteValues();
    Device& device = *deviceServer.devices[0];
    std::string sent;
    for (const std::string& piece : {all.substr(0, 1), all.substr(1, 200), all.substr(201)}) {
        device.Send(piece);
        sent += piece;
        ASSERT_TRUE(WaitUntil([&] { return receivedText() == sent; }));
    }
    EXPECT_EQ(w.memogelenhex->toPlainText().left(12), "00-01-02-03-");
    EXPECT_TRUE(w.memogelendec->toPlainText().endsWith("254-255-"));

    device.Close();
    ASSERT_TRUE(WaitUntil([&] { return sentText().endsWith(kClosed); }));
    EXPECT_FALSE(w.btnclientkes->isEnabled());
    EXPECT_TRUE(w.btnclientbaglan->isEnabled());
    EXPECT_TRUE(trafficButtons(false));
    EXPECT_EQ(LinkMode, "client");
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ClientAttemptsThatFailWriteTheirLinesAndStillSaveTheTexts) {
    RefusingPort refusing;
    const QString port = QString::number(refusing.port());
    struct Case {
        const char* name;
        QString host;
        QString lines;
        bool trafficButtonsAfter;
    };
    const Case cases[] = {
        // Nothing listens: one error line, no disconnect.
        {"refused", "127.0.0.1", kConnecting + kClientError + "10061\r\n", true},
        // Reported inside the click, then the disconnect line.
        {"empty host", "", kClientError + "1110\r\n" + kClosed, false},
        // The name does not resolve: no connecting line.
        {"unknown host", "cihaz.invalid", kClientError + "11001\r\n" + kClosed, false},
    };
    TfMain& w = open();
    w.CS1->SetResolver(FailingResolver);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        w.btntemizle->click();
        w.EnableButtons();
        w.cxclientip->setText(c.host);
        w.cxclientport->setText(port);
        QTest::mouseClick(w.btnclientbaglan, Qt::LeftButton);
        EXPECT_TRUE(WaitUntil([&] { return sentText() == c.lines; })) << sentText().toStdString();
        ServePendingEvents();
        EXPECT_EQ(sentText(), c.lines);
        EXPECT_TRUE(w.btnclientbaglan->isEnabled());
        EXPECT_FALSE(w.btnclientkes->isEnabled());
        EXPECT_TRUE(trafficButtons(c.trafficButtonsAfter));
        // The texts were saved before the outcome was known.
        EXPECT_NE(file().find("[client]\r\nip=" + c.host.toStdString() +
                              "\r\nport=" + port.toStdString() + "\r\n"),
                  std::string::npos);
    }
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ClientPortThatIsNoNumberStopsTheClickEarly) {
    TfMain& w = open();
    const std::string before = file();
    w.cxclientport->setText("abc");
    QTest::mouseClick(w.btnclientbaglan, Qt::LeftButton);
    EXPECT_EQ(errors, QStringList{"'abc' is not a valid integer value."});
    EXPECT_EQ(LinkMode, "client");
    EXPECT_EQ(sentText(), "");
    EXPECT_FALSE(w.CS1->Active());
    EXPECT_EQ(file(), before);
}

TEST_F(TcpLinkTest, KesClosesAndAbortedConnectionsCloseBeforeTheirErrorLine) {
    TfMain& w = openClient();
    QTest::mouseClick(w.btnclientkes, Qt::LeftButton);
    EXPECT_TRUE(sentText().endsWith(kConnected + kClosed));
    EXPECT_TRUE(deviceServer.devices[0]->SeesClose());
    EXPECT_TRUE(trafficButtons(false));

    // 10053 (connection aborted) closes the link inside the error event, so
    // the disconnect line comes first; the code is used up.
    QTest::mouseClick(w.btnclientbaglan, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return sentText().endsWith(kConnected); }));
    ASSERT_TRUE(deviceServer.WaitForDevices(2));
    int code = 10053;
    w.CS1->OnError(w.CS1, w.CS1->Socket(), eeReceive, code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(sentText().endsWith(kConnected + kClosed + kClientError + "10053\r\n"))
        << sentText().toStdString();
    EXPECT_FALSE(w.CS1->Active());
    EXPECT_TRUE(deviceServer.devices[1]->SeesClose());
    EXPECT_TRUE(w.btnclientbaglan->isEnabled());
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ClientResetByTheDeviceStaysOpenUntilASendFails) {
    TfMain& w = openClient();
    Device& device = *deviceServer.devices[0];
    device.Send("son");
    ASSERT_TRUE(WaitUntil([&] { return receivedText() == "son"; }));
    device.Reset();
    ASSERT_TRUE(WaitUntil([&] { return sentText().endsWith(kClientError + "10054\r\n"); }));
    EXPECT_TRUE(w.btnclientkes->isEnabled()); // only the line: the link stays

    // The send fails: its error line, then the disconnect line; the exchange
    // goes on and is logged, and no box is shown.
    w.chcrlf->setChecked(false);
    w.chexit->setChecked(true);
    w.cxveri->setText("ping");
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_TRUE(sentText().endsWith(kClientError + "10054\r\n" + kClientError + "10054\r\n" +
                                    kClosed + "ping\r\n<EXIT>\r\n"))
        << sentText().toStdString();
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
    EXPECT_FALSE(w.CS1->Active());
    EXPECT_EQ(receivedText(), "son\r\n");
}

TEST_F(TcpLinkTest, ClientExchangeWithBothFramingOptions) {
    TfMain& w = openClient();
    Device& device = *deviceServer.devices[0];
    frameExchanges();
    // The device answers the start text at once, during the first pause.
    device.onReceive = [](Device& d) {
        if (d.received == "<BASLA>")
            d.Send("R1");
    };
    const auto start = Clock::now();
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    expectFramedExchange(device, start);
    EXPECT_EQ(sentText(), kConnecting + kConnected + "<BASLA>\r\nAB\r\n\r\n<EXIT>\r\n");
    EXPECT_EQ(w.memogidenhex->toPlainText(), "41-42-0D-0A-\r\n");
    // The answer landed before the line break of the send, which the TCP
    // links put into the received text too.
    EXPECT_EQ(receivedText(), "R1\r\n");
    EXPECT_EQ(w.memogelenhex->toPlainText(), "52-31-\r\n");
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

// --- TCP server ---

TEST_F(TcpLinkTest, ServerListFollowsTheDevicesAndTimer2) {
    TfMain& w = openServer();
    EXPECT_EQ(LinkMode, "master");
    EXPECT_FALSE(w.btnmasterbaglan->isEnabled());
    EXPECT_TRUE(w.btnmasterkes->isEnabled());
    EXPECT_NE(file().find("[master]\r\nport=0\r\n"), std::string::npos);
    EXPECT_EQ(sentText(), ""); // activating writes no line

    // 1. A arrives: a line, listed and selected, the traffic buttons on.
    auto a = arrive();
    const QString labelA = label(0);
    EXPECT_EQ(sentText(), kArrived);
    EXPECT_EQ(listed(), QStringList{labelA});
    EXPECT_EQ(w.cxsocket->currentText(), labelA);
    EXPECT_TRUE(trafficButtons(true));
    w.Timer2Timer();
    EXPECT_EQ(LastConnectionCount, 1);
    EXPECT_EQ(listed(), QStringList{labelA});

    // 2. B arrives: A stays selected; the tick rebuilds with A selected.
    auto b = arrive();
    const QString labelB = label(1);
    EXPECT_EQ(listed(), (QStringList{labelA, labelB}));
    EXPECT_EQ(w.cxsocket->currentText(), labelA);
    w.cxsocket->setCurrentIndex(1);
    w.Timer2Timer();
    EXPECT_EQ(w.cxsocket->currentText(), labelA);
    w.cxsocket->setCurrentIndex(1);

    // 3. A leaves: still listed right afterwards, with A selected; the tick
    // drops it.
    a->Close();
    ASSERT_TRUE(WaitUntil([&] { return sentText().endsWith(kLeft); }));
    EXPECT_EQ(listed(), (QStringList{labelA, labelB}));
    EXPECT_EQ(w.cxsocket->currentText(), labelA);
    w.Timer2Timer();
    EXPECT_EQ(listed(), QStringList{labelB});
    EXPECT_EQ(w.cxsocket->currentText(), labelB);

    // 4. B leaves: listed until the tick, which empties the combo and turns
    // the traffic buttons off.
    b->Close();
    ASSERT_TRUE(WaitUntil([&] { return sentText().count(kLeft) == 2; }));
    EXPECT_EQ(listed(), QStringList{labelB});
    EXPECT_TRUE(trafficButtons(true));
    w.Timer2Timer();
    EXPECT_EQ(listed(), QStringList{});
    EXPECT_EQ(w.cxsocket->currentText(), "");
    EXPECT_TRUE(trafficButtons(false));
    EXPECT_EQ(LastConnectionCount, 0);
    EXPECT_EQ(sentText(), kArrived + kArrived + kLeft + kLeft);
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ServerSendsTheWholeFramedExchangeToTheSelectedDevice) {
    TfMain& w = openServer();
    auto a = arrive();
    auto b = arrive();
    // Both devices' data is shown, each when it comes.
    a->Send("from A;");
    ASSERT_TRUE(WaitUntil([&] { return receivedText() == "from A;"; }));
    b->Send("from B;");
    ASSERT_TRUE(WaitUntil([&] { return receivedText() == "from A;from B;"; }));

    w.cxsocket->setCurrentIndex(1);
    frameExchanges();
    const auto start = Clock::now();
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    expectFramedExchange(*b, start);
    EXPECT_EQ(a->received, "");
    EXPECT_TRUE(sentText().endsWith("<BASLA>\r\nAB\r\n\r\n<EXIT>\r\n"));
    EXPECT_EQ(receivedText(), "from A;from B;\r\n");

    // A third device's arrival selects the first again.
    auto c = arrive();
    EXPECT_EQ(w.cxsocket->currentText(), label(0));
    // The one in the middle leaves; the tick lists the other two.
    const QStringList others{label(0), label(2)};
    b->Close();
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == 2; }));
    w.Timer2Timer();
    EXPECT_EQ(listed(), others);
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ServerExchangeWhoseDeviceLeavesDuringAPauseEndsQuietly) {
    TfMain& w = openServer();
    auto a = arrive();
    frameExchanges();
    a->onReceive = [](Device& d) {
        if (d.received.find("AB") != std::string::npos)
            d.Close();
    };
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    // "<EXIT>" went nowhere, without an error, and is logged as sent.
    EXPECT_EQ(sentText().toStdString(),
              (kArrived + "<BASLA>\r\nAB\r\n\r\n" + kLeft + "<EXIT>\r\n").toStdString());
    EXPECT_EQ(a->received, "<BASLA>AB\r\n");
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ServerChoosesTheTargetByTheNumberInTheComboText) {
    TfMain& w = openServer();
    auto a = arrive();
    auto b = arrive();
    w.chcrlf->setChecked(false);
    w.chhex->setChecked(false);
    struct Case {
        QString comboText;
        std::string toA, toB;
        QString error;
    };
    const Case cases[] = {
        {label(1), "", "1", ""},
        {"10.1.2.3 " + label(1).mid(10), "", "1", ""}, // only the number counts
        {"192.168.1.20 (99999)", "1", "", ""},         // matches none: the first
        {"", "", "", "'' is not a valid integer value."},
        {"cihaz (abc)", "", "", "'abc' is not a valid integer value."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.comboText.toStdString());
        errors.clear();
        w.btntemizle->click();
        a->received.clear();
        b->received.clear();
        w.cxsocket->setEditText(c.comboText);
        w.cxveri->setText("1");
        QTest::mouseClick(w.btngonder, Qt::LeftButton);
        EXPECT_EQ(errors.join('|'), c.error);
        if (!c.toA.empty()) {
            EXPECT_TRUE(a->Got(c.toA));
        }
        if (!c.toB.empty()) {
            EXPECT_TRUE(b->Got(c.toB));
        }
        ServePendingEvents();
        EXPECT_EQ(a->received, c.toA);
        EXPECT_EQ(b->received, c.toB);
        // A failed choice sends and logs nothing.
        EXPECT_EQ(sentText(), c.error.isEmpty() ? "1\r\n" : "");
    }
}

TEST_F(TcpLinkTest, ServerWithNoDeviceCannotChooseATarget) {
    TfMain& w = openServer();
    w.cxveri->setText("hello");
    QTest::keyClick(w.cxveri, Qt::Key_Return); // "Gönder" is off; Enter still sends
    EXPECT_EQ(errors, QStringList{"List index out of bounds (0)"});
    EXPECT_EQ(sentText(), "");
    // Not even an unreadable combo text is looked at without a device.
    errors.clear();
    w.cxsocket->setEditText("no number");
    QTest::keyClick(w.cxveri, Qt::Key_Return);
    EXPECT_EQ(errors, QStringList{"List index out of bounds (0)"});
}

TEST_F(TcpLinkTest, PasifClosesEveryDeviceQuietlyAndTimer2CatchesUp) {
    TfMain& w = openServer();
    auto a = arrive();
    auto b = arrive();
    w.Timer2Timer();
    const int port = w.SS1->LocalPort();
    const QString before = sentText();
    const QStringList list = listed();
    QTest::mouseClick(w.btnmasterkes, Qt::LeftButton);
    EXPECT_TRUE(w.btnmasterbaglan->isEnabled());
    EXPECT_FALSE(w.btnmasterkes->isEnabled());
    EXPECT_TRUE(a->SeesClose());
    EXPECT_TRUE(b->SeesClose());
    ServePendingEvents();
    EXPECT_EQ(sentText(), before); // no line
    EXPECT_EQ(listed(), list);     // until the next tick
    EXPECT_TRUE(trafficButtons(true));
    w.Timer2Timer();
    EXPECT_EQ(listed(), QStringList{});
    EXPECT_TRUE(trafficButtons(false));
    EXPECT_EQ(LinkMode, "master");

    // "Aktif" again on the same port, while the old connections wind down.
    w.cxmasterport->setText(QString::number(port));
    QTest::mouseClick(w.btnmasterbaglan, Qt::LeftButton);
    EXPECT_TRUE(w.SS1->Active());
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ServerPortInUseOrNoNumberLeavesItInactive) {
    QTcpServer holder;
    ASSERT_TRUE(holder.listen(QHostAddress::LocalHost, 0));
    TfMain& w = open();
    const std::string before = file();
    struct Case {
        QString port;
        QString errorStart, errorEnd;
    };
    const Case cases[] = {
        {QString::number(holder.serverPort()), "Windows socket error: ", "(10048), on API 'bind'"},
        {"abc", "'abc' is not a valid integer value.", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.port.toStdString());
        errors.clear();
        LinkMode.clear();
        w.cxmasterport->setText(c.port);
        QTest::mouseClick(w.btnmasterbaglan, Qt::LeftButton);
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors[0].startsWith(c.errorStart)) << errors[0].toStdString();
        EXPECT_TRUE(errors[0].endsWith(c.errorEnd)) << errors[0].toStdString();
        EXPECT_EQ(LinkMode, "master");
        EXPECT_FALSE(w.SS1->Active());
        EXPECT_TRUE(w.btnmasterbaglan->isEnabled());
        EXPECT_FALSE(w.btnmasterkes->isEnabled());
        EXPECT_EQ(file(), before);
    }
}

TEST_F(TcpLinkTest, ServerSurvivesDevicesThatMisbehave) {
    TfMain& w = openServer();
    w.chcrlf->setChecked(false);

    // A burst of every byte value, in any size, is logged whole.
    auto bursty = arrive();
    std::string burst;
    for (int i = 0; i < (3 << 20) / 256; ++i)
        burst += AllByteValues();
    burst += "tail";
    bursty->Send(burst);
    ASSERT_TRUE(WaitUntil([&] { return receivedText().size() >= burst.size(); }));
    EXPECT_TRUE(receivedText() == burst);

    // A device that says something and resets: its bytes are shown, then the
    // box; it stays listed until a send to it fails, which closes it first.
    auto rude = arrive();
    w.Timer2Timer();
    w.cxsocket->setCurrentIndex(1);
    rude->Send("!");
    ASSERT_TRUE(WaitUntil([&] { return receivedText() == burst + "!"; }));
    rude->Reset();
    ASSERT_TRUE(WaitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QStringList{"Asynchronous socket error 10054."});
    EXPECT_EQ(w.SS1->ActiveConnections(), 2);
    errors.clear();
    const QString before = sentText();
    w.cxveri->setText("x");
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("Windows socket error: "));
    EXPECT_TRUE(errors[0].endsWith("(10054), on API 'send'")) << errors[0].toStdString();
    EXPECT_EQ(sentText(), before + kLeft); // nothing logged for the send
    EXPECT_EQ(w.SS1->ActiveConnections(), 1);
    errors.clear();

    // A device that connects and goes between two ticks leaves its label
    // selected, and the traffic buttons on, until the count next differs.
    w.Timer2Timer();
    auto brief = arrive();
    const QString briefLabel = label(1);
    brief->Close();
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == 1; }));
    w.Timer2Timer();
    EXPECT_EQ(w.cxsocket->currentText(), label(0));
    EXPECT_EQ(listed(), (QStringList{label(0), briefLabel}));
    EXPECT_TRUE(trafficButtons(true));

    // Devices that connect and say nothing, or half-close, change nothing
    // else; the burst's device still gets a send.
    auto silent = arrive();
    silent->HalfClose();
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == 1; }));
    w.cxsocket->setCurrentIndex(0);
    w.cxveri->setText("ok");
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_TRUE(bursty->Got("ok"));
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}

TEST_F(TcpLinkTest, ClosingTheWindowLeavesTheTcpLinksToTheirRelease) {
    TfMain& w = openClient();
    w.cxmasterport->setText("0");
    QTest::mouseClick(w.btnmasterbaglan, Qt::LeftButton);
    auto device = Device::Connect(w.SS1->LocalPort());
    ASSERT_TRUE(device && WaitUntil([&] { return w.SS1->ActiveConnections() == 1; }));
    w.show();
    const QString before = sentText();
    w.close();
    // FormClose closes neither link.
    EXPECT_TRUE(w.CS1->Socket()->Connected());
    EXPECT_EQ(w.SS1->ActiveConnections(), 1);
    EXPECT_EQ(sentText(), before);
    // Releasing the window closes both, running no handler of it.
    window.reset();
    EXPECT_TRUE(device->SeesClose());
    EXPECT_TRUE(deviceServer.devices[0]->SeesClose());
    EXPECT_TRUE(errors.isEmpty()) << errorText().toStdString();
}
