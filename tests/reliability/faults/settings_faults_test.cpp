// The settings file and its folder turning bad while the program runs. The
// program opens the file at every access and writes it by building a new file
// beside it and renaming that over it; so a folder that refuses writes, or a
// disk that is full, gives "Unable to write to <path>" and leaves the old file
// whole, with no stray file beside it; a file replaced by junk is read by the
// reading rules and written back soundly, the junk left as it was; and a
// named pipe in its place is neither waited on nor replaced.
#include "app/globals.h"
#include "app/log_view.h"
#include "app/window_fixture.h"
#include "fault_support.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <functional>
#include <iostream>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

using namespace km40r;
using namespace km40r::test;

namespace {

// The seven options "Kaydet" stores.
struct Options {
    bool enter, crlf, hex, dec, start, exit;
    QString startText;
};

class SettingsFaultTest : public WindowTest {
protected:
    void setOptions(const Options& o) {
        TfMain& w = *window;
        w.chenter->setChecked(o.enter);
        w.chcrlf->setChecked(o.crlf);
        w.chhex->setChecked(o.hex);
        w.chdec->setChecked(o.dec);
        w.chbaslangic->setChecked(o.start);
        w.chexit->setChecked(o.exit);
        w.cxbaslangic->setText(o.startText);
    }
    void expectOptions(const Options& o) {
        TfMain& w = *window;
        EXPECT_EQ(w.chenter->isChecked(), o.enter);
        EXPECT_EQ(w.chcrlf->isChecked(), o.crlf);
        EXPECT_EQ(w.chhex->isChecked(), o.hex);
        EXPECT_EQ(w.chdec->isChecked(), o.dec);
        EXPECT_EQ(w.chbaslangic->isChecked(), o.start);
        EXPECT_EQ(w.chexit->isChecked(), o.exit);
        EXPECT_EQ(w.cxbaslangic->text(), o.startText);
    }
    void kaydet() { QTest::mouseClick(window->btnkaydet, Qt::LeftButton); }
    QString unableToWrite() const {
        return QString::fromStdString("Unable to write to " + settingsPath() + ".");
    }

    // First "Kaydet" succeeds; then `fault` makes writes fail while it lives;
    // a second "Kaydet" then fails as the program words it, and leaves the
    // first file whole, with nothing beside it. Once the fault is gone, the
    // first values come back and saving works again.
    void secondSaveFails(const std::function<std::shared_ptr<void>()>& fault) {
        const Options first{false, true, true, false, true, false, "<ILK>"};
        const Options second{true, false, false, true, false, true, "<IKINCI KAYIT>"};
        open();
        setOptions(first);
        kaydet();
        ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        const std::string saved = ReadFile(settingsPath());
        const std::vector<std::string> entries = FolderEntries(dir.path());

        setOptions(second);
        std::string during;
        {
            const std::shared_ptr<void> active = fault();
            if (!active)
                return; // skipped by the fault
            kaydet();
            during = ReadFile(settingsPath());
        }
        EXPECT_EQ(during, saved); // readable while the fault lasts
        EXPECT_EQ(errors, QStringList{unableToWrite()});
        EXPECT_EQ(ReadFile(settingsPath()), saved);
        EXPECT_EQ(FolderEntries(dir.path()), entries);

        errors.clear();
        window.reset();
        open();
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        expectOptions(first);
        setOptions(second);
        kaydet();
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        window.reset();
        open();
        expectOptions(second);
        EXPECT_EQ(FolderEntries(dir.path()), entries);
    }
};

using FaultSettingsFolder = SettingsFaultTest;

TEST_F(FaultSettingsFolder, ReadOnlyBetweenTwoSaves) {
    secondSaveFails([this]() -> std::shared_ptr<void> {
        auto folder = std::make_shared<ReadOnlyFolder>(dir.path());
        std::cout << "[          ] the folder is made read-only by: " << folder->how() << "\n";
        RecordProperty("read_only_by", folder->how());
        if (!folder->binds()) {
            ADD_FAILURE_AT(__FILE__, __LINE__)
                << "cannot make a folder read-only here: " << folder->how();
            return nullptr;
        }
        return folder;
    });
}

TEST_F(FaultSettingsFolder, DiskFullBetweenTwoSaves) {
    // The new file is begun and cannot be finished: it must not stay behind.
    secondSaveFails([] { return std::make_shared<FileSizeLimit>(64); });
}

// --- junk ---

using FaultSettingsJunk = SettingsFaultTest;

TEST_F(FaultSettingsJunk, ReplacedWhileRunningThenWrittenAndReadBack) {
    // Planted among the junk: a section spelled loosely, lines ended by lone
    // CRs, a value longer than a read returns, and a second section of the
    // same name, which does not count.
    const std::string longValue(70000, 'x');
    const std::string planted =
        "\r[ AYAR ]\r chcrlf = 0 \rcxbaslangic=" + longValue + "\rchexit=-1\r[ayar]\rchhex=-1\r";
    const auto repeat = [](const std::string& piece, int times) {
        std::string s;
        for (int i = 0; i < times; ++i)
            s += piece;
        return s;
    };
    struct Case {
        const char* name;
        std::string before, after; // the junk around the planted lines
    };
    const Case cases[] = {
        {"random bytes", Junk(1, 64 << 10), Junk(2, 64 << 10)},
        {"NUL, 0xFF and lone CR", repeat(std::string("\0\0\xFF\r", 4), 5000),
         repeat(std::string("\xFF\0\r\r\0", 5), 5000)},
        {"lines longer than any buffer", std::string(300000, 'q') + "=" + std::string(100000, 'v'),
         std::string(200000, '\xFF')},
        {"several MB", Junk(3, 2 << 20), Junk(4, 1 << 20)},
        {"nothing around", "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        errors.clear();
        std::filesystem::remove(settingsPath());
        TfMain& w = open();
        ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        const std::vector<std::string> entries = FolderEntries(dir.path());

        // Replaced while the program runs; a macro is then stored into it.
        const std::string junk = c.before + planted + c.after;
        WriteFile(settingsPath(), junk);
        w.macroEdit(7)->setText(QStringLiteral("M7 ĞÜ"));
        QTest::mouseClick(w.macroButton(7), Qt::LeftButton);
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        std::string file = ReadFile(settingsPath());
        EXPECT_EQ(file.substr(0, junk.size()), junk); // the junk stays, byte for byte
        EXPECT_EQ(FolderEntries(dir.path()), entries);

        // The next start reads it by the reading rules.
        window.reset();
        open();
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        expectOptions({true, false, false, false, false, true,
                       QString::fromStdString(longValue.substr(0, 2047))});
        EXPECT_EQ(window->macroEdit(7)->text(), QStringLiteral("M7 ĞÜ"));
        EXPECT_EQ(window->cxbaud->currentText(), "9600");

        // "Kaydet" writes a file that reads back, the junk around unchanged.
        const Options saved{false, true, true, true, true, false, "<BAŞLA>"};
        setOptions(saved);
        kaydet();
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        file = ReadFile(settingsPath());
        EXPECT_EQ(file.substr(0, c.before.size()), c.before);
        EXPECT_NE(file.find("[ayar]\rchhex=-1\r" + c.after, c.before.size()), std::string::npos);
        EXPECT_NE(file.find("\rcxbaslangic=<BA\xDELA>\r"), std::string::npos);
        EXPECT_EQ(file.find(longValue), std::string::npos);
        EXPECT_EQ(FolderEntries(dir.path()), entries);
        window.reset();
        open();
        EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        expectOptions(saved);
        EXPECT_EQ(window->macroEdit(7)->text(), QStringLiteral("M7 ĞÜ"));
    }
}

TEST_F(FaultSettingsJunk, ReplacedByANamedPipe) {
    // A pipe has no end of its own: opening it waits for a writer, reading it
    // waits for data. The program must neither wait nor take it for a file.
    const std::string pipeElsewhere = dir.file("elsewhere.fifo");
    ASSERT_EQ(::mkfifo(pipeElsewhere.c_str(), 0600), 0);
    struct Case {
        const char* name;
        std::function<void()> replace;
    };
    const Case cases[] = {
        {"a pipe",
         [&] {
             std::filesystem::remove(settingsPath());
             ASSERT_EQ(::mkfifo(settingsPath().c_str(), 0600), 0);
         }},
        {"a link to a pipe",
         [&] {
             std::filesystem::remove(settingsPath());
             std::filesystem::create_symlink(pipeElsewhere, settingsPath());
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        window.reset();
        errors.clear();
        std::filesystem::remove(settingsPath());
        TfMain& w = open();
        ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
        c.replace();
        {
            PipeRescue rescue(settingsPath());
            kaydet();
            EXPECT_FALSE(rescue.finish()) << "Kaydet waited on the pipe";
        }
        EXPECT_EQ(errors, QStringList{unableToWrite()});
        (void)w;
        // A start reads nothing from it, and says the defaults cannot be
        // written back.
        errors.clear();
        window.reset();
        {
            PipeRescue rescue(settingsPath());
            open();
            EXPECT_FALSE(rescue.finish()) << "the start waited on the pipe";
        }
        EXPECT_EQ(errors, QStringList{unableToWrite()});
        EXPECT_TRUE(std::filesystem::is_fifo(settingsPath()));
        window->show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
}

} // namespace
