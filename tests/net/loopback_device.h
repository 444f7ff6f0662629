// Devices on the loopback interface for the socket tests: a device that
// listens (for the client side) and devices that connect (for the server
// side), on Qt's own sockets and served by the test's event loop. Nothing
// leaves 127.0.0.1.
#pragma once

#include "support/serial_support.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <arpa/inet.h>
#include <chrono>
#include <functional>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace km40r::test {

// One device connection, seen from the device.
class Device {
public:
    using Clock = std::chrono::steady_clock;

    explicit Device(QTcpSocket* socket) : socket_(socket) {
        QObject::connect(socket_.get(), &QTcpSocket::readyRead, [this] {
            const QByteArray bytes = socket_->readAll();
            received.append(bytes.constData(), static_cast<std::size_t>(bytes.size()));
            arrivals.emplace_back(bytes.toStdString(), Clock::now());
            if (onReceive)
                onReceive(*this);
        });
    }

    // A device that connects to 127.0.0.1:port; nullptr when it cannot.
    static std::unique_ptr<Device> Connect(int port) {
        auto device = std::make_unique<Device>(new QTcpSocket);
        device->socket_->connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
        if (!WaitUntil([&] { return device->socket_->state() == QAbstractSocket::ConnectedState; }))
            return nullptr;
        return device;
    }

    void Send(const std::string& bytes) {
        socket_->write(bytes.data(), static_cast<qint64>(bytes.size()));
        socket_->flush();
    }
    // Waits until the device has received exactly `bytes` in all.
    bool Got(const std::string& bytes) {
        return WaitUntil([&] { return received.size() >= bytes.size(); }) && received == bytes;
    }
    // Waits until the other end has closed the connection.
    bool SeesClose() {
        return WaitUntil([&] { return socket_->state() == QAbstractSocket::UnconnectedState; });
    }
    // Closes normally, after what was written has gone out.
    void Close() { socket_->disconnectFromHost(); }
    // Closes with a reset: nothing lingers, the other end gets RST.
    void Reset() {
        const linger now{1, 0};
        ::setsockopt(static_cast<int>(socket_->socketDescriptor()), SOL_SOCKET, SO_LINGER, &now,
                     sizeof now);
        socket_->abort();
    }
    // Stops sending but keeps receiving.
    void HalfClose() { ::shutdown(static_cast<int>(socket_->socketDescriptor()), SHUT_WR); }
    bool Connected() const { return socket_->state() == QAbstractSocket::ConnectedState; }
    int LocalPort() const { return socket_->localPort(); }

    std::string received;
    std::vector<std::pair<std::string, Clock::time_point>> arrivals;
    // Called after each arrival, to answer.
    std::function<void(Device&)> onReceive;

private:
    std::unique_ptr<QTcpSocket> socket_;
};

// A device that listens on 127.0.0.1 at a free port and keeps every
// connection it accepts, in order.
class DeviceServer {
public:
    DeviceServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(nullptr);
                devices.push_back(std::make_unique<Device>(socket));
            }
        });
    }
    int port() const { return server_.serverPort(); }
    bool WaitForDevices(std::size_t count) {
        return WaitUntil([&] { return devices.size() >= count; });
    }

    std::vector<std::unique_ptr<Device>> devices;

private:
    QTcpServer server_;
};

// A loopback port on which nothing listens while the object lives (bound,
// so nobody else takes it, but not listening): connecting is refused.
class RefusingPort {
public:
    RefusingPort() {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        socklen_t length = sizeof local;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
        port_ = ntohs(local.sin_port);
    }
    ~RefusingPort() { ::close(fd_); }
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
};

// Every byte value once, 0 to 255.
inline std::string AllByteValues() {
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<char>(i);
    return all;
}

} // namespace km40r::test
