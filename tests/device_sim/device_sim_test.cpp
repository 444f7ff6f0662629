// The simulator program as a child process: a device on loopback TCP, as
// several devices connecting to a server, and on a pseudo-terminal.
#include "support/serial_support.h"
#include "support/temp_dir.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <set>
#include <termios.h>
#include <unistd.h>

namespace km40r::test {
namespace {

// The sample catalogue's Turkish texts, in UTF-8 as the log shows them.
const std::string kSeriPortHizi = "Seri port h\xC4\xB1z\xC4\xB1";

// The simulator, running.
class Simulator {
public:
    explicit Simulator(const QStringList& arguments) {
        process_.setProgram(KM40R_DEVICE_SIM);
        process_.setArguments(arguments);
        process_.start();
    }
    ~Simulator() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished();
        }
    }

    // The first line it prints on standard output, without the line end;
    // empty when none comes.
    std::string FirstLine() {
        WaitUntil([&] {
            out_ += process_.readAllStandardOutput().toStdString();
            return out_.find('\n') != std::string::npos || process_.state() == QProcess::NotRunning;
        });
        return out_.substr(0, out_.find('\n'));
    }

    // The port of its "127.0.0.1:PORT" line.
    quint16 Port() {
        const std::string line = FirstLine();
        EXPECT_TRUE(line.starts_with("127.0.0.1:")) << line;
        return static_cast<quint16>(std::atoi(line.c_str() + line.find(':') + 1));
    }

    // Standard error so far.
    const std::string& Err() {
        err_ += process_.readAllStandardError().toStdString();
        return err_;
    }
    bool AwaitErr(const std::string& text) {
        return WaitUntil([&] { return Err().find(text) != std::string::npos; });
    }

    // Waits for its end; the exit status, or -1 when it crashed or did not end.
    int Finished() {
        WaitUntil([&] { return process_.state() == QProcess::NotRunning; });
        Err();
        if (process_.state() != QProcess::NotRunning ||
            process_.exitStatus() != QProcess::NormalExit)
            return -1;
        return process_.exitCode();
    }
    // Sends a signal and waits for the end.
    int Stop(int signal = SIGTERM) {
        ::kill(static_cast<pid_t>(process_.processId()), signal);
        return Finished();
    }

private:
    QProcess process_;
    std::string out_, err_;
};

// One TCP connection to the simulator, or the server side of one from it.
class Peer {
public:
    explicit Peer(quint16 port) : socket_(new QTcpSocket) {
        socket_->connectToHost(QHostAddress::LocalHost, port);
        EXPECT_TRUE(WaitUntil([&] { return socket_->state() == QAbstractSocket::ConnectedState; }));
    }
    explicit Peer(QTcpSocket* accepted) : socket_(accepted) {}

    void Send(const std::string& bytes) {
        socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket_->flush();
    }
    // The next `count` bytes that arrive (fewer after a deadline).
    std::string Receive(std::size_t count) {
        WaitUntil([&] {
            in_ += socket_->readAll().toStdString();
            return in_.size() >= count;
        });
        const std::string head = in_.substr(0, count);
        in_.erase(0, head.size());
        return head;
    }
    // What has arrived so far.
    std::string Take() {
        std::string all = in_ + socket_->readAll().toStdString();
        in_.clear();
        return all;
    }
    bool AwaitClosed() {
        return WaitUntil([&] { return socket_->state() == QAbstractSocket::UnconnectedState; });
    }
    void Close() { socket_->disconnectFromHost(); }

private:
    std::unique_ptr<QTcpSocket> socket_;
    std::string in_;
};

// Sends bytes and expects exactly these replies.
void Exchange(Peer& peer, const std::string& send, const std::string& reply) {
    peer.Send(send);
    EXPECT_EQ(peer.Receive(reply.size()), reply) << "for " << send;
}

TEST(DeviceSimulator, AnswersFromTheSampleCatalogueOnEveryConnection) {
    // No --catalogue: the sample km400.kmd beside the simulator.
    Simulator sim({"--listen", "0"});
    const quint16 port = sim.Port();
    Peer a(port), b(port);
    const std::string sh = "Kazan dairesi \xFE"; // "ş" in code page 1254
    const struct {
        Peer& peer;
        std::string send, reply;
    } cases[] = {
        {a, "<OKU,01,02,>\r\n", "<OK,01,02,0>\r\n"},
        {a, "<OKU,05,03,>", "<OK,05,03,-1>\r\n"},
        {a, "<OKU,01,04,>", "<OK,01,04,1>\r\n"},
        {a, "<OKU,01,01,>", "<OK,01,01,>\r\n"},
        {a, "<YAZ,01,01," + sh + ">\r\n", "<OK,01,01," + sh + ">\r\n"},
        {b, "<OKU,01,01,>", "<OK,01,01," + sh + ">\r\n"},
        {b, "<OKU,99,01,>", "<ERR,UNKNOWN,99,01>\r\n"},
        {b, "<OKU,01,02>", "<ERR,SYNTAX>\r\n"},
    };
    for (const auto& c : cases)
        Exchange(c.peer, c.send, c.reply);

    EXPECT_TRUE(sim.AwaitErr("41 settings"));
    EXPECT_TRUE(sim.AwaitErr("read 01,02 (" + kSeriPortHizi + ") -> <OK,01,02,0>\\r\\n"));
    EXPECT_TRUE(sim.AwaitErr("Kazan dairesi \xC5\x9F>\\r\\n"));
    EXPECT_EQ(sim.Stop(), 0);
}

// The log's count of received bytes, from its lines "... [peer] N bytes: ...".
std::size_t ReceivedBytes(const std::string& log) {
    std::size_t total = 0;
    for (std::size_t at = log.find("] "); at != std::string::npos; at = log.find("] ", at + 1)) {
        std::size_t end = at + 2;
        while (end < log.size() && std::isdigit(static_cast<unsigned char>(log[end])))
            ++end;
        if (end > at + 2 && log.compare(end, 5, " byte") == 0)
            total += std::stoul(log.substr(at + 2, end - at - 2));
    }
    return total;
}

TEST(DeviceSimulator, AnswersSplitBatchedAndFramedCommands) {
    TempDir dir;
    const std::string logFile = dir.file("sim.log");
    Simulator sim({"--listen", "0", "--no-catalogue", "--start-text", "[S]", "--log",
                   QString::fromStdString(logFile)});
    Peer peer(sim.Port());
    // Each piece reaches the simulator before the next is sent.
    std::size_t sent = 0;
    const auto piece = [&](const std::string& bytes) {
        peer.Send(bytes);
        sent += bytes.size();
        EXPECT_TRUE(WaitUntil([&] { return ReceivedBytes(ReadFile(logFile)) == sent; }));
    };
    piece("[S");
    piece("]<YAZ,7,7,a,");
    EXPECT_EQ(peer.Receive(12), "<OK,START>\r\n");
    piece("b");
    piece(">\r\n<OKU,7,7,>\r\n<OKU,8,8,><EXIT>\r\n<BASLA>\r\n");
    const std::string replies =
        "<OK,7,7,a,b>\r\n<OK,7,7,a,b>\r\n<OK,8,8,>\r\n<OK,EXIT>\r\n<ERR,SYNTAX>\r\n";
    EXPECT_EQ(peer.Receive(replies.size()), replies);
    EXPECT_EQ(sim.Stop(), 0);
    const std::string log = ReadFile(logFile);
    EXPECT_NE(log.find("write 7,7 -> <OK,7,7,a,b>\\r\\n"), std::string::npos) << log;
    EXPECT_NE(log.find("not understood: <BASLA> -> <ERR,SYNTAX>\\r\\n"), std::string::npos);
}

TEST(DeviceSimulator, ConnectsAsSeveralDevicesAndEndsWhenTheyAreClosed) {
    QTcpServer server;
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    Simulator sim({"--connect", QString("127.0.0.1:%1").arg(server.serverPort()), "--count", "3",
                   "--no-catalogue"});
    std::vector<std::unique_ptr<Peer>> devices;
    ASSERT_TRUE(WaitUntil([&] {
        while (QTcpSocket* s = server.nextPendingConnection()) {
            s->setParent(nullptr);
            devices.push_back(std::make_unique<Peer>(s));
        }
        return devices.size() == 3;
    }));
    // Each device keeps its own settings.
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const std::string value = "d" + std::to_string(i);
        Exchange(*devices[i], "<YAZ,1,1," + value + ">", "<OK,1,1," + value + ">\r\n");
    }
    for (std::size_t i = 0; i < devices.size(); ++i)
        Exchange(*devices[i], "<OKU,1,1,>", "<OK,1,1,d" + std::to_string(i) + ">\r\n");
    devices[0]->Close();
    EXPECT_TRUE(sim.AwaitErr("[device 1] closed"));
    EXPECT_TRUE(sim.Err().find("[device 3] connected") != std::string::npos);
    devices[1]->Close();
    devices[2]->Close();
    EXPECT_EQ(sim.Finished(), 0);
}

// Opens the slave side of a pseudo-terminal as the program's serial link does.
int OpenSerial(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        termios raw{};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd, TCSANOW, &raw);
    }
    return fd;
}

// Writes `send` and expects `reply`.
void SerialExchange(int fd, const std::string& send, const std::string& expected) {
    EXPECT_EQ(::write(fd, send.data(), send.size()), static_cast<ssize_t>(send.size()));
    std::string reply;
    WaitUntil([&] {
        pollfd p{fd, POLLIN, 0};
        char buffer[256];
        if (::poll(&p, 1, 10) > 0) {
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            if (n > 0)
                reply.append(buffer, static_cast<std::size_t>(n));
        }
        return reply.size() >= expected.size();
    });
    EXPECT_EQ(reply, expected) << "for " << send;
}

TEST(DeviceSimulator, ServesAPseudoTerminalThatCanBeReopened) {
    Simulator sim({"--pty"});
    const std::string path = sim.FirstLine();
    ASSERT_TRUE(path.starts_with("/dev/")) << path;
    int fd = OpenSerial(path);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    SerialExchange(fd, "<BASLA><OKU,01,04,>\r\n", "<OK,START>\r\n<OK,01,04,1>\r\n");
    SerialExchange(fd, "<YAZ,01,04,2>\r\n", "<OK,01,04,2>\r\n");
    ::close(fd);
    fd = OpenSerial(path);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    SerialExchange(fd, "<OKU,01,04,>", "<OK,01,04,2>\r\n");
    ::close(fd);
    EXPECT_EQ(sim.Stop(SIGINT), 0);
    EXPECT_NE(sim.Err().find("stopping on SIGINT"), std::string::npos);
}

TEST(DeviceSimulator, StreamsEachPatternAtTheRateToEveryPeer) {
    constexpr int kRate = 40000;
    constexpr std::size_t kBytes = 20000;
    for (const std::string pattern : {"text", "counter", "random"}) {
        SCOPED_TRACE(pattern);
        Simulator sim({"--listen", "0", "--no-catalogue", "--stream", QString::number(kRate),
                       "--pattern", QString::fromStdString(pattern)});
        const quint16 port = sim.Port();
        QElapsedTimer clock;
        clock.start();
        Peer first(port), second(port);
        const std::string data = first.Receive(kBytes);
        // No faster than the rate allows (with room for one burst of catch-up).
        EXPECT_GE(clock.elapsed(), static_cast<qint64>(1000 * kBytes / kRate / 2));
        ASSERT_EQ(data.size(), kBytes);
        EXPECT_EQ(second.Receive(kBytes).size(), kBytes);
        if (pattern == "text") {
            for (std::size_t line = 0; line < kBytes / 61; ++line) {
                char expected[62];
                std::snprintf(expected, sizeof expected,
                              "KM40R %08zu The quick brown fox jumps over the lazy dog.\r\n", line);
                ASSERT_EQ(data.substr(line * 61, 61), expected);
            }
        } else if (pattern == "counter") {
            for (std::size_t i = 0; i < kBytes; ++i)
                ASSERT_EQ(static_cast<std::size_t>(static_cast<unsigned char>(data[i])), i % 256)
                    << "at " << i;
        } else {
            EXPECT_GT(std::set<char>(data.begin(), data.end()).size(), 250u);
        }
        // A command is still answered in the middle of the stream.
        first.Send("<OKU,3,3,>");
        std::string more;
        EXPECT_TRUE(WaitUntil([&] {
            more += first.Take();
            return more.find("<OK,3,3,>\r\n") != std::string::npos;
        }));
        first.Close();
        EXPECT_TRUE(sim.AwaitErr("closed after "));
        EXPECT_EQ(sim.Stop(), 0);
    }
}

TEST(DeviceSimulator, StopsOnSignalsWithItsConnectionsOpen) {
    for (const int signal : {SIGTERM, SIGINT}) {
        Simulator sim({"--listen", "0", "--no-catalogue"});
        Peer peer(sim.Port());
        Exchange(peer, "<OKU,1,2,>", "<OK,1,2,>\r\n");
        EXPECT_EQ(sim.Stop(signal), 0);
        EXPECT_TRUE(peer.AwaitClosed());
        EXPECT_NE(sim.Err().find("stopped"), std::string::npos);
    }
}

TEST(DeviceSimulator, CommandLineAndCatalogueErrors) {
    TempDir dir;
    // A small protected catalogue, and its password beside it.
    const std::string csv = dir.file("settings.csv"), kmd = dir.file("small.kmd");
    WriteFile(csv, "id,grup,ayar,aciklama,tur,combo,grupaciklama\n"
                   "1,A,1,\xC3\x87"
                   "al\xC4\xB1\xC5\x9Fma modu,Combo,\"<5:be\xC5\x9F>,<6:alt\xC4\xB1>\","
                   "Genel\n"
                   "2,A,2,Ad,Text,,Genel\n");
    ASSERT_EQ(QProcess::execute(KM40R_CATALOGUE_TOOL,
                                {"build", QString::fromStdString(csv), "-o",
                                 QString::fromStdString(kmd), "--password", "gizli"}),
              0);
    WriteFile(dir.file("DB.ini"), "[DB]\r\nsifre=gizli\r\n");
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const QString refused = QString("127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    const QString file = QString::fromStdString(kmd);
    const struct {
        QStringList arguments;
        int status;
        std::string err;
    } cases[] = {
        {{}, 2, "give exactly one of --listen, --connect and --pty"},
        {{"--listen", "0", "--pty"}, 2, "give exactly one"},
        {{"--listen", "65536"}, 2, "invalid value for --listen: '65536'"},
        {{"--listen", "0", "--bind", "localhost"}, 2, "invalid value for --bind"},
        {{"--listen", "0", "--count", "2"}, 2, "--count goes with --connect"},
        {{"--connect", "127.0.0.1"}, 2, "invalid value for --connect"},
        {{"--pty", "--stream", "0"}, 2, "invalid value for --stream"},
        {{"--pty", "--stream", "10", "--pattern", "zigzag"}, 2, "invalid value for --pattern"},
        {{"--pty", "--catalogue", QString::fromStdString(dir.file("none.kmd"))},
         1,
         "Could not find file"},
        {{"--pty", "--catalogue", file, "--password", "yanlis"}, 1, "Not a valid password."},
        {{"--connect", refused}, 1, "[device 1] error: Connection refused"},
        {{"--pty", "--log", QString::fromStdString(dir.file("no/such/dir.log"))}, 1, "cannot open"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString());
        Simulator sim(c.arguments);
        EXPECT_EQ(sim.Finished(), c.status);
        EXPECT_NE(sim.Err().find(c.err), std::string::npos) << sim.Err();
    }

    // With the password from DB.ini beside the catalogue.
    Simulator sim({"--listen", "0", "--catalogue", file});
    Peer peer(sim.Port());
    Exchange(peer, "<OKU,A,1,><OKU,A,2,><OKU,01,01,>",
             "<OK,A,1,5>\r\n<OK,A,2,>\r\n<ERR,UNKNOWN,01,01>\r\n");
    EXPECT_TRUE(sim.AwaitErr("2 settings"));
    EXPECT_TRUE(sim.AwaitErr("read A,1 (\xC3\x87"
                             "al\xC4\xB1\xC5\x9Fma modu)"));
    EXPECT_EQ(sim.Stop(), 0);
}

} // namespace
} // namespace km40r::test
