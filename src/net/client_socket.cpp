#include "net/client_socket.h"

#include "core/errors.h"
#include "net/socket_errors.h"

#include <QPointer>
#include <QTimer>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <sys/socket.h>

namespace km40r {

TClientSocket::TClientSocket(QObject* Owner) : QObject(Owner), resolver_(SystemHostResolver()) {}

TClientSocket::~TClientSocket() {
    drop();
}

void TClientSocket::Open() {
    if (state_ == State::Connected || state_ == State::Disconnecting)
        return;
    drop();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw ESocketError("Can't create new socket");
    connection_ = new TSocketConnection(fd, this, this);
    state_ = State::Resolving;
    if (Host.empty()) {
        lookupFailed(kSocketEmptyHost);
        return;
    }
    in_addr literal{};
    if (Host.find('\0') == std::string::npos && ::inet_aton(Host.c_str(), &literal) != 0) {
        connectTo(ntohl(literal.s_addr));
        return;
    }
    const unsigned period = period_;
    resolver_(Host, connection_, [this, period](std::uint32_t address, int error) {
        if (period != period_ || state_ != State::Resolving)
            return;
        if (error != 0)
            lookupFailed(error);
        else
            connectTo(address);
    });
}

void TClientSocket::Close() {
    switch (state_) {
    case State::Connected:
        raiseDisconnect();
        break;
    case State::Resolving:
    case State::Connecting:
        drop();
        break;
    case State::Closed:
    case State::Disconnecting:
        break;
    }
}

void TClientSocket::connectTo(std::uint32_t address) {
    state_ = State::Connecting;
    address_ = address;
    const unsigned period = period_;
    try {
        if (OnConnecting)
            OnConnecting(this, connection_);
    } catch (...) {
        if (period == period_)
            drop();
        throw;
    }
    if (period != period_)
        return;
    int error = EINVAL;
    if (Port >= 0 && Port <= 0xFFFF) {
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<std::uint16_t>(Port));
        peer.sin_addr.s_addr = htonl(address);
        error = ::connect(connection_->SocketHandle(), reinterpret_cast<const sockaddr*>(&peer),
                          sizeof peer) == 0
                    ? 0
                    : errno;
    }
    if (error == 0 || error == EINPROGRESS || error == EINTR) {
        connection_->watchConnect(); // the outcome comes when the socket turns writable
        return;
    }
    if (error == ECONNREFUSED || error == ETIMEDOUT || error == ENETUNREACH ||
        error == EHOSTUNREACH) {
        // The attempt failed: reported as an event, like any later outcome.
        QTimer::singleShot(0, connection_, [this, period, error] {
            if (period == period_)
                attemptFailed(error);
        });
        return;
    }
    raiseDisconnect();
    throw ESocketError(SocketCallErrorMessage(SocketErrorCode(error), "connect"));
}

void TClientSocket::lookupFailed(int code) {
    const unsigned period = period_;
    connectionError(connection_, eeLookup, code);
    if (period == period_)
        raiseDisconnect();
    if (code != 0)
        throw ESocketError(AsyncSocketErrorMessage(code));
}

void TClientSocket::attemptFailed(int errnoValue) {
    TSocketConnection* connection = connection_;
    drop(); // the connection object lives on until the event loop deletes it
    int code = SocketErrorCode(errnoValue);
    connectionError(connection, eeConnect, code);
    if (code != 0)
        throw ESocketError(AsyncSocketErrorMessage(code));
}

void TClientSocket::connectionAttemptEnded(TSocketConnection* connection, int errnoValue) {
    if (connection != connection_ || state_ != State::Connecting)
        return;
    if (errnoValue != 0) {
        attemptFailed(errnoValue);
        return;
    }
    state_ = State::Connected;
    connection->open(address_);
    if (OnConnect)
        OnConnect(this, connection);
}

void TClientSocket::connectionRead(TSocketConnection* connection) {
    if (OnRead)
        OnRead(this, connection);
}

void TClientSocket::connectionError(TSocketConnection* connection, TErrorEvent kind, int& code) {
    if (OnError)
        OnError(this, connection, kind, code);
}

void TClientSocket::connectionLeaving(TSocketConnection* connection) {
    if (connection == connection_ && state_ == State::Connected)
        raiseDisconnect();
}

void TClientSocket::raiseDisconnect() {
    state_ = State::Disconnecting;
    if (connection_ != nullptr)
        connection_->beginLeaving();
    const unsigned period = period_;
    try {
        if (OnDisconnect)
            OnDisconnect(this, connection_);
    } catch (...) {
        if (period == period_)
            drop();
        throw;
    }
    if (period == period_)
        drop();
}

void TClientSocket::drop() {
    ++period_;
    state_ = State::Closed;
    if (connection_ != nullptr) {
        connection_->closeSilently();
        connection_->deleteLater();
        connection_ = nullptr;
    }
}

} // namespace km40r
