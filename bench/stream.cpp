// Measures the whole program under a streaming device.
//
// The real main window (offscreen, with the sample catalogue) is connected to
// simulated devices through each of its links in turn, as a user would: the
// TCP client link to a device listening on 127.0.0.1, the TCP server link
// with 8 devices connecting to it, and the serial link to a pseudo-terminal
// whose master end is the device. For a fixed time per link (--seconds,
// default 10) the devices stream pseudo-random bytes: on TCP at --rate MB/s
// in total (default 10; MB = 2^20 bytes), on the pseudo-terminal as fast as
// it takes them. Meanwhile the program sends a short numbered command every
// 100 ms through Gonder (framing off, CR LF on), and the devices read and
// check every command. Each device is a thread of its own with a plain
// non-blocking descriptor, so the user-interface thread is the program's
// alone.
//
// Per link it prints:
//   - the received throughput: bytes logged over the time from the first
//     byte sent to the last byte logged;
//   - whether every byte arrived: the logs' received bytes are compared with
//     the devices' streams, regenerated from their seeds. On the server link
//     the 8 streams interleave by chunk; the benchmark wraps the program's
//     read handler to note which connection each appended range came from,
//     and compares each connection's ranges, in order, with the stream of
//     the device they begin with: as exact as on the single-stream links;
//   - the user interface's delay: a probe thread posts a call to the
//     application every 10 ms (QMetaObject::invokeMethod, queued),
//     timestamped when posted; the delay is measured when it runs (p50, p99,
//     max);
//   - the time of a full repaint of the visible log views (viewport()->
//     repaint()) every 250 ms while streaming, and of each log page at the
//     end;
//   - the growth of the peak resident memory (VmHWM) per byte received;
//     the logs keep every phase's bytes, and bytes_per_byte is the growth
//     over the three links' phases against all they hold;
//   - the same stream into a naive build of the received logs (three
//     QPlainTextEdits, text, decimal and hexadecimal, each chunk inserted at
//     the end without line breaks, in a window of their own), for as long as
//     it keeps up: until it falls more than 2 s behind the device's schedule,
//     or for the link's time; naive_ratio is our TCP client rate over its.
// Between the two, short phases of bad input, through the TCP client link
// unless said, at the end of all the logs hold: one byte per write as fast as
// it goes (also through the pseudo-terminal), 64 KiB bursts, and a line
// break in every byte; each must lose no byte and keep the window responsive.
// MB/s figures are to one decimal in the last line.
//
// Usage: stream [--seconds S] [--rate MBPS]
//
// lost_bytes counts the bytes devices sent that did not arrive or arrived
// different, over every phase of our logs; bytes are compared by position in
// their stream, so a byte dropped makes every later byte of that stream
// count. The exit status is non-zero when
// a byte was lost, a command went astray, an error was shown, or a link
// could not be set up.
//
// Last line: client_mb_s=X client_p99_ms=X client_max_ms=X server_mb_s=X
// server_p99_ms=X serial_mb_s=X bytes_per_byte=X lost_bytes=N naive_ratio=X
#include "app/application.h"
#include "app/cp1254_qt.h"
#include "app/error_box.h"
#include "app/log_view.h"
#include "app/main_window.h"
#include "core/byte_render.h"
#include "core/settings_file.h"
#include "net/client_socket.h"
#include "net/server_socket.h"
#include "serial/com_port.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace km40r;

namespace {

using Clock = std::chrono::steady_clock;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr std::size_t kMaxWrite = 64 * 1024;
constexpr int kServerDevices = 8;
constexpr double kNaiveBehindLimit = 2.0; // seconds

timespec timespecOf(double seconds) {
    const double s = std::max(seconds, 0.0);
    return {static_cast<time_t>(s), static_cast<long>((s - double(static_cast<time_t>(s))) * 1e9)};
}

double secondsBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}
double msBetween(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::uint64_t statusBytes(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == field) {
            std::uint64_t kb = 0;
            in >> kb;
            return kb * 1024;
        }
        std::getline(in, key);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// A device's stream: pseudo-random bytes that anyone can regenerate at any
// position from the seed, in blocks of 4 KiB.
enum class Pattern {
    Random,     // any byte value
    LineBreaks, // every byte a line break of its own: runs of 4 KiB of LF or of CR
};

class ByteStream {
public:
    ByteStream(std::uint64_t seed, Pattern pattern) : seed_(seed), pattern_(pattern) {}

    // Writes bytes [pos, pos + n) of the stream to out.
    void read(std::uint64_t pos, char* out, std::size_t n) {
        while (n > 0) {
            const std::uint64_t index = pos / kBlock;
            if (index != blockIndex_)
                makeBlock(index);
            const std::size_t at = static_cast<std::size_t>(pos % kBlock);
            const std::size_t take = std::min(n, kBlock - at);
            std::memcpy(out, block_ + at, take);
            out += take;
            pos += take;
            n -= take;
        }
    }

private:
    static constexpr std::size_t kBlock = 4096;

    void makeBlock(std::uint64_t index) {
        std::uint64_t state = seed_ ^ (index * 0xD1B54A32D192ED03ull);
        for (std::size_t i = 0; i < kBlock; i += 8) {
            // splitmix64
            std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            z ^= z >> 31;
            std::memcpy(block_ + i, &z, 8);
        }
        if (pattern_ == Pattern::LineBreaks)
            std::memset(block_, (block_[0] & 1) ? '\r' : '\n', kBlock);
        blockIndex_ = index;
    }

    std::uint64_t seed_;
    Pattern pattern_;
    std::uint64_t blockIndex_ = ~std::uint64_t{0};
    char block_[kBlock];
};

// Compares what arrived of one stream with the stream, in order.
class StreamCheck {
public:
    StreamCheck(std::uint64_t seed, Pattern pattern, std::uint64_t sent)
        : stream_(seed, pattern), sent_(sent) {}

    void feed(const char* data, std::size_t n) {
        const std::size_t inStream =
            pos_ < sent_ ? static_cast<std::size_t>(std::min<std::uint64_t>(n, sent_ - pos_)) : 0;
        expected_.resize(inStream);
        stream_.read(pos_, expected_.data(), inStream);
        if (std::memcmp(data, expected_.data(), inStream) != 0)
            for (std::size_t i = 0; i < inStream; ++i)
                wrong_ += data[i] != expected_[i];
        pos_ += n;
    }

    // Bytes sent that did not arrive or arrived different, and bytes that
    // arrived but were never sent.
    std::uint64_t lost() const { return wrong_ + (pos_ > sent_ ? pos_ - sent_ : sent_ - pos_); }

private:
    ByteStream stream_;
    std::uint64_t sent_;
    std::uint64_t pos_ = 0;
    std::uint64_t wrong_ = 0;
    std::string expected_;
};

// ---------------------------------------------------------------------------
// A simulated device: a thread that opens its descriptor, waits for the
// start, streams for its time, and reads and checks the program's commands
// until it is told to quit.
struct DeviceProfile {
    Pattern pattern = Pattern::Random;
    double rate = 0;                   // bytes per second; 0: as fast as the link takes them
    std::size_t writeSize = kMaxWrite; // the most bytes per write
    std::size_t quantum = 0;           // with a rate: write when this much is due (0: ~1 ms worth)
    double seconds = 1;
    std::uint64_t seed = 1;
};

class Device {
public:
    // open() runs on the device's thread and returns the connected
    // descriptor, or -1.
    Device(DeviceProfile profile, std::function<int()> open) : profile_(profile), open_(std::move(open)) {}
    ~Device() { join(); }

    void start() {
        thread_ = std::thread([this] { run(); });
    }
    void go(Clock::time_point at) {
        start_ = at;
        go_ = true;
    }
    void quit() { quit_ = true; }
    void join() {
        quit_ = true;
        if (thread_.joinable())
            thread_.join();
    }

    const DeviceProfile& profile() const { return profile_; }
    bool ready() const { return ready_; }
    bool failed() const { return failed_; }
    bool streamDone() const { return streamDone_; }
    std::uint64_t sent() const { return sent_; }
    int commandsOk() const { return commandsOk_; }
    int commandsBad() const { return commandsBad_; }
    // Why the device failed (read once it has stopped).
    const std::string& failure() const { return failure_; }

private:
    void run() {
        fd_ = open_();
        if (fd_ < 0) {
            fail("could not open its end of the link");
            streamDone_ = true;
            return;
        }
        ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
        // Every write goes out at once, not held back for an acknowledgement
        // (fails harmlessly on a pseudo-terminal).
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ready_ = true;
        while (!go_ && !quit_)
            waitAndRead(1e-3);
        if (!quit_)
            stream();
        streamDone_ = true;
        while (!quit_)
            waitAndRead(5e-3);
        ::close(fd_);
    }

    void stream() {
        ByteStream source(profile_.seed, profile_.pattern);
        std::vector<char> buffer(profile_.writeSize);
        const std::size_t quantum =
            profile_.quantum
                ? profile_.quantum
                : std::clamp<std::size_t>(std::size_t(profile_.rate * 1e-3), 1024, kMaxWrite);
        std::uint64_t sent = 0;
        for (;;) {
            const double elapsed = secondsBetween(start_, Clock::now());
            if (elapsed >= profile_.seconds || quit_ || failed_)
                break;
            std::uint64_t due = ~std::uint64_t{0};
            double wait = 5e-3;
            if (profile_.rate > 0) {
                const double budget = profile_.rate * elapsed - double(sent);
                due = budget >= double(quantum) ? std::uint64_t(budget) : 0;
                if (due == 0)
                    wait = (double(quantum) - budget) / profile_.rate;
            }
            wait = std::min(wait, profile_.seconds - elapsed);
            if (due == 0) {
                waitAndRead(wait);
                continue;
            }
            pollfd p{fd_, POLLIN | POLLOUT, 0};
            const timespec timeout = timespecOf(wait);
            if (::ppoll(&p, 1, &timeout, nullptr) <= 0)
                continue;
            if (p.revents & POLLIN)
                readCommands();
            if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) {
                if (!quit_)
                    fail("the link broke");
                break;
            }
            if (!(p.revents & POLLOUT))
                continue;
            // Single-byte writes go in runs, so the device is as fast as it can be.
            const int writes = profile_.writeSize == 1 ? 256 : 1;
            for (int k = 0; k < writes && due > 0; ++k) {
                const std::size_t n =
                    static_cast<std::size_t>(std::min<std::uint64_t>(due, profile_.writeSize));
                source.read(sent, buffer.data(), n);
                const ssize_t w = ::write(fd_, buffer.data(), n);
                if (w <= 0) {
                    // Once told to quit, the program may close the link at any time.
                    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                        !quit_)
                        fail(std::string("write: ") + std::strerror(errno));
                    break;
                }
                sent += std::uint64_t(w);
                sent_ = sent;
                due -= std::uint64_t(w);
            }
        }
    }

    void fail(std::string why) {
        failure_ = std::move(why);
        failed_ = true;
    }

    void waitAndRead(double seconds) {
        pollfd p{fd_, POLLIN, 0};
        const timespec timeout = timespecOf(std::max(seconds, 1e-4));
        if (::ppoll(&p, 1, &timeout, nullptr) > 0 && (p.revents & POLLIN))
            readCommands();
    }

    // Commands are "PING nnnnnn" CR LF, numbered upwards.
    void readCommands() {
        char data[4096];
        const ssize_t n = ::read(fd_, data, sizeof data);
        if (n <= 0)
            return;
        inbox_.append(data, std::size_t(n));
        std::size_t at;
        while ((at = inbox_.find("\r\n")) != std::string::npos) {
            const std::string line = inbox_.substr(0, at);
            inbox_.erase(0, at + 2);
            const bool form = line.size() == 11 && line.compare(0, 5, "PING ") == 0 &&
                              line.find_first_not_of("0123456789", 5) == std::string::npos;
            const long number = form ? std::strtol(line.c_str() + 5, nullptr, 10) : -1;
            if (form && number > lastCommand_) {
                lastCommand_ = number;
                ++commandsOk_;
            } else {
                ++commandsBad_;
            }
        }
    }

    DeviceProfile profile_;
    std::function<int()> open_;
    std::thread thread_;
    int fd_ = -1;
    Clock::time_point start_;
    std::atomic<bool> go_{false};
    std::atomic<bool> quit_{false};
    std::atomic<bool> ready_{false};
    std::atomic<bool> failed_{false};
    std::atomic<bool> streamDone_{false};
    std::atomic<std::uint64_t> sent_{0};
    std::atomic<int> commandsOk_{0};
    std::atomic<int> commandsBad_{0};
    std::string inbox_;
    long lastCommand_ = 0;
    std::string failure_;
};

// ---------------------------------------------------------------------------
// The probe of the user interface's delay.
class Probe {
public:
    Probe() : thread_([this] { run(); }) {}
    ~Probe() {
        stop_ = true;
        thread_.join();
        QCoreApplication::sendPostedEvents(); // the calls still queued use this object
    }

    // Starts recording afresh, or stops; the calls posted until then are
    // run first, so that a delay still in progress is counted too.
    void record(bool on) {
        if (on)
            delays_.clear();
        else
            QCoreApplication::sendPostedEvents(qApp, QEvent::MetaCall);
        recording_ = on;
    }
    // The delays recorded, in ms (read on the user-interface thread).
    std::vector<double> delays() const { return delays_; }

private:
    void run() {
        auto next = Clock::now();
        while (!stop_) {
            const auto posted = Clock::now();
            QMetaObject::invokeMethod(
                qApp,
                [this, posted] {
                    if (recording_)
                        delays_.push_back(msBetween(posted, Clock::now()));
                },
                Qt::QueuedConnection);
            next += std::chrono::milliseconds(10);
            std::this_thread::sleep_until(next);
        }
    }

    std::atomic<bool> stop_{false};
    bool recording_ = false; // user-interface thread only
    std::vector<double> delays_;
    std::thread thread_;
};

double percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, std::size_t(p * double(v.size() - 1) + 0.5));
    return v[i];
}

// ---------------------------------------------------------------------------
// The naive received logs: three QPlainTextEdits in a window of their own,
// each chunk inserted at the end of the text.
class NaiveLogs {
public:
    NaiveLogs() {
        auto* layout = new QVBoxLayout(&window_);
        for (QPlainTextEdit*& e : edits_) {
            e = new QPlainTextEdit(&window_);
            e->setReadOnly(true);
            e->setLineWrapMode(QPlainTextEdit::NoWrap);
            layout->addWidget(e);
        }
        window_.resize(800, 600);
        window_.show();
    }

    // Stops taking chunks once stop() holds.
    void setStop(std::function<bool()> stop) { stop_ = std::move(stop); }
    bool stopped() const { return stopped_; }
    Clock::time_point lastAppended() const { return last_; }

    void append(std::string_view chunk) {
        if (stopped_ || (stop_ && stop_())) {
            stopped_ = true;
            return;
        }
        const QString texts[3] = {FromCp1254(chunk), QString::fromLatin1(BytesToDec(chunk)),
                                  QString::fromLatin1(BytesToHex(chunk))};
        for (int i = 0; i < 3; ++i) {
            edits_[i]->moveCursor(QTextCursor::End);
            edits_[i]->insertPlainText(texts[i]);
        }
        bytes_ += chunk.size();
        last_ = Clock::now();
    }
    std::uint64_t bytes() const { return bytes_; }

private:
    QWidget window_;
    QPlainTextEdit* edits_[3] = {};
    std::uint64_t bytes_ = 0;
    std::function<bool()> stop_;
    bool stopped_ = false;
    Clock::time_point last_;
};

// ---------------------------------------------------------------------------
enum class Link { Client, Server, Serial };

const char* linkName(Link link) {
    switch (link) {
    case Link::Client:
        return "TCP client";
    case Link::Server:
        return "TCP server";
    case Link::Serial:
        return "serial";
    }
    return "";
}

struct PhaseSpec {
    std::string name;
    Link link = Link::Client;
    DeviceProfile device;
    bool naive = false; // into the naive logs instead of ours
};

struct Result {
    bool ok = true; // set up, no error, every command arrived
    std::uint64_t sent = 0;
    std::uint64_t logged = 0;
    double seconds = 0; // first byte sent to last byte logged
    double mbPerSecond = 0;
    std::vector<double> delays;
    std::vector<double> repaints;
    double endRepaintMs = 0; // the worst log page at the end
    std::uint64_t lost = 0;
    int commandsSent = 0;
    int commandsOk = 0;
    int commandsBad = 0;
    bool naiveBehind = false;
    double naiveLag = 0; // seconds behind the device's schedule at the stop
};

// Runs the event loop until done() holds or the time is up; true when done.
bool runUntil(const std::function<bool()>& done, double seconds) {
    if (done())
        return true;
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    QEventLoop loop;
    QTimer check;
    check.setInterval(5);
    bool result = false;
    QObject::connect(&check, &QTimer::timeout, [&] {
        result = done();
        if (result || Clock::now() > deadline)
            loop.quit();
    });
    check.start();
    loop.exec();
    return result;
}

int listenOnLoopback(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        std::perror("device listen");
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    port = ntohs(a.sin_port);
    return fd;
}

// Accepts one connection, waiting at most 10 s.
int acceptOne(int listenFd) {
    pollfd p{listenFd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1)
        return -1;
    return ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
}

int connectToLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("device connect");
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

// One phase's devices, descriptors, and the program's handlers it replaced.
struct Session {
    std::vector<std::unique_ptr<Device>> devices;
    int listenFd = -1;
    int master = -1;
    int slave = -1;
    TSocketNotifyEvent clientRead;
    TSocketNotifyEvent serverRead;
    TReceiveProc serialReceive;
    // Server link: which connection each range of appended bytes came from.
    struct Range {
        int handle;
        std::uint64_t begin, end;
    };
    std::vector<Range> ranges;
};

class Bench {
public:
    Bench(TfMain& w, Probe& probe, int& errors) : w_(w), probe_(probe), errors_(errors) {}

    Result run(const PhaseSpec& phase);

private:
    bool connect(const PhaseSpec& phase, Session& s, NaiveLogs* naive);
    void stream(const PhaseSpec& phase, Session& s, NaiveLogs* naive, Result& r);
    std::uint64_t lostOfOneStream(const Device& device, std::uint64_t base, std::uint64_t size);
    std::uint64_t lostOfConnections(const Session& s, std::uint64_t size);
    void disconnect(const PhaseSpec& phase, Session& s, Result& r);

    bool waitForDevice(const Device& d) {
        return runUntil([&] { return d.ready() || d.failed(); }, 10) && !d.failed();
    }
    double repaintVisibleViews() {
        const auto t0 = Clock::now();
        for (LogView* v : views())
            if (v->isVisible())
                v->viewport()->repaint();
        return msBetween(t0, Clock::now());
    }
    double repaintEveryPage() {
        double worst = 0;
        const int shown = w_.PC3->currentIndex();
        for (int i = 0; i < w_.PC3->count(); ++i) {
            w_.PC3->setCurrentIndex(i);
            for (LogView* v : views())
                v->flushPendingChange();
            QCoreApplication::processEvents();
            worst = std::max(worst, repaintVisibleViews());
        }
        w_.PC3->setCurrentIndex(shown);
        return worst;
    }
    std::vector<LogView*> views() const {
        return {w_.MemoGiden,    w_.MemoGelen,    w_.memogidenhex,
                w_.memogelenhex, w_.memogidendec, w_.memogelendec};
    }

    TfMain& w_;
    Probe& probe_;
    int& errors_;
};

Result Bench::run(const PhaseSpec& phase) {
    Result r;
    const int errorsBefore = errors_;
    std::unique_ptr<NaiveLogs> naive;
    if (phase.naive)
        naive = std::make_unique<NaiveLogs>();
    QCoreApplication::processEvents();

    // The program's options: no framing, CR LF on.
    w_.chbaslangic->setChecked(false);
    w_.chexit->setChecked(false);
    w_.chdec->setChecked(false);
    w_.chhex->setChecked(false);
    w_.chcrlf->setChecked(true);

    Session s;
    if (connect(phase, s, naive.get())) {
        stream(phase, s, naive.get(), r);
    } else {
        std::fprintf(stderr, "%s: the link could not be set up\n", phase.name.c_str());
        r.ok = false;
    }
    disconnect(phase, s, r);
    if (errors_ != errorsBefore) {
        std::fprintf(stderr, "%s: the program showed %d errors\n", phase.name.c_str(),
                     errors_ - errorsBefore);
        r.ok = false;
    }
    return r;
}

// Connects the link to its devices, as a user would; the naive logs, when
// given, take the place of the program's received logs.
bool Bench::connect(const PhaseSpec& phase, Session& s, NaiveLogs* naive) {
    s.clientRead = w_.CS1->OnRead;
    s.serverRead = w_.SS1->OnClientRead;
    s.serialReceive = w_.CP1->ReceiveCallBack;
    const auto toNaive = [naive](QObject*, TSocketConnection* c) {
        naive->append(c->ReceiveText());
    };

    if (phase.link == Link::Client) {
        int port = 0;
        s.listenFd = listenOnLoopback(port);
        if (s.listenFd < 0)
            return false;
        const int listenFd = s.listenFd;
        s.devices.push_back(
            std::make_unique<Device>(phase.device, [listenFd] { return acceptOne(listenFd); }));
        s.devices.back()->start();
        if (naive)
            w_.CS1->OnRead = toNaive;
        w_.cxclientip->setText(QStringLiteral("127.0.0.1"));
        w_.cxclientport->setText(QString::number(port));
        w_.btnclientbaglan->click();
        return waitForDevice(*s.devices.back()) &&
               runUntil([&] { return w_.btnclientkes->isEnabled(); }, 10);
    }

    if (phase.link == Link::Server) {
        if (naive) {
            w_.SS1->OnClientRead = toNaive;
        } else {
            w_.SS1->OnClientRead = [this, &s](QObject* sender, TSocketConnection* c) {
                const std::uint64_t before = w_.trafficLogs().receivedBytes();
                s.serverRead(sender, c);
                s.ranges.push_back({c->SocketHandle(), before, w_.trafficLogs().receivedBytes()});
            };
        }
        w_.cxmasterport->setText(QStringLiteral("0"));
        w_.btnmasterbaglan->click();
        if (!w_.SS1->Active())
            return false;
        const int port = w_.SS1->LocalPort();
        // One at a time, so the server's queue never overflows.
        for (int i = 0; i < kServerDevices; ++i) {
            DeviceProfile profile = phase.device;
            profile.rate /= kServerDevices;
            profile.seed = phase.device.seed + std::uint64_t(i);
            s.devices.push_back(
                std::make_unique<Device>(profile, [port] { return connectToLoopback(port); }));
            s.devices.back()->start();
            if (!waitForDevice(*s.devices.back()) ||
                !runUntil([&] { return w_.SS1->ActiveConnections() == i + 1; }, 10))
                return false;
        }
        return runUntil([&] { return w_.cxsocket->count() == kServerDevices; }, 10);
    }

    char name[256] = {};
    if (::openpty(&s.master, &s.slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return false;
    }
    ::fcntl(s.master, F_SETFD, FD_CLOEXEC);
    ::fcntl(s.slave, F_SETFD, FD_CLOEXEC);
    if (naive)
        w_.CP1->ReceiveCallBack = [naive](const std::string& d) { naive->append(d); };
    w_.cxcomport->setEditText(QString::fromLocal8Bit(name));
    w_.btncombaglan->click();
    if (!w_.CP1->IsOpen())
        return false;
    const int master = s.master;
    s.devices.push_back(std::make_unique<Device>(phase.device, [master] { return ::dup(master); }));
    s.devices.back()->start();
    return waitForDevice(*s.devices.back());
}

// Streams for the phase's time, with a command every 100 ms, and measures.
void Bench::stream(const PhaseSpec& phase, Session& s, NaiveLogs* naive, Result& r) {
    const std::uint64_t base = w_.trafficLogs().receivedBytes();
    const double seconds = phase.device.seconds;
    const double rate = phase.device.rate;
    const auto start = Clock::now() + std::chrono::milliseconds(20);
    const auto elapsed = [&] { return secondsBetween(start, Clock::now()); };
    const auto received = [&] {
        return naive ? naive->bytes() : w_.trafficLogs().receivedBytes() - base;
    };
    const auto allSent = [&] {
        std::uint64_t sent = 0;
        for (auto& d : s.devices)
            sent += d->sent();
        return sent;
    };

    int commands = 0;
    QTimer commandTimer;
    commandTimer.setInterval(100);
    QObject::connect(&commandTimer, &QTimer::timeout, [&] {
        if (elapsed() >= seconds)
            return;
        char text[32];
        std::snprintf(text, sizeof text, "PING %06d", ++commands);
        w_.Gonder(text);
    });
    QTimer repaintTimer;
    repaintTimer.setInterval(250);
    if (!naive)
        QObject::connect(&repaintTimer, &QTimer::timeout,
                         [&] { r.repaints.push_back(repaintVisibleViews()); });

    probe_.record(true);
    for (auto& d : s.devices)
        d->go(start);
    commandTimer.start();
    repaintTimer.start();
    Clock::time_point end;
    if (naive) {
        // As long as the naive logs keep up with the device's schedule.
        naive->setStop([&] {
            const double t = elapsed();
            if (rate > 0 && t - double(received()) / rate > kNaiveBehindLimit)
                r.naiveBehind = true;
            return r.naiveBehind || t >= seconds;
        });
        runUntil([&] { return naive->stopped() || elapsed() >= seconds; }, seconds + 60);
        if (rate > 0)
            r.naiveLag = std::max(0.0, elapsed() - double(received()) / rate);
        end = naive->bytes() ? naive->lastAppended() : Clock::now();
        for (auto& d : s.devices)
            d->quit();
    } else {
        // Until the devices are done and every byte they sent is logged, or
        // nothing more has come for 2 s after they were done.
        std::uint64_t seen = 0;
        auto lastChange = Clock::now();
        runUntil(
            [&] {
                const auto now = Clock::now();
                if (received() != seen) {
                    seen = received();
                    lastChange = now;
                }
                const bool done = std::all_of(s.devices.begin(), s.devices.end(),
                                              [](auto& d) { return d->streamDone(); });
                if (done && seen >= allSent()) {
                    end = now;
                    return true;
                }
                if (done && secondsBetween(lastChange, now) > 2) {
                    end = lastChange;
                    return true;
                }
                return false;
            },
            seconds + 60);
        if (end == Clock::time_point{})
            end = Clock::now();
    }
    commandTimer.stop();
    repaintTimer.stop();
    probe_.record(false);
    r.delays = probe_.delays();
    r.sent = allSent();
    r.logged = received();
    r.seconds = secondsBetween(start, end);
    r.mbPerSecond = double(r.logged) / kMiB / r.seconds;
    r.commandsSent = commands;
    if (naive)
        return;

    // Every command reaches the devices.
    const auto commandsIn = [&] {
        r.commandsOk = r.commandsBad = 0;
        for (auto& d : s.devices) {
            r.commandsOk += d->commandsOk();
            r.commandsBad += d->commandsBad();
        }
        return r.commandsOk + r.commandsBad >= commands;
    };
    runUntil(commandsIn, 10);
    commandsIn();
    if (r.commandsOk != commands || r.commandsBad != 0) {
        std::fprintf(stderr, "%s: %d commands sent, %d arrived, %d malformed\n", phase.name.c_str(),
                     commands, r.commandsOk, r.commandsBad);
        r.ok = false;
    }
    r.endRepaintMs = repaintEveryPage();

    // Every byte.
    r.lost = phase.link == Link::Server ? lostOfConnections(s, r.logged)
                                        : lostOfOneStream(*s.devices[0], base, r.logged);
}

// Compares the logged bytes [base, base + size) with the device's stream.
std::uint64_t Bench::lostOfOneStream(const Device& device, std::uint64_t base, std::uint64_t size) {
    StreamCheck check(device.profile().seed, device.profile().pattern, device.sent());
    std::string piece;
    for (std::uint64_t at = base; at < base + size; at += kMaxWrite) {
        piece.clear();
        w_.trafficLogs().copyReceived(at, std::min<std::uint64_t>(kMaxWrite, base + size - at),
                                      piece);
        check.feed(piece.data(), piece.size());
    }
    return check.lost();
}

// Compares each connection's ranges, in order, with the stream of the device
// they begin with; size is the bytes logged in the phase.
std::uint64_t Bench::lostOfConnections(const Session& s, std::uint64_t size) {
    std::vector<int> handles;
    for (const Session::Range& g : s.ranges)
        if (g.end > g.begin && std::find(handles.begin(), handles.end(), g.handle) == handles.end())
            handles.push_back(g.handle);
    std::uint64_t lost = 0;
    std::vector<bool> matched(s.devices.size(), false);
    std::string piece;
    for (int handle : handles) {
        std::string head;
        for (const Session::Range& g : s.ranges)
            if (g.handle == handle && head.size() < 16)
                w_.trafficLogs().copyReceived(
                    g.begin, std::min<std::uint64_t>(16 - head.size(), g.end - g.begin), head);
        std::size_t which = 0;
        for (; which < s.devices.size(); ++which) {
            const DeviceProfile& profile = s.devices[which]->profile();
            std::string first(head.size(), '\0');
            ByteStream(profile.seed, profile.pattern).read(0, first.data(), first.size());
            if (!matched[which] && first == head)
                break;
        }
        // A connection that matches no device: all its bytes are wrong.
        const bool found = which < s.devices.size();
        if (found)
            matched[which] = true;
        StreamCheck check(found ? s.devices[which]->profile().seed : 0,
                          found ? s.devices[which]->profile().pattern : Pattern::Random,
                          found ? s.devices[which]->sent() : 0);
        for (const Session::Range& g : s.ranges) {
            if (g.handle != handle)
                continue;
            for (std::uint64_t at = g.begin; at < g.end; at += kMaxWrite) {
                piece.clear();
                w_.trafficLogs().copyReceived(at, std::min<std::uint64_t>(kMaxWrite, g.end - at),
                                              piece);
                check.feed(piece.data(), piece.size());
            }
        }
        lost += check.lost();
    }
    for (std::size_t i = 0; i < s.devices.size(); ++i)
        if (!matched[i])
            lost += s.devices[i]->sent();
    // Bytes in the logs that no read of a connection appended.
    std::uint64_t inRanges = 0;
    for (const Session::Range& g : s.ranges)
        inRanges += g.end - g.begin;
    return lost + size - std::min(size, inRanges);
}

// Disconnects: the program's side first, then the devices go.
void Bench::disconnect(const PhaseSpec& phase, Session& s, Result& r) {
    if (phase.link == Link::Client) {
        if (w_.btnclientkes->isEnabled())
            w_.btnclientkes->click();
    } else if (phase.link == Link::Server) {
        if (w_.btnmasterkes->isEnabled())
            w_.btnmasterkes->click();
    } else if (w_.CP1->IsOpen()) {
        w_.btncomkes->click();
    }
    w_.CS1->OnRead = s.clientRead;
    w_.SS1->OnClientRead = s.serverRead;
    w_.CP1->ReceiveCallBack = s.serialReceive;
    for (auto& d : s.devices) {
        d->join();
        if (d->failed()) {
            std::fprintf(stderr, "%s: a device failed: %s\n", phase.name.c_str(),
                         d->failure().c_str());
            r.ok = false;
        }
    }
    for (int fd : {s.listenFd, s.master, s.slave})
        if (fd >= 0)
            ::close(fd);
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void printResult(const PhaseSpec& p, const Result& r) {
    if (p.naive) {
        char lag[64] = "";
        if (p.device.rate > 0)
            std::snprintf(lag, sizeof lag, ", %.1f s behind the device", r.naiveLag);
        std::printf("%-28s naive logs: %.2f MB in %.2f s = %.3f MB/s (stopped %s%s); UI delay "
                    "p99 %.0f ms, max %.0f ms\n",
                    p.name.c_str(), double(r.logged) / kMiB, r.seconds, r.mbPerSecond,
                    r.naiveBehind ? "when it fell 2 s behind" : "at the link's time", lag,
                    percentile(r.delays, 0.99), percentile(r.delays, 1.0));
        return;
    }
    std::printf("%-28s %.2f MB in %.3f s = %.3f MB/s; lost %llu bytes (%s); commands %d/%d%s\n",
                p.name.c_str(), double(r.logged) / kMiB, r.seconds, r.mbPerSecond,
                static_cast<unsigned long long>(r.lost),
                p.link == Link::Server ? "each connection's bytes against its device"
                                       : "byte-exact",
                r.commandsOk, r.commandsSent, r.commandsBad ? " (some malformed)" : "");
    std::printf(
        "%-28s UI delay p50 %.2f ms, p99 %.2f ms, max %.2f ms (%zu probes); repaint of "
        "the visible logs p50 %.2f ms, max %.2f ms, every page at the end %.2f ms at worst\n",
        "", percentile(r.delays, 0.5), percentile(r.delays, 0.99), percentile(r.delays, 1.0),
        r.delays.size(), percentile(r.repaints, 0.5), percentile(r.repaints, 1.0), r.endRepaintMs);
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 10;
    double rateMb = 10;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (a == "--rate" && i + 1 < argc)
            rateMb = std::atof(argv[++i]);
        else {
            std::fprintf(stderr, "usage: stream [--seconds S] [--rate MBPS]\n");
            return 2;
        }
    }
    if (seconds <= 0 || rateMb <= 0) {
        std::fprintf(stderr, "usage: stream [--seconds S] [--rate MBPS]\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    QTemporaryDir dir;
    SetExecutablePath((dir.path() + QStringLiteral("/km40r")).toStdString());
    QFile::copy(QStringLiteral(SAMPLE_CATALOGUE), dir.path() + QStringLiteral("/km400.kmd"));
    int errors = 0;
    ErrorBox::setRecorder([&](const QString& m) {
        ++errors;
        std::fprintf(stderr, "error: %s\n", qPrintable(m));
    });
    TfMain w;
    w.show();
    QCoreApplication::processEvents();
    Probe probe;
    Bench bench(w, probe, errors);

    const double rate = rateMb * kMiB;
    const double badSeconds = std::clamp(seconds / 5, 0.25, 2.0);
    const auto profile = [&](double r, std::uint64_t seed, double s) {
        DeviceProfile d;
        d.rate = r;
        d.seed = seed;
        d.seconds = s;
        return d;
    };
    std::printf("each link %.1f s, TCP at %.1f MB/s in total, the pseudo-terminal as fast as it "
                "goes; bad input %.2f s each\n",
                seconds, rateMb, badSeconds);

    bool ok = true;
    std::uint64_t lost = 0;
    const auto phase = [&](const PhaseSpec& p) {
        const std::uint64_t hwm = statusBytes("VmHWM:");
        const std::uint64_t held = w.trafficLogs().receivedBytes();
        const Result r = bench.run(p);
        printResult(p, r);
        ok = ok && r.ok;
        if (!p.naive) {
            lost += r.lost;
            const std::uint64_t now = statusBytes("VmHWM:");
            std::printf(
                "%-28s peak resident memory grew %.3f bytes per byte received in it\n", "",
                double(now - std::min(now, hwm)) /
                    double(std::max<std::uint64_t>(1, w.trafficLogs().receivedBytes() - held)));
        }
        return r;
    };

    // Our logs, each link in turn; the logs keep every link's bytes.
    const std::uint64_t rssBefore = statusBytes("VmRSS:");
    Result main[3];
    const Link links[3] = {Link::Client, Link::Server, Link::Serial};
    for (int i = 0; i < 3; ++i)
        main[i] =
            phase({linkName(links[i]), links[i],
                   profile(links[i] == Link::Serial ? 0 : rate, 100 * std::uint64_t(i + 1), seconds)});
    const std::uint64_t held = w.trafficLogs().receivedBytes();
    const double bytesPerByte =
        double(statusBytes("VmHWM:") - std::min(statusBytes("VmHWM:"), rssBefore)) /
        double(std::max<std::uint64_t>(1, held));
    std::printf("memory: %.1f MB held, peak resident grew %.1f MB: %.3f bytes per received byte "
                "(store %.3f)\n",
                double(held) / kMiB, double(statusBytes("VmHWM:") - rssBefore) / kMiB, bytesPerByte,
                double(w.trafficLogs().memoryBytes()) / double(std::max<std::uint64_t>(1, held)));

    // Bad input, at the end of everything the logs hold.
    DeviceProfile oneByte = profile(0, 400, badSeconds);
    oneByte.writeSize = 1;
    DeviceProfile bursts = profile(rate, 500, badSeconds);
    bursts.quantum = kMaxWrite;
    DeviceProfile breaks = profile(rate, 600, badSeconds);
    breaks.pattern = Pattern::LineBreaks;
    phase({"bad: one byte per write", Link::Client, oneByte});
    phase({"bad: one byte per write, pty", Link::Serial, oneByte});
    phase({"bad: 64 KiB bursts", Link::Client, bursts});
    phase({"bad: a line break every byte", Link::Client, breaks});

    // The naive logs, each link in turn.
    Result naive[3];
    for (int i = 0; i < 3; ++i)
        naive[i] = phase(
            {linkName(links[i]), links[i],
             profile(links[i] == Link::Serial ? 0 : rate, 700 + std::uint64_t(i), seconds), true});
    for (int i = 0; i < 3; ++i)
        std::printf("%-28s ours over naive: %.1f times\n", linkName(links[i]),
                    main[i].mbPerSecond / std::max(naive[i].mbPerSecond, 1e-9));

    if (errors != 0)
        std::printf("%d errors were shown\n", errors);
    ok = ok && lost == 0;
    std::printf("client_mb_s=%.1f client_p99_ms=%.1f client_max_ms=%.1f server_mb_s=%.1f "
                "server_p99_ms=%.1f serial_mb_s=%.1f bytes_per_byte=%.3f lost_bytes=%llu "
                "naive_ratio=%.1f\n",
                main[0].mbPerSecond, percentile(main[0].delays, 0.99),
                percentile(main[0].delays, 1.0), main[1].mbPerSecond,
                percentile(main[1].delays, 0.99), main[2].mbPerSecond, bytesPerByte,
                static_cast<unsigned long long>(lost),
                main[0].mbPerSecond / std::max(naive[0].mbPerSecond, 1e-9));
    return ok ? 0 : 1;
}
