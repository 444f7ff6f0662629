#include "net/socket_connection.h"

#include "core/errors.h"
#include "net/socket_errors.h"

#include <QEvent>
#include <QPointer>
#include <QSocketNotifier>

#include <arpa/inet.h>
#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace km40r {
namespace {

constexpr std::size_t kReadPerNotification = 1 << 20;

// Errors that the connection itself reports, from the peer or the network,
// as opposed to a call that could not be carried out.
bool IsConnectionError(int errnoValue) {
    switch (errnoValue) {
    case ECONNRESET:
    case ECONNABORTED:
    case ETIMEDOUT:
    case EPIPE:
    case ENETRESET:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ECONNREFUSED:
    case EPROTO:
        return true;
    default:
        return false;
    }
}

// Errors that end a connection.
bool IsClosingError(int errnoValue) {
    return errnoValue == ECONNRESET || errnoValue == ECONNABORTED || errnoValue == ETIMEDOUT ||
           errnoValue == EPIPE || errnoValue == ENETRESET;
}

} // namespace

void TSocketOwner::connectionAttemptEnded(TSocketConnection*, int) {}

// A notifier that serves its activation straight from its event, so that an
// exception of a handler travels only through the event delivery.
class TSocketConnection::Watcher : public QSocketNotifier {
public:
    Watcher(int fd, Type type, TSocketConnection* connection, void (TSocketConnection::*serve)())
        : QSocketNotifier(fd, type, connection), connection_(connection), serve_(serve) {
        setEnabled(false);
    }

protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::SockAct) {
            if (isEnabled())
                (connection_->*serve_)();
            return true;
        }
        return QSocketNotifier::event(e);
    }

private:
    TSocketConnection* connection_;
    void (TSocketConnection::*serve_)();
};

TSocketConnection::TSocketConnection(int fd, TSocketOwner* owner, QObject* parent)
    : QObject(parent), owner_(owner), fd_(fd), handle_(fd),
      readWatcher_(new Watcher(fd, QSocketNotifier::Read, this, &TSocketConnection::readable)),
      writeWatcher_(new Watcher(fd, QSocketNotifier::Write, this, &TSocketConnection::writable)) {}

TSocketConnection::~TSocketConnection() {
    closeSilently();
}

std::string TSocketConnection::RemoteAddress() const {
    return Connected() ? address_ : std::string();
}

void TSocketConnection::watchConnect() {
    connecting_ = true;
    writeWatcher_->setEnabled(true);
}

void TSocketConnection::open(std::uint32_t address) {
    address_ = DottedAddress(address);
    connected_ = true;
    reading_ = true;
    readWatcher_->setEnabled(true);
}

bool TSocketConnection::beginLeaving() {
    if (fd_ < 0 || leaving_)
        return false;
    leaving_ = true;
    return true;
}

void TSocketConnection::closeSilently() {
    if (fd_ < 0)
        return;
    readWatcher_->setEnabled(false);
    writeWatcher_->setEnabled(false);
    ::close(fd_);
    fd_ = -1;
    connecting_ = false;
    reading_ = false;
    output_.clear();
    outputSent_ = 0;
}

void TSocketConnection::drain() {
    if (fd_ < 0 || !reading_ || peerClosed_ || inputError_ != 0)
        return;
    thread_local char buffer[64 * 1024];
    std::size_t taken = 0;
    while (taken < kReadPerNotification) {
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            received_.append(buffer, static_cast<std::size_t>(n));
            taken += static_cast<std::size_t>(n);
        } else if (n == 0) {
            peerClosed_ = true;
            return;
        } else if (errno != EINTR) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                inputError_ = errno;
            return;
        }
    }
}

std::string TSocketConnection::ReceiveText() {
    drain();
    std::string bytes;
    bytes.swap(received_);
    return bytes;
}

void TSocketConnection::readable() {
    if (fd_ < 0 || !reading_)
        return;
    drain();
    const QPointer<TSocketConnection> self(this);
    if (!received_.empty()) {
        owner_->connectionRead(this);
        if (!self || fd_ < 0 || !reading_)
            return;
    }
    if (inputError_ != 0) {
        const int error = inputError_;
        inputError_ = 0;
        if (IsConnectionError(error))
            reportError(error);
        else
            callFailed(eeReceive, error, "recv");
    } else if (peerClosed_) {
        reading_ = false;
        readWatcher_->setEnabled(false);
        if (beginLeaving())
            owner_->connectionLeaving(this);
    }
}

void TSocketConnection::reportError(int errnoValue) {
    // Nothing more can be read; the connection stays until it is closed.
    reading_ = false;
    readWatcher_->setEnabled(false);
    int code = ConnectionErrorCode(errnoValue);
    owner_->connectionError(this, IsClosingError(errnoValue) ? eeDisconnect : eeReceive, code);
    if (code != 0)
        throw ESocketError(AsyncSocketErrorMessage(code));
}

void TSocketConnection::callFailed(TErrorEvent kind, int errnoValue, const char* api) {
    reading_ = false;
    readWatcher_->setEnabled(false);
    writeWatcher_->setEnabled(false);
    output_.clear();
    outputSent_ = 0;
    const QPointer<TSocketConnection> self(this);
    int code = ConnectionErrorCode(errnoValue);
    owner_->connectionError(this, kind, code);
    if (self && beginLeaving())
        owner_->connectionLeaving(this);
    if (code != 0)
        throw ESocketError(SocketCallErrorMessage(code, api));
}

void TSocketConnection::writable() {
    if (fd_ < 0)
        return;
    if (connecting_) {
        connecting_ = false;
        writeWatcher_->setEnabled(false);
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            error = errno;
        owner_->connectionAttemptEnded(this, error);
        return;
    }
    flush();
}

bool TSocketConnection::flush() {
    while (outputSent_ < output_.size()) {
        const ssize_t n =
            ::send(fd_, output_.data() + outputSent_, output_.size() - outputSent_, MSG_NOSIGNAL);
        if (n >= 0) {
            outputSent_ += static_cast<std::size_t>(n);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            writeWatcher_->setEnabled(true);
            return true;
        } else if (errno != EINTR) {
            callFailed(eeSend, errno, "send");
            return false;
        }
    }
    output_.clear();
    outputSent_ = 0;
    writeWatcher_->setEnabled(false);
    return true;
}

int TSocketConnection::SendText(std::string_view data) {
    if (!Connected() || data.empty())
        return 0;
    output_.append(data);
    if (writeWatcher_->isEnabled())
        return static_cast<int>(data.size()); // queued behind earlier output
    return flush() ? static_cast<int>(data.size()) : 0;
}

std::string DottedAddress(std::uint32_t address) {
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

} // namespace km40r
