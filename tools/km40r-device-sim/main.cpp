// km40r-device-sim: a simulated KM40R device for demonstrations, training and
// tests. See kHelp for the command line and the answers it gives; the
// workings are in device_protocol.h (commands and answers) and simulator.h
// (transports, stream, log).
#include "catalogue/catalogue.h"
#include "core/cp1254.h"
#include "core/errors.h"
#include "core/ini_file.h"
#include "device_protocol.h"
#include "simulator.h"
#include "test_pattern.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr const char* kHelp = R"(usage: km40r-device-sim --listen PORT [--bind ADDR] [options]
       km40r-device-sim --connect HOST:PORT [--count N] [options]
       km40r-device-sim --pty [options]

A simulated KM40R device for demonstrations, training and tests. It keeps a
value for every setting of a catalogue database and answers the program's
read and write commands.

Modes (exactly one):
  --listen PORT        Accept TCP connections on PORT (0: any free port), as
                       the device of the program's TCP client link. Any number
                       of connections, all to the same device. The first line
                       on standard output is the address listened on,
                       ADDR:PORT.
  --bind ADDR          The IP address to listen on (default 127.0.0.1;
                       0.0.0.0 for every IPv4 address of this machine).
  --connect HOST:PORT  Connect to the program's TCP server link.
  --count N            ...as N devices (default 1), each with settings of its
                       own. The simulator ends when none of them is connected
                       any longer: exit status 0, or 1 if one could not
                       connect. It does not reconnect.
  --pty                Open a pseudo-terminal and serve the device on it. The
                       first line on standard output is the path to open with
                       the program's serial link; it can be opened and closed
                       again while the simulator runs. A stream runs whether
                       the path is open or not.

Settings:
  --catalogue FILE     The catalogue database (default: km400.kmd beside this
                       program, or the installed sample catalogue; when
                       neither is there, the simulator runs as with
                       --no-catalogue).
  --password TEXT      The catalogue's password (default: key "sifre" of
                       section "DB" of DB.ini in the catalogue's folder, which
                       is only read).
  --no-catalogue       Use no catalogue: every group and setting code is
                       accepted, and every value starts empty.
  --start-text TEXT    The start text (default "<BASLA>"; empty: none).
  A list setting (kind "Combo") starts with the value of its first choice,
  the text before ":"; any other setting starts empty.

Stream:
  --stream RATE        Send test data to every connected peer at RATE bytes
                       per second (1 to 100000000). A peer that does not take
                       the data fast enough gets less; the sequence has no
                       gaps.
  --pattern NAME       text (default): numbered lines of 61 bytes,
                         "KM40R 00000000 The quick brown fox jumps over the
                         lazy dog.\r\n", the number counting from 0 per peer;
                       counter: the bytes 00 01 02 ... FF 00 ...;
                       random: pseudo-random bytes.

Log:
  --log FILE           Append the log to FILE instead of standard error. One
                       line per received chunk and per answered unit, UTF-8,
                       with bytes that are not printable as \r \n \t \xHH.
  -h, --help           Show this text.

Answers. These are this simulator's own, not those of a real device. Each is
one line ending in CR LF (\r\n):
  <OKU,g,a,>           <OK,g,a,value>        the stored value
  <YAZ,g,a,v>          <OK,g,a,v>            v is stored; it may hold commas
  the start text       <OK,START>
  <EXIT>               <OK,EXIT>
  a g,a the catalogue does not have
                       <ERR,UNKNOWN,g,a>
  anything else        <ERR,SYNTAX>
Commands may arrive in any pieces, several in one piece, with or without
CR LF, and with or without the start text and <EXIT> around them. Blanks and
control characters between them are skipped. Text outside a command is
answered with <ERR,SYNTAX> once it ends at "<", CR or LF; a command left open
when the next "<" arrives, or longer than 4096 bytes, likewise. Texts on the
wire and in the catalogue are code page 1254; the log shows them as UTF-8.

Stops on SIGINT or SIGTERM with exit status 0. Exit status 1: the catalogue,
the port, the pseudo-terminal or the log file could not be opened; 2: a wrong
command line.
)";

struct Arguments {
    std::optional<quint16> listenPort;
    std::string bind = "127.0.0.1";
    std::optional<std::string> connectHost;
    quint16 connectPort = 0;
    int count = 1;
    bool pty = false;
    std::optional<std::string> catalogue;
    std::optional<std::string> password;
    bool noCatalogue = false;
    std::string startText{km40r::sim::kDefaultStartText};
    double streamRate = 0;
    km40r::sim::Pattern pattern = km40r::sim::Pattern::Text;
    std::optional<std::string> logFile;
    bool help = false;
};

template <typename T> std::optional<T> Number(std::string_view text, T low, T high) {
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < low || value > high)
        return std::nullopt;
    return value;
}

// Parses the command line; an error's text on failure.
std::optional<Arguments> Parse(int argc, char** argv, std::string& error) {
    Arguments a;
    bool bindGiven = false, countGiven = false, patternGiven = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            a.help = true;
            return a;
        }
        if (arg == "--pty") {
            a.pty = true;
            continue;
        }
        if (arg == "--no-catalogue") {
            a.noCatalogue = true;
            continue;
        }
        static const char* const withValue[] = {
            "--listen",   "--bind",       "--connect", "--count",   "--catalogue",
            "--password", "--start-text", "--stream",  "--pattern", "--log"};
        if (std::find(std::begin(withValue), std::end(withValue), arg) == std::end(withValue)) {
            error = "unknown option '" + arg + "'";
            return std::nullopt;
        }
        if (i + 1 >= argc) {
            error = arg + " needs a value";
            return std::nullopt;
        }
        const std::string value = argv[++i];
        const auto bad = [&] {
            error = "invalid value for " + arg + ": '" + value + "'";
            return std::nullopt;
        };
        if (arg == "--listen") {
            if (!(a.listenPort = Number<quint16>(value, 0, 65535)))
                return bad();
        } else if (arg == "--bind") {
            a.bind = value;
            bindGiven = true;
        } else if (arg == "--connect") {
            const auto colon = value.rfind(':');
            const auto port =
                colon == std::string::npos
                    ? std::nullopt
                    : Number<quint16>(std::string_view(value).substr(colon + 1), 1, 65535);
            if (!port || colon == 0)
                return bad();
            a.connectHost = value.substr(0, colon);
            a.connectPort = *port;
        } else if (arg == "--count") {
            const auto count = Number<int>(value, 1, 10000);
            if (!count)
                return bad();
            a.count = *count;
            countGiven = true;
        } else if (arg == "--catalogue") {
            a.catalogue = value;
        } else if (arg == "--password") {
            a.password = value;
        } else if (arg == "--start-text") {
            a.startText = km40r::Utf8ToCp1254(value);
        } else if (arg == "--stream") {
            const auto rate = Number<double>(value, 1, 1e8);
            if (!rate)
                return bad();
            a.streamRate = *rate;
        } else if (arg == "--pattern") {
            const auto pattern = km40r::sim::ParsePattern(value);
            if (!pattern)
                return bad();
            a.pattern = *pattern;
            patternGiven = true;
        } else {
            a.logFile = value;
        }
    }
    const int modes = int(a.listenPort.has_value()) + int(a.connectHost.has_value()) + int(a.pty);
    if (modes != 1)
        error = "give exactly one of --listen, --connect and --pty";
    else if (bindGiven && !a.listenPort)
        error = "--bind goes with --listen";
    else if (countGiven && !a.connectHost)
        error = "--count goes with --connect";
    else if (patternGiven && a.streamRate == 0)
        error = "--pattern goes with --stream";
    else if (a.noCatalogue && (a.catalogue || a.password))
        error = "--no-catalogue excludes --catalogue and --password";
    else if (a.listenPort && QHostAddress(QString::fromStdString(a.bind)).isNull())
        error = "invalid value for --bind: '" + a.bind + "'";
    if (!error.empty())
        return std::nullopt;
    return a;
}

// The device's settings as they start.
km40r::sim::SettingStore LoadSettings(const Arguments& a, km40r::sim::Log& log) {
    if (a.noCatalogue) {
        log.line({}, "no catalogue: every group and setting code is accepted");
        return {};
    }
    // By default the catalogue beside this program (a build folder), or else
    // the installed sample (<prefix>/share/km40r beside <prefix>/bin).
    const std::string here = QCoreApplication::applicationDirPath().toStdString();
    std::string path = here + "/" + std::string(km40r::kCatalogueFileName);
    const std::string installed = here + "/../share/km40r/" + std::string(km40r::kCatalogueFileName);
    if (a.catalogue)
        path = *a.catalogue;
    else if (!std::filesystem::exists(path) && std::filesystem::exists(installed))
        path = std::filesystem::weakly_canonical(installed).string();
    if (!a.catalogue && !std::filesystem::exists(path)) {
        log.line({}, "no catalogue at " + path + ": every group and setting code is accepted");
        return {};
    }
    std::string password;
    if (a.password) {
        password = km40r::Utf8ToCp1254(*a.password);
    } else {
        const std::string dir = std::filesystem::absolute(path).parent_path().string();
        password = km40r::ReadProfileString(dir + "/DB.ini", "DB", "sifre");
    }
    km40r::CatalogueConnection db;
    db.open(path, password);
    km40r::CatalogueRecordSet tayar(db);
    tayar.open();
    km40r::sim::SettingStore store(tayar.records());
    log.line({}, "catalogue " + path + ": " + std::to_string(store.size()) + " settings");
    return store;
}

// SIGINT and SIGTERM reach the event loop through this socket pair.
int signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const auto n = write(signalPipe[1], &byte, 1);
}

bool InstallSignalHandlers() {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return false;
    fcntl(signalPipe[1], F_SETFL, fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void PrintFirstLine(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    std::string error;
    const auto arguments = Parse(argc, argv, error);
    if (!arguments) {
        std::cerr << "km40r-device-sim: " << error << "\n(--help shows the options)\n";
        return 2;
    }
    if (arguments->help) {
        std::cout << kHelp;
        return 0;
    }
    const Arguments& a = *arguments;
    if (!InstallSignalHandlers()) {
        std::cerr << "km40r-device-sim: cannot set up signal handling\n";
        return 1;
    }
    QCoreApplication app(argc, argv);

    std::FILE* logOut = stderr;
    if (a.logFile) {
        logOut = std::fopen(a.logFile->c_str(), "a");
        if (logOut == nullptr) {
            std::cerr << "km40r-device-sim: cannot open " << *a.logFile << ": "
                      << std::strerror(errno) << '\n';
            return 1;
        }
    }
    km40r::sim::Log log(logOut);
    // A reason to give up goes to the log and, when that is a file, also to
    // standard error.
    const auto fatal = [&](const std::string& message) {
        log.line({}, message);
        if (logOut != stderr)
            std::cerr << "km40r-device-sim: " << message << '\n';
    };
    int status = 1;
    try {
        km40r::sim::SimulatorOptions options;
        options.startText = a.startText;
        options.streamRate = a.streamRate;
        options.pattern = a.pattern;
        km40r::sim::Simulator simulator(options, LoadSettings(a, log), log);

        QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
        QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
            char byte = 0;
            if (read(signalPipe[0], &byte, 1) == 1)
                log.line({}, std::string("stopping on ") + (byte == SIGINT ? "SIGINT" : "SIGTERM"));
            QCoreApplication::exit(0);
        });

        if (!a.startText.empty())
            log.line({}, "start text " + km40r::sim::EscapeBytes(a.startText));
        if (a.streamRate > 0) {
            static const char* const names[] = {"text", "counter", "random"};
            log.line({}, "streaming " + std::to_string(static_cast<long long>(a.streamRate)) +
                             " bytes per second of " + names[static_cast<int>(a.pattern)] +
                             " to every peer");
        }
        if (a.listenPort) {
            const std::string address =
                simulator.listen(QHostAddress(QString::fromStdString(a.bind)), *a.listenPort);
            PrintFirstLine(address);
            log.line({}, "listening on " + address);
        } else if (a.pty) {
            const std::string path = simulator.openPty();
            PrintFirstLine(path);
            log.line({}, "serving on " + path);
        } else {
            log.line({}, "connecting " + std::to_string(a.count) +
                             (a.count == 1 ? " device to " : " devices to ") + *a.connectHost +
                             ":" + std::to_string(a.connectPort));
            simulator.connectTo(
                QString::fromStdString(*a.connectHost), a.connectPort, a.count, [&app](int code) {
                    // Also when it comes before the loop runs.
                    QTimer::singleShot(0, &app, [code] { QCoreApplication::exit(code); });
                });
        }
        status = app.exec();
        log.line({}, "stopped");
    } catch (const km40r::Error& e) {
        // The program's messages are code page 1254 text.
        fatal(km40r::Cp1254ToUtf8(e.what()));
    } catch (const std::exception& e) {
        fatal(e.what());
    }
    if (logOut != stderr)
        std::fclose(logOut);
    return status;
}
