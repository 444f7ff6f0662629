#include "serial/comm_thread.h"

#include "core/cp1254.h"
#include "core/errors.h"
#include "serial/line_baud.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

namespace km40r {

namespace {

constexpr unsigned kModemLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RNG;

// The most bytes one Read call takes, so that a fast line cannot hold the
// user-interface thread in one hand-over.
constexpr std::size_t kReadBound = 256 * 1024;

int NewEventFd() {
    const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0)
        throw EComError("TCOMPORT : " + SystemErrorText(errno));
    return fd;
}

void Signal(int fd) {
    const std::uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void Drain(int fd) {
    std::uint64_t count;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

void CloseFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

// Waits until one of the descriptors is readable; returns its index.
int WaitReadable(std::initializer_list<int> fds) {
    pollfd set[4] = {};
    int n = 0;
    for (const int fd : fds)
        set[n++] = pollfd{fd, POLLIN, 0};
    for (;;) {
        if (poll(set, n, -1) > 0) {
            for (int i = 0; i < n; ++i)
                if (set[i].revents)
                    return i;
        }
        // Only EINTR can end a poll without a time limit on valid descriptors.
    }
}

speed_t StandardSpeed(std::uint32_t baud) {
    switch (baud) {
    case 50:
        return B50;
    case 75:
        return B75;
    case 110:
        return B110;
    case 134:
        return B134;
    case 150:
        return B150;
    case 200:
        return B200;
    case 300:
        return B300;
    case 600:
        return B600;
    case 1200:
        return B1200;
    case 1800:
        return B1800;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    case 230400:
        return B230400;
    case 460800:
        return B460800;
    case 500000:
        return B500000;
    case 576000:
        return B576000;
    case 921600:
        return B921600;
    case 1000000:
        return B1000000;
    case 1152000:
        return B1152000;
    case 1500000:
        return B1500000;
    case 2000000:
        return B2000000;
    case 2500000:
        return B2500000;
    case 3000000:
        return B3000000;
    case 3500000:
        return B3500000;
    case 4000000:
        return B4000000;
    default:
        return B0;
    }
}

tcflag_t CharacterSize(std::uint8_t dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

tcflag_t ParityFlags(TParity parity) {
    switch (parity) {
    case ptODD:
        return PARENB | PARODD;
    case ptEVEN:
        return PARENB;
    case ptMARK:
        return PARENB | PARODD | CMSPAR;
    case ptSPACE:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

struct LineCounters {
    serial_icounter_struct counts{};
    int modem = 0;
};

void ModemWaitInterrupted(int) {}

void InstallModemWaitHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = ModemWaitInterrupted;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0; // no SA_RESTART: the wait must end with EINTR
        sigaction(ModemWaitSignal(), &action, nullptr);
    });
}

} // namespace

std::string DevicePath(std::string_view port) {
    const std::string name = Cp1254ToUtf8(port);
    if (name.find('/') != std::string::npos)
        return name;
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
        (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm') &&
        name[3] != '0' && name.size() <= 12) {
        const std::string digits = name.substr(3);
        if (digits.find_first_not_of("0123456789") == std::string::npos)
            return "/dev/ttyS" + std::to_string(std::stoull(digits) - 1);
    }
    return "/dev/" + name;
}

std::string SystemErrorText(int error) {
    char buffer[256];
    // The GNU strerror_r returns the text, which may or may not be in buffer.
    std::string text = Utf8ToCp1254(strerror_r(error, buffer, sizeof buffer));
    while (!text.empty() && (static_cast<unsigned char>(text.back()) <= ' ' || text.back() == '.'))
        text.pop_back();
    return text;
}

int ModemWaitSignal() {
    return SIGRTMIN + 5;
}

TCommThread::TCommThread(const std::string& portName, const std::string& path,
                         const TLineSettings& settings, int requestFd)
    : portName_(portName), requestFd_(requestFd) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0)
        Fail(SystemErrorText(errno));
    try {
        termios probe{};
        if (tcgetattr(fd_, &probe) != 0)
            Fail(errno == ENOTTY ? "Not a serial port" : SystemErrorText(errno));
        // Another holder of the lock, even a privileged one, has the port.
        if (flock(fd_, LOCK_EX | LOCK_NB) != 0)
            Fail(SystemErrorText(errno == EWOULDBLOCK ? EBUSY : errno));
        // Unprivileged opens by other programs now fail with EBUSY.
        ioctl(fd_, TIOCEXCL);
        SetParams(settings);
        ResetLine();
        serial_icounter_struct counts{};
        countersKept_ = ioctl(fd_, TIOCGICOUNT, &counts) == 0;
        stopFd_ = NewEventFd();
        wakeFd_ = NewEventFd();
        ackFd_ = NewEventFd();
        modemWatchDoneFd_ = NewEventFd();
    } catch (...) {
        ioctl(fd_, TIOCNXCL);
        CloseFd(fd_);
        CloseFd(stopFd_);
        CloseFd(wakeFd_);
        CloseFd(ackFd_);
        CloseFd(modemWatchDoneFd_);
        throw;
    }
}

TCommThread::~TCommThread() {
    Stop();
    if (worker_.joinable())
        worker_.join();
    StopModemWatch();
    // Output still queued is discarded, and so is what the driver holds, so
    // that closing never waits for a slow or stalled line to drain.
    tcflush(fd_, TCIOFLUSH);
    ioctl(fd_, TIOCNXCL);
    CloseFd(fd_); // also gives up the flock
    CloseFd(stopFd_);
    CloseFd(wakeFd_);
    CloseFd(ackFd_);
    CloseFd(modemWatchDoneFd_);
}

void TCommThread::Fail(const std::string& reason) const {
    throw EComError("TCOMPORT : cannot open " + portName_ + '\r' + reason);
}

void TCommThread::SetParams(const TLineSettings& s) {
    if (s.Baud == 0)
        Fail("line setting not supported: baud rate 0");
    if (s.DataBits < 5 || s.DataBits > 8)
        Fail("line setting not supported: " + std::to_string(s.DataBits) + " data bits");
    if (s.Parity > ptSPACE)
        Fail("line setting not supported: " + ParityName(s.Parity));
    if (s.StopBits != sbONE && s.StopBits != snTWO)
        Fail("line setting not supported: " + StopBitsName(s.StopBits));

    termios t{};
    if (tcgetattr(fd_, &t) != 0)
        Fail(SystemErrorText(errno));
    // Raw binary input: no parity checking, no stripping or translation, no
    // software flow control; a break is counted by the driver but not put into
    // the data.
    t.c_iflag = IGNBRK;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= CREAD | CLOCAL | CS8;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;

    // The settings are applied one at a time and each is read back, because
    // a driver may reject one (EINVAL) or silently keep another value; either
    // way the setting is named.
    const std::string refused = "line setting refused by the driver: ";
    const auto apply = [&](const std::string& setting) {
        if (tcsetattr(fd_, TCSANOW, &t) != 0)
            Fail(errno == EINVAL ? refused + setting : SystemErrorText(errno));
    };
    const auto kept = [&] {
        termios now{};
        if (tcgetattr(fd_, &now) != 0)
            Fail(SystemErrorText(errno));
        return now;
    };

    const std::string baud = "baud rate " + std::to_string(s.Baud);
    const speed_t standard = StandardSpeed(s.Baud);
    cfsetispeed(&t, standard == B0 ? B9600 : standard);
    cfsetospeed(&t, standard == B0 ? B9600 : standard);
    apply(baud);
    if (standard == B0) {
        if (!SetLineBaudRate(fd_, s.Baud))
            Fail(errno == EINVAL ? refused + baud : SystemErrorText(errno));
        t = kept();
    }
    if (LineBaudRate(fd_) != s.Baud)
        Fail(refused + baud);
    if ((kept().c_iflag & (IXON | IXOFF | INPCK)) != 0)
        Fail(refused + "raw mode");

    const struct {
        tcflag_t mask;
        tcflag_t value;
        std::string name;
    } steps[] = {
        {CSIZE, CharacterSize(s.DataBits), std::to_string(s.DataBits) + " data bits"},
        {PARENB | PARODD | CMSPAR, ParityFlags(s.Parity), ParityName(s.Parity)},
        {CSTOPB, s.StopBits == snTWO ? tcflag_t(CSTOPB) : tcflag_t(0), StopBitsName(s.StopBits)},
        {CRTSCTS, 0, "no flow control"},
    };
    for (const auto& step : steps) {
        t.c_cflag = (t.c_cflag & ~step.mask) | step.value;
        apply(step.name);
        if ((kept().c_cflag & step.mask) != step.value)
            Fail(refused + step.name);
    }
}

void TCommThread::ResetLine() {
    tcflush(fd_, TCIOFLUSH);
    // A pseudo-terminal has no modem lines; these calls then fail harmlessly.
    int dtr = TIOCM_DTR;
    ioctl(fd_, TIOCMBIC, &dtr);
    int rts = TIOCM_RTS;
    ioctl(fd_, TIOCMBIC, &rts);
}

void TCommThread::Start() {
    worker_ = std::thread(&TCommThread::Execute, this);
    if (countersKept_) {
        InstallModemWaitHandler();
        modemWatch_ = std::thread(&TCommThread::WatchModemLines, this);
    }
}

void TCommThread::Stop() {
    Signal(stopFd_);
}

std::optional<THandOver> TCommThread::TakeHandOver() {
    std::lock_guard lock(mailboxMutex_);
    std::optional<THandOver> taken;
    taken.swap(mailbox_);
    return taken;
}

void TCommThread::Acknowledge() {
    Signal(ackFd_);
}

bool TCommThread::AwaitAcknowledge() {
    if (WaitReadable({stopFd_, ackFd_}) == 0)
        return false;
    Drain(ackFd_);
    return true;
}

void TCommThread::Execute() {
    // Port events are served ahead of ordinary work where the system lets an
    // unprivileged thread ask for it; otherwise the thread keeps its priority.
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()),
                getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())) - 1);

    auto readCounters = [this] {
        LineCounters now;
        if (countersKept_) {
            ioctl(fd_, TIOCGICOUNT, &now.counts);
            ioctl(fd_, TIOCMGET, &now.modem);
        }
        return now;
    };
    LineCounters last = readCounters();
    bool portGone = false;

    for (;;) {
        pollfd set[3] = {
            {stopFd_, POLLIN, 0},
            {portGone ? -1 : fd_, static_cast<short>(POLLIN | (wantWrite_.load() ? POLLOUT : 0)),
             0},
            {wakeFd_, POLLIN, 0},
        };
        if (poll(set, 3, -1) < 0)
            continue; // EINTR
        if (set[0].revents)
            break;
        if (set[2].revents)
            Drain(wakeFd_);

        THandOver h;
        const short port = set[1].revents;
        if (port & (POLLHUP | POLLERR | POLLNVAL)) {
            h.Hangup = true;
            portGone = true;
        } else {
            h.Readable = (port & POLLIN) != 0;
            h.Writable = (port & POLLOUT) != 0;
            if (countersKept_) {
                const bool modemWoke = modemWoke_.exchange(false);
                const LineCounters now = readCounters();
                const auto& a = last.counts;
                const auto& b = now.counts;
                h.LineError = b.frame != a.frame || b.overrun != a.overrun ||
                              b.parity != a.parity || b.brk != a.brk ||
                              b.buf_overrun != a.buf_overrun;
                if (modemWoke || b.cts != a.cts || b.dsr != a.dsr || b.dcd != a.dcd ||
                    b.rng != a.rng) {
                    unsigned changed = static_cast<unsigned>(now.modem ^ last.modem) & kModemLines;
                    if (b.cts != a.cts)
                        changed |= TIOCM_CTS;
                    if (b.dsr != a.dsr)
                        changed |= TIOCM_DSR;
                    if (b.dcd != a.dcd)
                        changed |= TIOCM_CD;
                    if (b.rng != a.rng)
                        changed |= TIOCM_RNG;
                    h.ModemChanged = changed;
                    h.ModemStatus = static_cast<unsigned>(now.modem);
                }
                last = now;
            }
        }
        if (!h.Readable && !h.Writable && !h.Hangup && !h.LineError && h.ModemChanged == 0)
            continue;

        {
            std::lock_guard lock(mailboxMutex_);
            mailbox_ = h;
        }
        Signal(requestFd_);
        if (!AwaitAcknowledge())
            break;
    }
}

void TCommThread::WatchModemLines() {
    sigset_t wanted;
    sigemptyset(&wanted);
    sigaddset(&wanted, ModemWaitSignal());
    pthread_sigmask(SIG_UNBLOCK, &wanted, nullptr);
    while (!modemWatchStop_.load()) {
        if (ioctl(fd_, TIOCMIWAIT, kModemLines) == 0) {
            modemWoke_.store(true);
            Signal(wakeFd_);
        } else if (errno != EINTR) {
            break; // the driver cannot wait for modem lines, or the port has gone
        }
    }
    Signal(modemWatchDoneFd_);
}

void TCommThread::StopModemWatch() {
    if (!modemWatch_.joinable())
        return;
    modemWatchStop_.store(true);
    // The signal may arrive just before the thread enters the wait, so it is
    // repeated until the thread reports that it has left.
    pollfd done{modemWatchDoneFd_, POLLIN, 0};
    do {
        pthread_kill(modemWatch_.native_handle(), ModemWaitSignal());
    } while (poll(&done, 1, 20) <= 0);
    modemWatch_.join();
}

bool TCommThread::Read(std::string& data) {
    const std::size_t start = data.size();
    for (;;) {
        const std::size_t have = data.size();
        if (have - start >= kReadBound)
            return true;
        data.resize(have + 16384);
        const ssize_t n = read(fd_, data.data() + have, 16384);
        data.resize(have + static_cast<std::size_t>(n > 0 ? n : 0));
        if (n > 0)
            continue;
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void TCommThread::Write(std::string_view bytes) {
    if (bytes.empty())
        return;
    if (writeQueue_.empty()) {
        ssize_t n;
        do {
            n = write(fd_, bytes.data(), bytes.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return; // the port has gone; the worker reports the hang-up
        bytes.remove_prefix(static_cast<std::size_t>(n > 0 ? n : 0));
        if (bytes.empty())
            return;
    }
    writeQueue_.emplace_back(bytes);
    queuedBytes_ += bytes.size();
    if (!wantWrite_.exchange(true))
        Signal(wakeFd_);
}

void TCommThread::DrainWrites() {
    while (!writeQueue_.empty()) {
        const std::string& front = writeQueue_.front();
        const ssize_t n = write(fd_, front.data() + writeOffset_, front.size() - writeOffset_);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            break; // the port has gone: nothing queued can be sent
        }
        writeOffset_ += static_cast<std::size_t>(n);
        queuedBytes_ -= static_cast<std::size_t>(n);
        if (writeOffset_ == front.size()) {
            writeQueue_.pop_front();
            writeOffset_ = 0;
        }
    }
    writeQueue_.clear();
    writeOffset_ = 0;
    queuedBytes_ = 0;
    wantWrite_.store(false);
}

} // namespace km40r
