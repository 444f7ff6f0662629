// An installation, end to end: installs the build into a temporary prefix,
// starts the installed simulator as a TCP device, starts the installed program
// through its launcher (offscreen, with a fresh home folder), lets the driver
// plugin write and read settings of the sample catalogue with Yaz and Oku, and
// checks the device's stored values, the program's logs and the per-user
// program folder.
#include "support/temp_dir.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <filesystem>
#include <gtest/gtest.h>

using km40r::test::ReadFile;
using km40r::test::TempDir;

namespace {

std::string run(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(120000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        ADD_FAILURE() << program.toStdString() << " failed: " << p.readAll().toStdString();
    return p.readAll().toStdString();
}

} // namespace

TEST(Installation, TheInstalledProgramTalksToTheInstalledSimulator) {
    TempDir dir;
    const QString prefix = QString::fromStdString(dir.file("prefix"));
    run(QStringLiteral(CMAKE_COMMAND),
        {"--install", QStringLiteral(BUILD_DIR), "--prefix", prefix});
    for (const char* f : {"bin/km40r", "bin/km40r-catalogue", "bin/km40r-device-sim",
                          "libexec/km40r/km40r", "share/km40r/km400.kmd",
                          "share/applications/example.km40r.km40r.desktop",
                          "share/metainfo/example.km40r.km40r.metainfo.xml",
                          "share/icons/hicolor/scalable/apps/km40r.svg",
                          "share/icons/hicolor/48x48/apps/km40r.png"})
        EXPECT_TRUE(std::filesystem::exists(dir.file("prefix/") + f)) << f;

    // The device: the installed simulator, on the installed sample catalogue.
    QProcess device;
    device.setProcessChannelMode(QProcess::SeparateChannels);
    device.start(prefix + "/bin/km40r-device-sim",
                 {"--listen", "0", "--log", QString::fromStdString(dir.file("device.log"))});
    ASSERT_TRUE(device.waitForReadyRead(20000)) << device.readAllStandardError().toStdString();
    const QString address = QString::fromUtf8(device.readLine()).trimmed(); // 127.0.0.1:PORT
    const QString port = address.section(QLatin1Char(':'), -1);
    ASSERT_FALSE(port.isEmpty());

    // The program, through its launcher, in a fresh home.
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", QString::fromStdString(dir.file("home")));
    env.remove("XDG_DATA_HOME");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("QT_PLUGIN_PATH", QStringLiteral(DRIVER_PLUGIN_PATH));
    env.insert("QT_QPA_GENERIC_PLUGINS", "km40rdriver");
    env.insert("KM40R_DRIVER_PORT", port);
    env.insert("KM40R_DRIVER_OUT", QString::fromStdString(dir.file("driver.out")));
    program.setProcessEnvironment(env);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(prefix + "/bin/km40r", {});
    ASSERT_TRUE(program.waitForFinished(90000)) << program.readAll().toStdString();
    EXPECT_EQ(program.exitCode(), 0) << program.readAll().toStdString();

    const std::string report = ReadFile(dir.file("driver.out"));
    EXPECT_EQ(report.find("FAILED"), std::string::npos) << report;
    // The three commands went out with CR LF (each logged as its line, then
    // the empty line after the CR LF), and the device answered each.
    EXPECT_NE(report.find("\r\n<YAZ,01,01,42>\r\n\r\n<OKU,01,01,>\r\n\r\n<YAZ,01,02,3>\r\n"),
              std::string::npos)
        << report;
    const std::string received = report.substr(report.find("RECEIVED\n"));
    const auto count = [&](const std::string& what) {
        std::size_t n = 0;
        for (auto at = received.find(what); at != std::string::npos; at = received.find(what, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("<OK,01,01,42>\r\n"), 2u) << report; // the write, then the read
    EXPECT_EQ(count("<OK,01,02,3>\r\n"), 1u) << report;

    // The device stored what the program wrote.
    device.terminate();
    ASSERT_TRUE(device.waitForFinished(20000));
    const std::string log = ReadFile(dir.file("device.log"));
    EXPECT_NE(log.find("write 01,01"), std::string::npos) << log;
    EXPECT_NE(log.find("-> <OK,01,02,3>"), std::string::npos) << log;

    // The program's files live in the user's program folder.
    const std::string folder = dir.file("home/.local/share/km40r/");
    EXPECT_TRUE(std::filesystem::is_symlink(folder + "km40r"));
    EXPECT_TRUE(std::filesystem::exists(folder + "km400.kmd"));
    EXPECT_EQ(ReadFile(folder + "DB.ini"), "[DB]\r\nsifre=\r\n");
    const std::string settings = ReadFile(folder + "km40r.ini");
    EXPECT_NE(settings.find("[client]\r\nip=127.0.0.1\r\nport=" + port.toStdString() + "\r\n"),
              std::string::npos)
        << settings;
}
