#include "app/globals.h"
#include "app/window_fixture.h"
#include "core/errors.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include "app/log_view.h"
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <filesystem>

using namespace km40r;
using namespace km40r::test;

namespace {

using MainWindowTest = WindowTest;

std::string defaultSettingsFile() {
    std::string s = "[com]\r\nport=COM1\r\nbaud=9600\r\ndatabit=8\r\nparity=Yok\r\nstopbit=1\r\n"
                    "[client]\r\nip=127.0.0.1\r\nport=7890\r\n"
                    "[master]\r\nport=7890\r\n"
                    "[ayar]\r\nchenter=True\r\nchcrlf=True\r\nchhex=False\r\nchdec=False\r\n"
                    "chbaslangic=False\r\nchexit=False\r\ncxbaslangic=\r\n"
                    "[makro]\r\n";
    for (int n = 1; n <= 33; ++n)
        s += "makro" + std::to_string(n) + "=\r\n";
    return s;
}

template <class W>
W* child(TfMain& w, const char* name) {
    W* found = w.findChild<W*>(QLatin1String(name));
    EXPECT_NE(found, nullptr) << name;
    return found;
}

} // namespace

TEST_F(MainWindowTest, FirstRunCreatesTheSettingsFileWithEveryDefaultInOrder) {
    TfMain& w = open();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(ReadFile(settingsPath()), defaultSettingsFile());

    EXPECT_EQ(w.cxcomport->currentText(), "COM1");
    EXPECT_EQ(w.cxbaud->currentText(), "9600");
    EXPECT_EQ(w.cxdatabit->currentText(), "8");
    EXPECT_EQ(w.cxparity->currentText(), "Yok");
    EXPECT_EQ(w.cxstopbit->currentText(), "1");
    EXPECT_EQ(w.cxclientip->text(), "127.0.0.1");
    EXPECT_EQ(w.cxclientport->text(), "7890");
    EXPECT_EQ(w.cxmasterport->text(), "7890");
    EXPECT_TRUE(w.chenter->isChecked());
    EXPECT_TRUE(w.chcrlf->isChecked());
    EXPECT_FALSE(w.chhex->isChecked());
    EXPECT_FALSE(w.chdec->isChecked());
    EXPECT_FALSE(w.chbaslangic->isChecked());
    EXPECT_FALSE(w.chexit->isChecked());
    EXPECT_EQ(w.cxbaslangic->text(), ""); // not the designed "<BASLA>"
    for (int n = 1; n <= 33; ++n)
        EXPECT_EQ(w.macroEdit(n)->text(), "") << n;
    EXPECT_EQ(w.PC1->currentIndex(), 0);
    EXPECT_EQ(w.PC2->currentIndex(), 0);
    EXPECT_EQ(w.PC3->currentIndex(), 0);
    ASSERT_NE(ComboItems, nullptr);
    EXPECT_TRUE(ComboItems->empty());

    // A second start reads everything back and writes nothing new.
    window.reset();
    open();
    EXPECT_EQ(ReadFile(settingsPath()), defaultSettingsFile());
}

TEST_F(MainWindowTest, StoredValuesComeUpInTheControls) {
    WriteFile(settingsPath(),
              "; written by hand\r\n"
              "[COM]\r\nPort = /dev/ttyUSB0\r\nbaud=115200\r\ndatabit=7\r\nparity=Even\r\n"
              "stopbit=2\r\n[client]\r\nip=device.local\r\nport=1234\r\n[master]\r\nport=9000\r\n"
              "[ayar]\r\nchenter=0\r\nchcrlf=false\r\nchhex=-1\r\nchdec=TRUE\r\n"
              "chbaslangic=1\r\nchexit=True\r\ncxbaslangic=<BA\xDELA>\r\n"
              "[makro]\r\nmakro1=\"  padded \"\r\nmakro19=\xD0\xDD\xDE\xF0\xFD\xFE\r\n"
              "makro33=#065$41\r\n");
    TfMain& w = open();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(w.cxcomport->currentText(), "/dev/ttyUSB0");
    EXPECT_EQ(w.cxbaud->currentText(), "115200");
    EXPECT_EQ(w.cxdatabit->currentText(), "7");
    EXPECT_EQ(w.cxparity->currentText(), "Even");
    EXPECT_EQ(w.cxstopbit->currentText(), "2");
    EXPECT_EQ(w.cxclientip->text(), "device.local");
    EXPECT_EQ(w.cxclientport->text(), "1234");
    EXPECT_EQ(w.cxmasterport->text(), "9000");
    EXPECT_FALSE(w.chenter->isChecked());
    EXPECT_FALSE(w.chcrlf->isChecked());
    EXPECT_TRUE(w.chhex->isChecked());
    EXPECT_TRUE(w.chdec->isChecked());
    EXPECT_TRUE(w.chbaslangic->isChecked());
    EXPECT_TRUE(w.chexit->isChecked());
    EXPECT_EQ(w.cxbaslangic->text(), QStringLiteral("<BAŞLA>"));
    EXPECT_EQ(w.macroEdit(1)->text(), "  padded ");
    EXPECT_EQ(w.macroEdit(19)->text(), QStringLiteral("ĞİŞğış"));
    EXPECT_EQ(w.macroEdit(33)->text(), "#065$41");
    EXPECT_EQ(w.macroEdit(2)->text(), "");
}

TEST_F(MainWindowTest, StoredValueOutsideAFixedListIsStillShown) {
    WriteFile(settingsPath(), "[com]\r\nbaud=14400\r\n");
    TfMain& w = open();
    EXPECT_EQ(w.cxbaud->currentText(), "14400");
    EXPECT_GE(w.cxbaud->findText("115200"), 0);
}

TEST_F(MainWindowTest, BadTruthValueStopsTheLoadAtThatKey) {
    WriteFile(settingsPath(), "[client]\r\nport=5555\r\n[ayar]\r\nchenter=0\r\nchcrlf=0\r\n"
                              "chhex=yes\r\n");
    TfMain& w = open();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], "'yes' is not a valid boolean value.");
    // Keys before it were loaded ...
    EXPECT_EQ(w.cxclientport->text(), "5555");
    EXPECT_FALSE(w.chenter->isChecked());
    EXPECT_FALSE(w.chcrlf->isChecked());
    // ... the rest keep their designed state and were neither read nor written.
    for (QCheckBox* box : {w.chhex, w.chdec, w.chbaslangic, w.chexit})
        EXPECT_TRUE(box->isChecked()) << box->objectName().toStdString();
    EXPECT_EQ(w.cxbaslangic->text(), "<BASLA>");
    EXPECT_EQ(w.macroEdit(1)->text(), "");
    const std::string file = ReadFile(settingsPath());
    EXPECT_EQ(file.find("chdec"), std::string::npos);
    EXPECT_EQ(file.find("makro"), std::string::npos);
    EXPECT_NE(file.find("[com]\r\nport=COM1\r\n"), std::string::npos);
    // The window still opens and works.
    w.show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
}

TEST_F(MainWindowTest, UnwritableSettingsFileShowsUnableToWriteAndKeepsTheDesign) {
    std::filesystem::create_directory(settingsPath()); // nothing can be written there
    TfMain& w = open();
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], QString::fromStdString("Unable to write to " + settingsPath() + "."));
    EXPECT_EQ(w.cxcomport->currentText(), "COM1");
    EXPECT_EQ(w.cxbaslangic->text(), "<BASLA>");
    EXPECT_TRUE(w.chhex->isChecked());
    EXPECT_EQ(ComboItems->size(), 0u); // created before the load
}

TEST_F(MainWindowTest, KaydetStoresTheSevenOptionsAndTheyComeBack) {
    TfMain& w = open();
    w.chenter->setChecked(false);
    w.chcrlf->setChecked(true);
    w.chhex->setChecked(true);
    w.chdec->setChecked(false);
    w.chbaslangic->setChecked(true);
    w.chexit->setChecked(false);
    w.cxbaslangic->setText(QStringLiteral(" \t<BAŞLA>  "));
    QTest::mouseClick(w.btnkaydet, Qt::LeftButton);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(w.cxbaslangic->text(), QStringLiteral(" \t<BAŞLA>  ")); // the edit keeps its text

    std::string expected = defaultSettingsFile();
    const auto set = [&](const std::string& key, const std::string& value) {
        const auto at = expected.find("\r\n" + key + "=") + 2;
        const auto end = expected.find("\r\n", at);
        expected.replace(at, end - at, key + "=" + value);
    };
    set("chenter", "0");
    set("chcrlf", "-1");
    set("chhex", "-1");
    set("chdec", "0");
    set("chbaslangic", "-1");
    set("chexit", "0");
    set("cxbaslangic", "<BA\xDELA>");
    EXPECT_EQ(ReadFile(settingsPath()), expected);

    window.reset();
    TfMain& again = open();
    EXPECT_FALSE(again.chenter->isChecked());
    EXPECT_TRUE(again.chcrlf->isChecked());
    EXPECT_TRUE(again.chhex->isChecked());
    EXPECT_FALSE(again.chdec->isChecked());
    EXPECT_TRUE(again.chbaslangic->isChecked());
    EXPECT_FALSE(again.chexit->isChecked());
    EXPECT_EQ(again.cxbaslangic->text(), QStringLiteral("<BAŞLA>"));
}

TEST_F(MainWindowTest, KaydetReportsAFileThatCannotBeWritten) {
    TfMain& w = open();
    std::filesystem::remove(settingsPath());
    std::filesystem::create_directory(settingsPath());
    QTest::mouseClick(w.btnkaydet, Qt::LeftButton);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], QString::fromStdString("Unable to write to " + settingsPath() + "."));
}

TEST_F(MainWindowTest, CaptionCarriesTheFileVersion) {
    std::filesystem::copy_file(VERSION_FIXTURE_2_10_3_7, dir.file("km40r"));
    EXPECT_EQ(open().windowTitle(), QStringLiteral("KM40R Ayar Programı    V: 2.10.3"));
    window.reset();
    std::filesystem::remove(dir.file("km40r"));
    EXPECT_EQ(open().windowTitle(), QStringLiteral("KM40R Ayar Programı    V: ?.?.?"));
}

TEST_F(MainWindowTest, ControlsAsDesigned) {
    TfMain& w = open();
    struct Button {
        const char* name;
        const char* caption;
        bool enabled;
    };
    const Button buttons[] = {
        {"btncombaglan", "Baglan", true},        {"btncomkes", "Kes", false},
        {"btnclientbaglan", "Baglan", true},     {"btnclientkes", "Kes", false},
        {"btnmasterbaglan", "Aktif", true},      {"btnmasterkes", "Pasif", false},
        {"btngonder", "Gönder", false},          {"btntemizle", "Temizle", true},
        {"btnoku", "Oku", false},                {"btnyaz", "Yaz", false},
        {"btnayarbaslangic", "Baslangiç Metni", false},
        {"btnayarson", "Sonlandirma Metni", false},
        {"btnkaydet", "Kaydet", true},
    };
    for (const Button& b : buttons) {
        auto* button = child<QPushButton>(w, b.name);
        ASSERT_NE(button, nullptr);
        EXPECT_EQ(button->text(), QString::fromUtf8(b.caption)) << b.name;
        EXPECT_EQ(button->isEnabled(), b.enabled) << b.name;
    }
    EXPECT_NE(child<QToolButton>(w, "btnsearch"), nullptr);

    const std::pair<const char*, QStringList> lists[] = {
        {"cxbaud", {"2400", "4800", "9600", "19200", "28800", "38400", "56000", "57600", "115200"}},
        {"cxdatabit", {"7", "8"}},
        {"cxparity", {"Yok", "Even", "Odd"}},
        {"cxstopbit", {"1", "2"}},
    };
    for (const auto& [name, items] : lists) {
        auto* box = child<QComboBox>(w, name);
        ASSERT_NE(box, nullptr);
        EXPECT_FALSE(box->isEditable()) << name;
        QStringList actual;
        for (int i = 0; i < box->count(); ++i)
            actual << box->itemText(i);
        EXPECT_EQ(actual, items) << name;
    }
    EXPECT_TRUE(w.cxcomport->isEditable());
    EXPECT_TRUE(w.cxsocket->isEditable());
    EXPECT_EQ(w.cxsocket->currentText(), "");
    EXPECT_EQ(w.cxsocket->count(), 0);

    const std::pair<QTabWidget*, QStringList> pages[] = {
        {w.PC1, {"Seri Port", "TCP Client", "TCP Master"}},
        {w.PC2, {"Cihaz Ayarlari", "Makrolar", "Ayarlar"}},
        {w.PC3, {"ASCII", "HEX", "DEC"}},
    };
    for (const auto& [pc, titles] : pages) {
        QStringList actual;
        for (int i = 0; i < pc->count(); ++i)
            actual << pc->tabText(i);
        EXPECT_EQ(actual, titles);
    }
    EXPECT_EQ(w.PC3->tabPosition(), QTabWidget::South);
    EXPECT_EQ(w.PC1->widget(0)->objectName(), "tbcom");
    EXPECT_EQ(w.PC2->widget(2)->objectName(), "tbayar");
    EXPECT_EQ(w.PC3->widget(1)->objectName(), "tbhex");

    // The six logs: read-only, no wrap, each sent log above its received log.
    const std::tuple<const char*, const char*, const char*> logs[] = {
        {"tbascii", "MemoGiden", "MemoGelen"},
        {"tbhex", "memogidenhex", "memogelenhex"},
        {"tbdec", "memogidendec", "memogelendec"},
    };
    for (const auto& [pageName, sent, received] : logs) {
        auto* page = child<QWidget>(w, pageName);
        ASSERT_NE(page, nullptr);
        auto* split = page->findChild<QSplitter*>();
        ASSERT_NE(split, nullptr);
        EXPECT_EQ(split->widget(0)->objectName(), sent);
        EXPECT_EQ(split->widget(1)->objectName(), received);
        for (const char* name : {sent, received}) {
            auto* log = child<LogView>(w, name);
            ASSERT_NE(log, nullptr);
            EXPECT_TRUE(log->toPlainText().isEmpty());
            EXPECT_EQ(log->property("plainText").toString(), "");
            EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
            EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
        }
    }

    // The 33 macro rows: buttons btnm1..18 then cxButton1..15, Tag = slot.
    for (int n = 1; n <= 33; ++n) {
        const QString name =
            n <= 18 ? QStringLiteral("btnm%1").arg(n) : QStringLiteral("cxButton%1").arg(n - 18);
        auto* b = w.findChild<QPushButton*>(name);
        ASSERT_NE(b, nullptr) << name.toStdString();
        EXPECT_EQ(b, w.macroButton(n));
        EXPECT_EQ(b->text(), QStringLiteral("M%1").arg(n));
        EXPECT_EQ(b->property("Tag").toInt(), n);
        EXPECT_TRUE(b->isEnabled());
        EXPECT_EQ(w.findChild<QLineEdit*>(QStringLiteral("cxmakro%1").arg(n)), w.macroEdit(n));
        EXPECT_TRUE(w.ScrollBox1->widget()->isAncestorOf(b));
    }

    const std::pair<const char*, const char*> checks[] = {
        {"chenter", "Enter Tuslandiginda Gönder"},
        {"chcrlf", "Veri sonuna CR+LF Ekle"},
        {"chdec", "# sonraki üç karaker Byte deger"},
        {"chhex", "$ sonraki iki karakter HEX deger"},
        {"chbaslangic", "Her iletisimde baslangiç metni gönder"},
        {"chexit", "Her iletisim sonrasi EXIT metni gönder"},
    };
    for (const auto& [name, caption] : checks) {
        auto* box = child<QCheckBox>(w, name);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), QString::fromUtf8(caption));
    }
    EXPECT_EQ(w.cxGroupBox1->title(), "Ayar Degeri");
    EXPECT_EQ(w.Timer1->interval(), 100);
    EXPECT_EQ(w.Timer2->interval(), 5000);
    EXPECT_TRUE(w.Timer1->isActive());
    EXPECT_TRUE(w.Timer2->isActive());
    EXPECT_EQ(w.palette().color(QPalette::Window), QColor(243, 248, 255));
    EXPECT_EQ(QFontInfo(w.font()).pointSize(), 8);
    EXPECT_FALSE(w.StatusText->text().isEmpty());
}

TEST_F(MainWindowTest, EnableAndDisableButtonsTouchOnlyTheFiveTrafficButtons) {
    TfMain& w = open();
    QList<QPushButton*> traffic = {w.btngonder, w.btnoku, w.btnyaz, w.btnayarbaslangic,
                                   w.btnayarson};
    const auto others = [&] {
        QList<bool> states;
        for (QPushButton* b : w.findChildren<QPushButton*>())
            if (!traffic.contains(b))
                states << b->isEnabled();
        return states;
    };
    const QList<bool> before = others();
    w.EnableButtons();
    for (QPushButton* b : traffic)
        EXPECT_TRUE(b->isEnabled());
    EXPECT_EQ(others(), before);
    w.DisableButtons();
    for (QPushButton* b : traffic)
        EXPECT_FALSE(b->isEnabled());
    EXPECT_EQ(others(), before);
}

TEST_F(MainWindowTest, OuterWindowIsKeptAtLeast768By570) {
    const std::tuple<int, int, bool> cases[] = {
        {767, 600, false}, {800, 569, false}, {767, 569, false},
        {768, 570, true},  {1008, 730, true}, {2000, 1500, true},
    };
    for (const auto& [width, height, accepted] : cases)
        EXPECT_EQ(TfMain::FormCanResize(width, height), accepted) << width << "x" << height;

    TfMain& w = open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.size(), QSize(1008, 730));
    // resize() sets the inner size; the limits are on the outer one.
    const QSize frame = w.frameGeometry().size() - w.size();
    w.resize(QSize(767, 600) - frame);
    EXPECT_EQ(w.frameGeometry().size(), QSize(768, 600));
    w.resize(QSize(800, 569) - frame);
    EXPECT_EQ(w.frameGeometry().size(), QSize(800, 570));
    w.resize(QSize(768, 570) - frame);
    EXPECT_EQ(w.frameGeometry().size(), QSize(768, 570));
    // Nothing is squeezed below what it needs to show itself.
    EXPECT_LE(w.centralWidget()->minimumSizeHint().width(), w.centralWidget()->width());
    EXPECT_LE(w.centralWidget()->minimumSizeHint().height(), w.centralWidget()->height());
}

TEST_F(MainWindowTest, TimerOneCountsTicks) {
    TfMain& w = open();
    TickCount = 0;
    EXPECT_TRUE(QTest::qWaitFor([] { return TickCount >= 2; }, 2000));
    (void)w;
}

TEST_F(MainWindowTest, ClosingWithoutAnOpenPortClosesCleanly) {
    TfMain& w = open();
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_TRUE(w.close());
    EXPECT_TRUE(errors.isEmpty());
    EXPECT_EQ(ComboItems, nullptr);
}

TEST_F(MainWindowTest, GarbageSettingsFileNeverCrashes) {
    std::string garbage;
    unsigned state = 99;
    for (int i = 0; i < 5000; ++i) {
        state = state * 1103515245u + 12345u;
        garbage += static_cast<char>(state >> 24);
    }
    WriteFile(settingsPath(), garbage);
    TfMain& w = open();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(w.cxbaud->currentText(), "9600");
    // The unreadable part stays in the file, byte for byte.
    EXPECT_EQ(ReadFile(settingsPath()).substr(0, garbage.size()), garbage);
}

TEST_F(MainWindowTest, AnErrorEscapingAnyHandlerIsShownAndTheProgramGoesOn) {
    open();
    QTimer::singleShot(0, [] { throw EConvertError("'x' is not a valid integer value"); });
    EXPECT_TRUE(QTest::qWaitFor([this] { return !errors.isEmpty(); }, 2000));
    ASSERT_EQ(errors.size(), 1);
    EXPECT_EQ(errors[0], "'x' is not a valid integer value.");
    TickCount = 0;
    EXPECT_TRUE(QTest::qWaitFor([] { return TickCount >= 1; }, 2000)); // still running
}

TEST_F(MainWindowTest, TransformationReadsTheOptionsAtEachCall) {
    TfMain& w = open();
    w.chcrlf->setChecked(false);
    w.chdec->setChecked(true);
    w.chhex->setChecked(false);
    EXPECT_EQ(w.TransformOutgoing("#065$41"), "A$41");
    w.chhex->setChecked(true);
    w.chcrlf->setChecked(true);
    EXPECT_EQ(w.TransformOutgoing("#065$41"), "AA\r\n");
    w.chhex->setChecked(true);
    w.chcrlf->setChecked(true);
    EXPECT_THROW(w.TransformOutgoing("$4"), EConvertError); // the group is $, 4 and CR
}
