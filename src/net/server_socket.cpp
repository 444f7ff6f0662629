#include "net/server_socket.h"

#include "core/errors.h"
#include "net/socket_errors.h"

#include <QEvent>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace km40r {
namespace {

constexpr int kAcceptsPerNotification = 64;
constexpr int kAcceptRestMs = 100;

// Errors of a connection that went away before it was accepted: the next
// one is taken.
bool IsLostConnection(int errnoValue) {
    switch (errnoValue) {
    case ECONNABORTED:
    case EPROTO:
    case ENOPROTOOPT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case EOPNOTSUPP:
    case EINTR:
        return true;
    default:
        return false;
    }
}

} // namespace

// Serves the listening socket's activation straight from its event.
class TServerSocket::AcceptWatcher : public QSocketNotifier {
public:
    AcceptWatcher(int fd, TServerSocket* server)
        : QSocketNotifier(fd, Read, server), server_(server) {}

protected:
    bool event(QEvent* e) override {
        if (e->type() == QEvent::SockAct) {
            if (isEnabled())
                server_->acceptPending();
            return true;
        }
        return QSocketNotifier::event(e);
    }

private:
    TServerSocket* server_;
};

TServerSocket::TServerSocket(QObject* Owner) : QObject(Owner) {}

TServerSocket::~TServerSocket() {
    Close();
}

void TServerSocket::Open() {
    if (listenFd_ >= 0)
        return;
    if (Port < 0 || Port > 0xFFFF)
        throw ESocketError(SocketCallErrorMessage(kSocketInvalidArgument, "bind"));
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw ESocketError("Can't create new socket");
    // Connections of an earlier period that are still winding down do not
    // hold the port; a listening socket of anyone else still does.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<std::uint16_t>(Port));
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    const char* failedCall = nullptr;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0)
        failedCall = "bind";
    else if (::listen(fd, kListenQueue) != 0)
        failedCall = "listen";
    if (failedCall != nullptr) {
        const int error = errno;
        ::close(fd);
        throw ESocketError(SocketCallErrorMessage(SocketErrorCode(error), failedCall));
    }
    listenFd_ = fd;
    acceptFailureShown_ = false;
    watcher_ = new AcceptWatcher(fd, this);
}

void TServerSocket::Close() {
    if (listenFd_ < 0)
        return;
    for (TSocketConnection* connection : connections_) {
        connection->closeSilently();
        connection->deleteLater();
    }
    connections_.clear();
    watcher_->setEnabled(false);
    watcher_->deleteLater();
    watcher_ = nullptr;
    ::close(listenFd_);
    listenFd_ = -1;
    ++period_;
}

int TServerSocket::LocalPort() const {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (listenFd_ < 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&local), &length) != 0)
        return 0;
    return ntohs(local.sin_port);
}

TSocketConnection* TServerSocket::Connections(int index) const {
    if (index < 0 || index >= ActiveConnections())
        throw EListError::outOfBounds(index);
    return connections_[static_cast<std::size_t>(index)];
}

void TServerSocket::acceptPending() {
    const unsigned period = period_;
    for (int n = 0; n < kAcceptsPerNotification && period == period_; ++n) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                                 SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (IsLostConnection(error))
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK)
                return;
            // Out of descriptors or memory: rest, so as not to spin on the
            // pending connection, and say so once.
            watcher_->setEnabled(false);
            QTimer::singleShot(kAcceptRestMs, this, [this, period] {
                if (period == period_)
                    watcher_->setEnabled(true);
            });
            if (acceptFailureShown_)
                return;
            acceptFailureShown_ = true;
            throw ESocketError(SocketCallErrorMessage(SocketErrorCode(error), "accept"));
        }
        acceptFailureShown_ = false;
        auto* connection = new TSocketConnection(fd, this, this);
        connection->open(ntohl(peer.sin_addr.s_addr));
        connections_.push_back(connection);
        if (OnClientConnect)
            OnClientConnect(this, connection);
    }
}

void TServerSocket::connectionRead(TSocketConnection* connection) {
    if (OnClientRead)
        OnClientRead(this, connection);
}

void TServerSocket::connectionError(TSocketConnection* connection, TErrorEvent kind, int& code) {
    if (OnClientError)
        OnClientError(this, connection, kind, code);
}

void TServerSocket::connectionLeaving(TSocketConnection* connection) {
    if (std::find(connections_.begin(), connections_.end(), connection) == connections_.end())
        return;
    try {
        if (OnClientDisconnect)
            OnClientDisconnect(this, connection);
    } catch (...) {
        remove(connection);
        throw;
    }
    remove(connection);
}

void TServerSocket::remove(TSocketConnection* connection) {
    const auto it = std::find(connections_.begin(), connections_.end(), connection);
    if (it == connections_.end())
        return;
    connections_.erase(it);
    connection->closeSilently();
    connection->deleteLater();
}

} // namespace km40r
