// The program killed (SIGKILL) at random moments while it saves its options,
// many times over. "Kaydet" stores seven values, each by a complete new file
// renamed over the old one; so after any kill the settings file is exactly
// one of the complete files those writes make (each value the old or the new
// one), never torn, never empty; "DB.ini" is untouched; a new file that was
// being built may be left beside it, and the next start does not mind it.
//
// The regular run kills 60 times; KM40R_FAULT_KILL_ROUNDS sets another count
// (scripts/faults.sh runs 500), KM40R_FAULT_KILL_SEED repeats a run.
#include "app/window_fixture.h"
#include "fault_support.h"
#include "kaydet_values.h"

#include <QProcess>
#include <QPushButton>
#include <QTest>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <thread>

using namespace km40r;
using namespace km40r::test;

namespace {

using Clock = std::chrono::steady_clock;

int EnvironmentNumber(const char* name, int fallback) {
    const char* text = std::getenv(name);
    return text != nullptr && *text != '\0' ? std::atoi(text) : fallback;
}

// The settings line of each stored option for a set of values.
std::array<std::string, 7> OptionLines(const KaydetValues& v) {
    const auto flag = [](bool on) { return std::string(on ? "-1" : "0"); };
    return {"chenter=" + flag(v.ticks[0]),
            "chcrlf=" + flag(v.ticks[1]),
            "chhex=" + flag(v.ticks[2]),
            "chdec=" + flag(v.ticks[3]),
            "cxbaslangic=" + std::string(v.startText),
            "chbaslangic=" + flag(v.ticks[4]),
            "chexit=" + flag(v.ticks[5])};
}

// Every complete file the saves can leave: the first set's file with any of
// its seven option lines replaced by the second set's.
std::set<std::string> CompleteFiles(const std::string& first) {
    const auto a = OptionLines(kKaydetFirst);
    const auto b = OptionLines(kKaydetSecond);
    std::set<std::string> files;
    for (unsigned mask = 0; mask < (1u << a.size()); ++mask) {
        std::string file = first;
        for (std::size_t i = 0; i < a.size(); ++i) {
            if ((mask & (1u << i)) == 0)
                continue;
            const auto at = file.find("\r\n" + a[i] + "\r\n");
            if (at == std::string::npos)
                return {};
            file.replace(at + 2, a[i].size(), b[i]);
        }
        files.insert(file);
    }
    return files;
}

class FaultKillDuringKaydet : public WindowTest {
protected:
    // Reads a line of the helper's output; empty after the deadline or when
    // it ended.
    static std::string readLine(QProcess& helper) {
        const auto deadline = Clock::now() + std::chrono::seconds(60);
        while (!helper.canReadLine()) {
            if (Clock::now() > deadline || helper.state() == QProcess::NotRunning)
                return {};
            helper.waitForReadyRead(100);
        }
        return helper.readLine().trimmed().toStdString();
    }
};

} // namespace

TEST_F(FaultKillDuringKaydet, SettingsFileIsAlwaysOneCompleteFile) {
    // The two complete files, saved by the window itself.
    TfMain& w = open();
    ApplyKaydetValues(w, kKaydetFirst);
    QTest::mouseClick(w.btnkaydet, Qt::LeftButton);
    const std::string first = ReadFile(settingsPath());
    ApplyKaydetValues(w, kKaydetSecond);
    QTest::mouseClick(w.btnkaydet, Qt::LeftButton);
    const std::string second = ReadFile(settingsPath());
    window.reset();
    ASSERT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    ASSERT_NE(first.size(), second.size());
    const std::set<std::string> complete = CompleteFiles(first);
    ASSERT_EQ(complete.size(), 128u);
    ASSERT_TRUE(complete.count(second));
    const std::string db = ReadFile(dir.file("DB.ini"));
    const std::set<std::string> ownFiles{"DB.ini", "km400.kmd", "km40r.ini"};

    const int rounds = EnvironmentNumber("KM40R_FAULT_KILL_ROUNDS", 60);
    const unsigned seed = static_cast<unsigned>(
        EnvironmentNumber("KM40R_FAULT_KILL_SEED", static_cast<int>(std::random_device{}() >> 1)));
    SCOPED_TRACE("KM40R_FAULT_KILL_SEED=" + std::to_string(seed));
    std::mt19937 random(seed);
    std::map<std::string, int> outcomes;
    int leftBehind = 0;
    const auto start = Clock::now();
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        QProcess helper;
        helper.setProcessChannelMode(QProcess::SeparateChannels);
        helper.start(KAYDET_LOOP, {QString::fromStdString(dir.path())});
        ASSERT_TRUE(helper.waitForStarted(30000));
        ASSERT_EQ(readLine(helper), "ready") << helper.readAllStandardError().toStdString();
        // Kill somewhere within the saves that follow the first one, at a
        // moment spread over the time one save takes.
        const auto ready = Clock::now();
        ASSERT_EQ(readLine(helper), "0") << helper.readAllStandardError().toStdString();
        const auto oneSave =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - ready);
        std::this_thread::sleep_for(std::chrono::microseconds(
            random() % static_cast<unsigned>(std::max<long long>(oneSave.count(), 1000))));
        helper.kill();
        ASSERT_TRUE(helper.waitForFinished(30000));
        ASSERT_EQ(helper.exitStatus(), QProcess::CrashExit)
            << "the helper ended on its own: " << helper.readAllStandardError().toStdString();

        const std::string file = ReadFile(settingsPath());
        ASSERT_TRUE(complete.count(file)) << "torn settings file of " << file.size() << " bytes:\n"
                                          << file;
        ++outcomes[file == first ? "first" : file == second ? "second" : "between"];
        ASSERT_EQ(ReadFile(dir.file("DB.ini")), db);
        int strays = 0;
        for (const std::string& name : FolderEntries(dir.path())) {
            if (ownFiles.count(name) == 0) {
                EXPECT_EQ(name.rfind("km40r.ini.tmp", 0), 0u) << name;
                ++strays;
            }
        }
        leftBehind = strays;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::cout << "[          ] " << rounds << " kills in " << seconds
              << " s; file left as the first " << outcomes["first"] << ", the second "
              << outcomes["second"] << ", between " << outcomes["between"]
              << "; new files left beside it " << leftBehind << "\n";

    // The next start does not mind what was left; saving works.
    errors.clear();
    TfMain& again = open();
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    ApplyKaydetValues(again, kKaydetFirst);
    QTest::mouseClick(again.btnkaydet, Qt::LeftButton);
    EXPECT_TRUE(errors.isEmpty()) << errors.join('|').toStdString();
    EXPECT_EQ(ReadFile(settingsPath()), first);
}
