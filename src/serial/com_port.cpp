#include "serial/com_port.h"

#include "core/errors.h"
#include "serial/comm_thread.h"
#include "serial/terminator.h"

#include <QEvent>
#include <QPointer>
#include <QSocketNotifier>
#include <QtGlobal>

#include <cerrno>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace km40r {

namespace {

// Runs a function when the scope ends, however it ends.
template <typename F> class OnExit {
public:
    explicit OnExit(F f) : f_(std::move(f)) {}
    ~OnExit() { f_(); }
    OnExit(const OnExit&) = delete;
    OnExit& operator=(const OnExit&) = delete;

private:
    F f_;
};

void DrainRequests(int fd) {
    std::uint64_t count;
    while (read(fd, &count, sizeof count) < 0 && errno == EINTR) {
    }
}

} // namespace

// Watches the request descriptor and serves each hand-over straight from its
// event, so that an exception of a handler travels only through the event
// delivery, where the application's guard catches it.
class TComPort::HandOverNotifier : public QSocketNotifier {
public:
    HandOverNotifier(int fd, TComPort* port) : QSocketNotifier(fd, Read, port), port_(port) {}

protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::SockAct) {
            port_->ServeHandOver();
            return true;
        }
        return QSocketNotifier::event(e);
    }

private:
    TComPort* port_;
};

TComPort::TComPort(QObject* Owner) : QObject(Owner) {}

TComPort::~TComPort() {
    if (open_) {
        try {
            Close();
        } catch (const std::exception& e) {
            qWarning("%s", e.what());
        }
    }
    delete requestNotifier_;
    if (requestFd_ >= 0)
        close(requestFd_);
}

void TComPort::Open() {
    if (open_)
        return;
    if (requestFd_ < 0) {
        const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0)
            throw EComError("TCOMPORT : cannot open " + Port + '\r' + SystemErrorText(errno));
        requestFd_ = fd;
        requestNotifier_ = new HandOverNotifier(requestFd_, this);
    }
    worker_ = std::make_unique<TCommThread>(
        Port, DevicePath(Port), TLineSettings{Baud, DataBits, Parity, StopBits}, requestFd_);
    try {
        worker_->Start();
    } catch (const std::system_error& e) {
        worker_.reset();
        throw EComError("TCOMPORT : cannot open " + Port + '\r' + e.code().message());
    }
    ++period_;
    open_ = true;
    if (OnPortOpen) {
        const auto handler = OnPortOpen;
        handler(this);
    }
}

void TComPort::Close() {
    if (!open_)
        return;
    open_ = false;
    worker_.reset(); // stops the worker, waits for it and releases the port
    DrainRequests(requestFd_);
    if (OnPortClose) {
        const auto handler = OnPortClose;
        handler(this);
    }
}

void TComPort::Write(std::string_view Data) {
    if (open_)
        worker_->Write(Data);
}

std::size_t TComPort::PendingOutput() const {
    return open_ ? worker_->PendingOutput() : 0;
}

std::string TComPort::Terminator() const {
    return TerminatorText(terminator_);
}

void TComPort::SetTerminator(std::string_view Text) {
    SetTerminatorText(terminator_, Text);
}

void TComPort::ServeHandOver() {
    DrainRequests(requestFd_);
    if (!open_)
        return; // a request of a period that is over
    const std::optional<THandOver> handOver = worker_->TakeHandOver();
    if (!handOver)
        return;
    const std::uint64_t period = period_;
    const QPointer<TComPort> self(this);
    // The worker waits until this hand-over is handled, also when a handler
    // throws; when a handler closed the port, the worker has already ended.
    const OnExit release([this, self, period] {
        if (self && InPeriod(period))
            worker_->Acknowledge();
    });

    if (handOver->Hangup) {
        Close();
        return;
    }
    if (handOver->Writable)
        worker_->DrainWrites();
    if (handOver->Readable && !ReceiveHandler()) {
        if (self && InPeriod(period))
            Close();
        return;
    }
    if (self)
        StatusHandler(*handOver, period);
}

bool TComPort::ReceiveHandler() {
    std::string data;
    const bool present = worker_->Read(data);
    if (!ReceiveCallBack)
        return present; // read from the port and dropped
    if (ReceiveMode == rmRAW) {
        const auto handler = ReceiveCallBack;
        handler(data);
        return present;
    }

    // The buffer is taken out while pieces are delivered, so that a handler
    // that processes events (and so may see more bytes arrive) cannot make a
    // piece be delivered twice. What is left goes back in front of anything
    // added meanwhile, also when a handler throws.
    lineBuffer_ += data;
    std::string pending;
    pending.swap(lineBuffer_);
    std::size_t from = 0;
    const OnExit restore([this, &pending, &from] {
        pending.erase(0, from);
        pending += lineBuffer_;
        lineBuffer_.swap(pending);
    });
    const std::uint64_t period = period_;
    while (InPeriod(period) && ReceiveMode == rmTERM && ReceiveCallBack) {
        const std::size_t end = PieceEnd(pending, from, terminator_);
        if (end == std::string_view::npos)
            break;
        const std::string piece = pending.substr(from, end - from);
        from = end;
        const auto handler = ReceiveCallBack;
        handler(piece);
    }
    return present;
}

void TComPort::StatusHandler(const THandOver& handOver, std::uint64_t period) {
    const auto raise = [&](unsigned line, const TStatusChanged& handler) {
        if ((handOver.ModemChanged & line) && InPeriod(period) && handler) {
            const auto call = handler;
            call((handOver.ModemStatus & line) != 0);
        }
    };
    raise(TIOCM_CTS, OnCTSChanged);
    raise(TIOCM_DSR, OnDSRChanged);
    raise(TIOCM_CD, OnRLSDChanged);
    raise(TIOCM_RNG, OnRingChanged);
    if (handOver.LineError && InPeriod(period) && OnError) {
        const auto call = OnError;
        call(this);
    }
}

} // namespace km40r
