#include "app/globals.h"
#include "app/log_view.h"
#include "app/window_fixture.h"
#include "serial/com_port.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTest>
#include <QToolButton>
#include <chrono>
#include <filesystem>
#include <poll.h>
#include <termios.h>

using namespace km40r;
using namespace km40r::test;

namespace {

class SerialLinkTest : public WindowTest {
protected:
    TfMain& openOnPty() {
        TfMain& w = open();
        w.cxcomport->setEditText(QString::fromStdString(pty.path()));
        return w;
    }
    // Everything the device end has received so far.
    std::string device() {
        received += pty.Receive();
        return received;
    }
    bool deviceGot(const std::string& bytes) {
        return WaitUntil([&] { return device().find(bytes) != std::string::npos; });
    }
    // True when nothing reaches the device within a short while.
    bool deviceGetsNothing() {
        pollfd p{pty.master(), POLLIN, 0};
        return ::poll(&p, 1, 300) == 0;
    }
    std::string file() { return ReadFile(settingsPath()); }

    PtyPair pty;
    std::string received;
};

} // namespace

TEST_F(SerialLinkTest, ConnectReceiveAndDisconnect) {
    TfMain& w = openOnPty();
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(LinkMode, "com");
    EXPECT_TRUE(w.CP1->IsOpen());
    EXPECT_TRUE(w.btncomkes->isEnabled());
    EXPECT_FALSE(w.btncombaglan->isEnabled());
    for (QPushButton* b : {w.btngonder, w.btnoku, w.btnyaz, w.btnayarbaslangic, w.btnayarson})
        EXPECT_TRUE(b->isEnabled());
    EXPECT_EQ(w.MemoGiden->toPlainText(), QStringLiteral("Com Port Bağlandı\r\n"));
    EXPECT_NE(file().find("[com]\r\nport=" + pty.path() + "\r\nbaud=9600\r\ndatabit=8\r\n"
                          "parity=Yok\r\nstopbit=1\r\n"),
              std::string::npos);

    // Any byte value from the device reaches the three received logs.
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<char>(i);
    pty.Send(all);
    ASSERT_TRUE(WaitUntil([&] { return w.trafficLogs().receivedBytes() == 256; }));
    EXPECT_EQ(w.memogelenhex->toPlainText().left(12), "00-01-02-03-");
    EXPECT_TRUE(w.memogelendec->toPlainText().endsWith("254-255-"));

    QTest::mouseClick(w.btncomkes, Qt::LeftButton);
    EXPECT_FALSE(w.CP1->IsOpen());
    EXPECT_EQ(LinkMode, "com");
    EXPECT_TRUE(w.MemoGiden->toPlainText().endsWith(QStringLiteral("Com Port Bağlantı Kesildi\r\n")));
    EXPECT_FALSE(w.btncomkes->isEnabled());
    EXPECT_TRUE(w.btncombaglan->isEnabled());
    EXPECT_FALSE(w.btngonder->isEnabled());
}

TEST_F(SerialLinkTest, LineSettingsReachTheLineAndTheFile) {
    TfMain& w = openOnPty();
    w.cxbaud->setCurrentText("19200");
    w.cxstopbit->setCurrentText("2");
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.slave(), &t), 0);
    EXPECT_TRUE(t.c_cflag & CSTOPB);
    EXPECT_FALSE(t.c_cflag & PARENB);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_NE(file().find("baud=19200\r\ndatabit=8\r\nparity=Yok\r\nstopbit=2\r\n"),
              std::string::npos);
}

TEST_F(SerialLinkTest, ParityTextsAndASettingTheLineRefuses) {
    TfMain& w = openOnPty();
    const std::string before = file();
    // A pseudo-terminal keeps no parity: the open fails naming the setting,
    // instead of running the line at other settings than the ones shown.
    const std::pair<QString, TParity> cases[] = {{"Even", ptEVEN}, {"Odd", ptODD}};
    for (const auto& [text, parity] : cases) {
        errors.clear();
        w.cxparity->setCurrentText(text);
        QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
        EXPECT_EQ(w.CP1->Parity, parity);
        ASSERT_EQ(errors.size(), 1);
        EXPECT_TRUE(errors[0].startsWith(QString::fromStdString("TCOMPORT : cannot open " +
                                                                pty.path() + "\rline setting")))
            << errors[0].toStdString();
        EXPECT_FALSE(w.CP1->IsOpen());
        EXPECT_TRUE(w.btncombaglan->isEnabled());
    }
    EXPECT_EQ(file(), before);
    // Only "Even" and "Odd" exactly choose a parity.
    errors.clear();
    w.cxparity->addItem("even");
    w.cxparity->setCurrentText("even");
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(w.CP1->Parity, ptNONE);
    EXPECT_NE(file().find("parity=even\r\n"), std::string::npos);
}

TEST_F(SerialLinkTest, FailedConnectsLeaveThePageAndTheFileAsTheyWere) {
    TfMain& w = open();
    const std::string before = file();
    w.cxcomport->setEditText("/dev/km40r-no-such-port");
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].startsWith("TCOMPORT : cannot open /dev/km40r-no-such-port\r"))
        << errors[0].toStdString();
    EXPECT_EQ(LinkMode, "com");
    EXPECT_TRUE(w.btncombaglan->isEnabled());
    EXPECT_FALSE(w.btncomkes->isEnabled());
    EXPECT_EQ(w.MemoGiden->toPlainText(), "");

    LinkMode.clear();
    w.cxbaud->addItem("96OO");
    w.cxbaud->setCurrentText("96OO");
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 2);
    EXPECT_EQ(errors[1], "'96OO' is not a valid integer value.");
    EXPECT_EQ(LinkMode, "com"); // set first, whatever follows
    EXPECT_EQ(file(), before);
}

TEST_F(SerialLinkTest, AnExchangeWithBothFramingOptions) {
    TfMain& w = openOnPty();
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    w.chbaslangic->setChecked(true);
    w.chexit->setChecked(true);
    w.chcrlf->setChecked(true);
    w.cxbaslangic->setText("<BASLA>");
    w.cxveri->setText("AB");
    // The device answers the start text at once, during the first pause.
    QSocketNotifier answer(pty.master(), QSocketNotifier::Read);
    std::vector<std::pair<std::string, std::chrono::steady_clock::time_point>> arrivals;
    QObject::connect(&answer, &QSocketNotifier::activated, [&] {
        const std::string got = pty.Receive();
        arrivals.emplace_back(got, std::chrono::steady_clock::now());
        if (got.find("<BASLA>") != std::string::npos)
            pty.Send("R1");
    });
    const auto start = std::chrono::steady_clock::now();
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    const auto end = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitUntil([&] {
        std::string all;
        for (const auto& a : arrivals)
            all += a.first;
        return all == "<BASLA>AB\r\n<EXIT>";
    })) << arrivals.size();
    EXPECT_GE(end - start, std::chrono::milliseconds(200)); // two pauses of at least 100 ms
    EXPECT_EQ(w.MemoGiden->toPlainText(),
              QStringLiteral("Com Port Bağlandı\r\n<BASLA>\r\nAB\r\n\r\n<EXIT>\r\n"));
    EXPECT_EQ(w.memogidenhex->toPlainText(), "41-42-0D-0A-\r\n");
    // The answer landed before the line break of the send; in "com" mode the
    // received text gets none.
    EXPECT_EQ(w.memogelenhex->toPlainText(), "52-31-\r\n");
    EXPECT_EQ(w.MemoGelen->toPlainText(), "R1");
    EXPECT_EQ(w.cxveri->text(), "AB"); // the input line keeps its text
}

TEST_F(SerialLinkTest, AfterKesASendIsLoggedButNothingLeaves) {
    TfMain& w = openOnPty();
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    QTest::mouseClick(w.btncomkes, Qt::LeftButton);
    w.chcrlf->setChecked(false);
    w.macroEdit(3)->setText("ping");
    QTest::mouseClick(w.macroButton(3), Qt::LeftButton);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_TRUE(w.MemoGiden->toPlainText().endsWith("Kesildi\r\nping\r\n"));
    EXPECT_EQ(w.memogidendec->toPlainText(), "112-105-110-103-\r\n");
    EXPECT_TRUE(deviceGetsNothing());
}

TEST_F(SerialLinkTest, EnterSendsWithAnyModifierOnlyWhenTicked) {
    TfMain& w = openOnPty();
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    w.chcrlf->setChecked(false);
    w.cxveri->setText("e1");
    QTest::keyClick(w.cxveri, Qt::Key_Return, Qt::ShiftModifier);
    EXPECT_TRUE(deviceGot("e1"));
    w.cxveri->setText("e2");
    QTest::keyClick(w.cxveri, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
    EXPECT_TRUE(deviceGot("e1e2"));
    w.chenter->setChecked(false);
    QTest::keyClick(w.cxveri, Qt::Key_Return);
    EXPECT_TRUE(deviceGetsNothing());
    EXPECT_EQ(w.memogidenhex->toPlainText(), "65-31-\r\n65-32-\r\n");
}

TEST_F(SerialLinkTest, BeforeAnyLinkEnterSendsNothingButShowsBadEscapes) {
    TfMain& w = open();
    w.chhex->setChecked(true);
    w.cxveri->setText("fine");
    QTest::keyClick(w.cxveri, Qt::Key_Return);
    EXPECT_EQ(w.MemoGiden->toPlainText(), "");
    w.cxveri->setText("bad $G1");
    QTest::keyClick(w.cxveri, Qt::Key_Return);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], "'$G1' is not a valid integer value.");
    EXPECT_EQ(w.cxveri->text(), "bad $G1"); // Enter is not consumed; the line is kept
}

TEST_F(SerialLinkTest, MacroIsStoredThenSentByItsTag) {
    TfMain& w = openOnPty();
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    w.chcrlf->setChecked(true);
    w.macroEdit(19)->setText("  <OKU,01,05,>");
    QTest::mouseClick(w.findChild<QPushButton*>("cxButton1"), Qt::LeftButton);
    EXPECT_TRUE(deviceGot("  <OKU,01,05,>\r\n"));
    EXPECT_NE(file().find("makro19=\"  <OKU,01,05,>\"\r\n"), std::string::npos);
    // An empty macro sends just CR LF.
    QTest::mouseClick(w.macroButton(2), Qt::LeftButton);
    EXPECT_TRUE(deviceGot("  <OKU,01,05,>\r\n\r\n"));
    // A bad escape is shown after the text was stored.
    w.chhex->setChecked(true);
    w.macroEdit(33)->setText("$ZZ");
    QTest::mouseClick(w.macroButton(33), Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_NE(file().find("makro33=$ZZ\r\n"), std::string::npos);
}

TEST_F(SerialLinkTest, DeviceThatGoesAwayClosesTheLink) {
    TfMain& w = openOnPty();
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !w.CP1->IsOpen(); }));
    EXPECT_TRUE(w.MemoGiden->toPlainText().endsWith(QStringLiteral("Com Port Bağlantı Kesildi\r\n")));
    EXPECT_TRUE(w.btncombaglan->isEnabled());
    EXPECT_FALSE(w.btngonder->isEnabled());
}

TEST_F(SerialLinkTest, ClosingTheWindowReleasesThePort) {
    TfMain& w = openOnPty();
    w.show();
    QTest::mouseClick(w.btncombaglan, Qt::LeftButton);
    ASSERT_TRUE(w.CP1->IsOpen());
    w.close();
    EXPECT_FALSE(w.CP1->IsOpen());
    EXPECT_TRUE(w.MemoGiden->toPlainText().endsWith(QStringLiteral("Kesildi\r\n")));
    // Another component can have the port now.
    TComPort other;
    other.Port = pty.path();
    EXPECT_NO_THROW(other.Open());
    other.Close();
}

TEST_F(SerialLinkTest, PortSearchListsDevicesInNaturalOrder) {
    namespace fs = std::filesystem;
    const auto tty = fs::path(dir.path()) / "sys" / "class" / "tty";
    const auto add = [&](const std::string& name, bool device, const char* type) {
        fs::create_directories(tty / name);
        if (device)
            fs::create_directories(tty / name / "device");
        if (type)
            WriteFile((tty / name / "type").string(), type);
    };
    add("ttyS10", true, "4\n");
    add("ttyS2", true, "4\n");
    add("ttyS3", true, "0\n"); // no hardware in that slot
    add("ttyUSB0", true, nullptr);
    add("ttyACM1", true, nullptr);
    add("tty0", false, nullptr); // a virtual terminal
    add("ptmx", false, nullptr);
    TfMain& w = open();
    w.setSystemRoot(dir.path() + "/sys");
    QTest::mouseClick(w.btnsearch, Qt::LeftButton);
    QStringList items;
    for (int i = 0; i < w.cxcomport->count(); ++i)
        items << w.cxcomport->itemText(i);
    EXPECT_EQ(items, (QStringList{"ttyACM1", "ttyS2", "ttyS10", "ttyUSB0"}));
    EXPECT_EQ(w.cxcomport->currentText(), "ttyACM1");

    // None found: the list error, an empty list, the text as it was.
    w.cxcomport->setEditText("COM7");
    w.setSystemRoot(dir.path() + "/nothing");
    QTest::mouseClick(w.btnsearch, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], "List index out of bounds (0)");
    EXPECT_EQ(w.cxcomport->count(), 0);
    EXPECT_EQ(w.cxcomport->currentText(), "COM7");
}
