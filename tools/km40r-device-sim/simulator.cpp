#include "simulator.h"

#include "core/cp1254.h"

#include <QDateTime>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <termios.h>
#include <unistd.h>

namespace km40r::sim {

namespace {

// How often the stream timer ticks.
constexpr int kStreamTickMs = 20;
// The longest pause between two ticks that is made up for at once.
constexpr double kStreamCatchUpLimit = 0.5;
// Bytes read from the pseudo-terminal per read call.
constexpr std::size_t kReadBlock = 65536;

std::string Describe(const Exchange& e) {
    const std::string reply = " -> " + EscapeBytes(e.reply);
    const auto setting = [&] {
        std::string text = EscapeBytes(e.group) + "," + EscapeBytes(e.setting);
        if (!e.description.empty())
            text += " (" + Cp1254ToUtf8(e.description) + ")";
        return text;
    };
    switch (e.kind) {
    case Exchange::Kind::Start:
        return "start text" + reply;
    case Exchange::Kind::Exit:
        return "end of exchange" + reply;
    case Exchange::Kind::Read:
        return "read " + setting() + reply;
    case Exchange::Kind::Write:
        return "write " + setting() + reply;
    case Exchange::Kind::Unknown:
        return "unknown setting " + setting() + reply;
    case Exchange::Kind::Syntax:
        break;
    }
    return "not understood: " + EscapeBytes(e.received) + reply;
}

} // namespace

void Log::line(const std::string& peer, const std::string& utf8) {
    const QByteArray time = QTime::currentTime().toString("hh:mm:ss.zzz").toLatin1();
    if (peer.empty())
        std::fprintf(out_, "%s %s\n", time.constData(), utf8.c_str());
    else
        std::fprintf(out_, "%s [%s] %s\n", time.constData(), peer.c_str(), utf8.c_str());
    std::fflush(out_);
}

// One connection to the program.
class Peer {
public:
    Peer(std::string name, std::shared_ptr<SettingStore> store, const SimulatorOptions& options,
         Log& log)
        : name_(std::move(name)), store_(std::move(store)), session_(*store_, options.startText),
          generator_(options.pattern), log_(log) {}
    virtual ~Peer() = default;
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Sends the stream bytes due after `seconds` at `rate` bytes per second,
    // unless more than `limit` bytes are still unsent.
    void stream(double seconds, double rate, std::size_t limit) {
        if (!ready()) {
            owed_ = 0;
            return;
        }
        owed_ += rate * seconds;
        const auto count = static_cast<std::size_t>(owed_);
        owed_ -= static_cast<double>(count);
        if (count > 0 && backlog() <= limit)
            send(generator_.next(count));
    }

protected:
    // Logs a chunk and answers the units it completes.
    void receive(std::string_view bytes) {
        if (bytes.empty())
            return;
        log(std::to_string(bytes.size()) + (bytes.size() == 1 ? " byte: " : " bytes: ") +
            EscapeBytes(bytes));
        for (const Exchange& e : session_.feed(bytes)) {
            log(Describe(e));
            send(e.reply);
        }
    }

    void log(const std::string& utf8) { log_.line(name_, utf8); }

    // Logs the end of the connection.
    void logClosed() {
        if (generator_.position() == 0)
            log("closed");
        else
            log("closed after " + std::to_string(generator_.position()) + " stream bytes");
    }

    virtual bool ready() const = 0;
    virtual void send(std::string_view bytes) = 0;
    virtual std::size_t backlog() const = 0;

private:
    std::string name_;
    std::shared_ptr<SettingStore> store_;
    DeviceSession session_;
    PatternGenerator generator_;
    Log& log_;
    double owed_ = 0;
};

namespace {

// A TCP connection, accepted or made.
class TcpPeer : public Peer {
public:
    // `closed` is called once, when the connection has ended or could not be
    // made (with true then).
    TcpPeer(std::unique_ptr<QTcpSocket> socket, bool accepted, std::string name,
            std::shared_ptr<SettingStore> store, const SimulatorOptions& options, Log& log,
            std::function<void(Peer*, bool failed)> closed)
        : Peer(std::move(name), std::move(store), options, log), socket_(std::move(socket)),
          connected_(accepted), closed_(std::move(closed)) {
        QTcpSocket* s = socket_.get();
        QObject::connect(s, &QTcpSocket::readyRead, s, [this] { readAll(); });
        QObject::connect(s, &QTcpSocket::connected, s, [this] {
            connected_ = true;
            this->log("connected to " + socket_->peerAddress().toString().toStdString() + ":" +
                      std::to_string(socket_->peerPort()));
        });
        QObject::connect(s, &QTcpSocket::disconnected, s, [this] {
            readAll();
            logClosed();
            finish(false);
        });
        QObject::connect(s, &QTcpSocket::errorOccurred, s, [this](QAbstractSocket::SocketError e) {
            if (e == QAbstractSocket::RemoteHostClosedError)
                return; // disconnected() follows
            this->log("error: " + socket_->errorString().toStdString());
            if (!connected_ && socket_->state() == QAbstractSocket::UnconnectedState)
                finish(true);
        });
        if (accepted) {
            this->log("connected");
            // Data or a close that came before the signals were connected.
            QTimer::singleShot(0, s, [this] {
                readAll();
                if (socket_->state() == QAbstractSocket::UnconnectedState) {
                    logClosed();
                    finish(false);
                }
            });
        }
    }

    ~TcpPeer() override {
        // Closing the socket here must not call back into a half-destroyed peer.
        QObject::disconnect(socket_.get(), nullptr, nullptr, nullptr);
        socket_->abort();
    }

    void connectTo(const QString& host, quint16 port) { socket_->connectToHost(host, port); }

protected:
    bool ready() const override {
        return connected_ && socket_->state() == QAbstractSocket::ConnectedState;
    }
    void send(std::string_view bytes) override {
        if (socket_->state() == QAbstractSocket::ConnectedState)
            socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
    }
    std::size_t backlog() const override {
        return static_cast<std::size_t>(socket_->bytesToWrite());
    }

private:
    void readAll() {
        const QByteArray data = socket_->readAll();
        receive(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
    }
    void finish(bool failed) {
        if (done_)
            return;
        done_ = true;
        closed_(this, failed);
    }

    std::unique_ptr<QTcpSocket> socket_;
    bool connected_;
    bool done_ = false;
    std::function<void(Peer*, bool)> closed_;
};

// The pseudo-terminal: the device is at the master side, the program opens
// the slave path.
class PtyPeer : public Peer {
public:
    PtyPeer(std::shared_ptr<SettingStore> store, const SimulatorOptions& options, Log& log)
        : Peer("pty", std::move(store), options, log) {
        char name[256] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
            throw std::runtime_error(std::string("cannot open a pseudo-terminal: ") +
                                     std::strerror(errno));
        path_ = name;
        termios raw{};
        tcgetattr(slave_, &raw);
        cfmakeraw(&raw);
        tcsetattr(slave_, TCSANOW, &raw);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
        fcntl(master_, F_SETFD, FD_CLOEXEC);
        fcntl(slave_, F_SETFD, FD_CLOEXEC);
        reader_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Read);
        writer_ = std::make_unique<QSocketNotifier>(master_, QSocketNotifier::Write);
        writer_->setEnabled(false);
        QObject::connect(reader_.get(), &QSocketNotifier::activated, reader_.get(),
                         [this] { readAvailable(); });
        QObject::connect(writer_.get(), &QSocketNotifier::activated, writer_.get(),
                         [this] { flush(); });
    }
    ~PtyPeer() override {
        reader_.reset();
        writer_.reset();
        close(master_);
        close(slave_);
    }

    const std::string& path() const { return path_; }

protected:
    bool ready() const override { return true; }
    void send(std::string_view bytes) override {
        out_.append(bytes);
        flush();
    }
    std::size_t backlog() const override { return out_.size(); }

private:
    void readAvailable() {
        std::string data(kReadBlock, '\0');
        const ssize_t n = read(master_, data.data(), data.size());
        if (n > 0) {
            data.resize(static_cast<std::size_t>(n));
            receive(data);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            log(std::string("read failed: ") + (n == 0 ? "end of file" : std::strerror(errno)));
            reader_->setEnabled(false);
        }
    }
    void flush() {
        std::size_t done = 0;
        while (done < out_.size()) {
            const ssize_t n = write(master_, out_.data() + done, out_.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && errno == EAGAIN) {
                break;
            } else {
                log(std::string("write failed: ") + std::strerror(errno));
                done = out_.size();
            }
        }
        out_.erase(0, done);
        writer_->setEnabled(!out_.empty());
    }

    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string out_;
    std::unique_ptr<QSocketNotifier> reader_;
    std::unique_ptr<QSocketNotifier> writer_;
};

} // namespace

Simulator::Simulator(SimulatorOptions options, SettingStore store, Log& log)
    : options_(std::move(options)), store_(std::make_shared<SettingStore>(std::move(store))),
      log_(log) {
    if (options_.streamRate > 0) {
        QObject::connect(&streamTimer_, &QTimer::timeout, &context_, [this] { streamTick(); });
        streamTimer_.start(kStreamTickMs);
        streamClock_.start();
    }
}

Simulator::~Simulator() {
    streamTimer_.stop();
    server_.close();
    peers_.clear();
}

std::string Simulator::listen(const QHostAddress& address, quint16 port) {
    if (!server_.listen(address, port))
        throw std::runtime_error("cannot listen on " + address.toString().toStdString() + ":" +
                                 std::to_string(port) + ": " + server_.errorString().toStdString());
    QObject::connect(&server_, &QTcpServer::newConnection, &context_, [this] {
        while (QTcpSocket* s = server_.nextPendingConnection()) {
            s->setParent(nullptr);
            std::unique_ptr<QTcpSocket> socket(s);
            const std::string name =
                s->peerAddress().toString().toStdString() + ":" + std::to_string(s->peerPort());
            addPeer(std::make_unique<TcpPeer>(std::move(socket), true, name, store_, options_, log_,
                                              [this](Peer* p, bool) { removePeer(p); }));
        }
    });
    const QHostAddress bound = server_.serverAddress();
    const std::string host = bound.protocol() == QAbstractSocket::IPv6Protocol
                                 ? "[" + bound.toString().toStdString() + "]"
                                 : bound.toString().toStdString();
    return host + ":" + std::to_string(server_.serverPort());
}

void Simulator::connectTo(const QString& host, quint16 port, int count,
                          std::function<void(int)> finished) {
    devicesLeft_ += count;
    for (int i = 1; i <= count; ++i) {
        // Each device has settings of its own.
        auto store = std::make_shared<SettingStore>(*store_);
        auto peer = std::make_unique<TcpPeer>(
            std::make_unique<QTcpSocket>(), false, "device " + std::to_string(i), std::move(store),
            options_, log_, [this, finished](Peer* p, bool failed) {
                removePeer(p);
                deviceFailed_ = deviceFailed_ || failed;
                if (--devicesLeft_ == 0)
                    finished(deviceFailed_ ? 1 : 0);
            });
        TcpPeer* raw = peer.get();
        addPeer(std::move(peer));
        raw->connectTo(host, port);
    }
}

std::string Simulator::openPty() {
    auto peer = std::make_unique<PtyPeer>(store_, options_, log_);
    std::string path = peer->path();
    addPeer(std::move(peer));
    return path;
}

void Simulator::addPeer(std::unique_ptr<Peer> peer) {
    peers_.push_back(std::move(peer));
}

void Simulator::removePeer(Peer* peer) {
    QTimer::singleShot(0, &context_, [this, peer] {
        std::erase_if(peers_, [peer](const std::unique_ptr<Peer>& p) { return p.get() == peer; });
    });
}

void Simulator::streamTick() {
    const double seconds =
        std::min(static_cast<double>(streamClock_.restart()) / 1000.0, kStreamCatchUpLimit);
    // Room for a few ticks' worth, and never less than 64 KB.
    const auto limit = std::max<std::size_t>(
        65536, static_cast<std::size_t>(options_.streamRate * kStreamTickMs / 1000.0 * 4));
    for (const auto& peer : peers_)
        peer->stream(seconds, options_.streamRate, limit);
}

} // namespace km40r::sim
