// What the churn suites need around the window: devices as plain sockets of
// this process, probes of the process's descriptors and of the server's
// accept queue, and a window fixture whose Timer2 ticks fast.
//
// Principles of operation
//
// The devices and the window's server live in one process, so both ends of
// every connection are descriptors of this process. The probes use that: the
// server side of a device is found by scanning /proc/self/fd for accepted
// sockets on the server's port and matching their peer's port to the
// device's own port, without asking the program. A listening socket's accept
// queue is read with TCP_INFO (for a listener the system reports the
// connections waiting to be accepted and the queue's limit there), so a
// device connects only while the queue has room: the server's queue holds 5,
// and a connection request that finds it full is dropped and retried by the
// system a second later, which would stall the test instead of loading the
// program.
//
// Timer2 keeps its handler; the fixture only shortens its interval, so real
// ticks fall between the devices' arrivals and departures, and counts the
// ticks with a slot that runs after the handler.
#pragma once

#include "app/window_fixture.h"

#include <QString>
#include <QStringList>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <sys/resource.h>
#include <utility>

// Texts of the window, readable in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace km40r::test::churn {

// The number of descriptors this process holds open.
int OpenDescriptors();

// Raises the soft limit of open descriptors to at least `wanted` (at most
// the hard limit) for its lifetime, then restores the limit it found.
class DescriptorLimit {
public:
    explicit DescriptorLimit(rlim_t wanted);
    ~DescriptorLimit();
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

    rlim_t soft() const;

private:
    rlimit saved_{};
};

// The listening socket of this process on a local TCP port; -1 when none.
int ListeningSocket(int port);

// A listening socket's accept queue: connections waiting to be accepted,
// and the most it holds. Both -1 when the system does not tell.
struct AcceptQueue {
    int waiting = -1;
    int limit = -1;
};
AcceptQueue QueueOf(int listenFd);

// The accepted (not listening) sockets of this process on a local port
// whose peer is still connected, by the peer's port.
std::map<int, int> AcceptedSockets(int port);
// Whether `fd` is an accepted socket of this process on a local port whose
// connection has ended without being closed here (after a reset by the peer,
// say): the socket has the port but no peer any more.
bool IsEndedAcceptedSocket(int fd, int port);

// A device connection to 127.0.0.1:port, made with a blocking connect; the
// socket's descriptor, or -1. `localPort` receives the device's own port.
int ConnectDevice(int port, int& localPort);
// Sends all bytes; false when the system refuses.
bool SendAll(int fd, const std::string& bytes);
// Closes with a reset: nothing lingers, the peer gets RST.
void ResetAndClose(int fd);
// Everything the socket holds now, without waiting; "" when nothing.
// `ended` is set when the peer has closed the connection.
std::string TakeAvailable(int fd, bool* ended = nullptr);
// Waits (without serving events) until `count` bytes have arrived on the
// socket; what arrived. Fewer after a deadline.
std::string ReceiveCount(int fd, std::size_t count,
                         std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs a function when it goes out of scope.
class AtExit {
public:
    explicit AtExit(std::function<void()> f) : f_(std::move(f)) {}
    ~AtExit() { f_(); }
    AtExit(const AtExit&) = delete;
    AtExit& operator=(const AtExit&) = delete;

private:
    std::function<void()> f_;
};

// A count from the environment, or `fallback` when unset or not a number
// above 0.
int EnvCount(const char* name, int fallback);

// The server page listening on a free port, Timer2 ticking every few
// milliseconds, and probes of the list.
class ChurnWindowTest : public WindowTest {
protected:
    // Opens the window, sets Timer2's interval, clicks "Aktif" on port 0.
    TfMain& openServer(int timer2Ms);
    // The combo's entries.
    QStringList listed() const;
    // The labels of the server's connections, in its list order.
    QStringList serverLabels() const;
    bool trafficButtons(bool enabled) const;
    // Occurrences of a status line in the sent-text log.
    int statusLines(const QString& line) const;
    // The connection objects the server still holds (closed ones wait for
    // their deferred deletion, which this serves first).
    int connectionObjects() const;
    static QString label(int fd) { return QStringLiteral("127.0.0.1 (%1)").arg(fd); }

    int ticks = 0; // of Timer2, since the window opened
};

inline const QString kArrived = QStringLiteral("TCP Master porta client bağlandı\r\n");
inline const QString kLeft = QStringLiteral("TCP Master porta client bağlantı kesildi\r\n");

} // namespace km40r::test::churn
