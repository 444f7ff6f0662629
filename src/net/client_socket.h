// TClientSocket: the client socket component, one outgoing TCP connection.
//
// Principles of operation
//
// The program sets Host (a dotted IPv4 address or a name, code page 1254)
// and Port, then calls Open. Open returns at once; the outcome arrives as
// events on this thread (see socket_connection.h for the event model):
//
//   - A dotted address needs no lookup. A name goes to the resolver (a seam,
//     host_resolver.h). When it resolves, OnConnecting is raised and the
//     connection attempt starts at once, without blocking. For a dotted
//     address this happens inside Open.
//   - The attempt succeeds: OnConnect. The connection is open; arriving data
//     raises OnRead, and the peer's close raises OnDisconnect, after which
//     the socket is closed.
//   - The attempt fails (refused 10061, timed out 10060, unreachable
//     10051/10065): OnError with eeConnect, and nothing else; the component
//     is closed and the next Open starts afresh.
//   - The name does not resolve (11001), or Host is empty (1110, reported
//     inside Open): OnError with eeLookup, then OnDisconnect. No OnConnecting.
//   - The system refuses the attempt at once for another reason (an address
//     it cannot use, a port outside 0..65535): OnDisconnect, then Open throws
//     ESocketError "Windows socket error: %s (%d), on API 'connect'".
//   - No socket can be created: Open throws ESocketError "Can't create new
//     socket" and raises nothing.
// Errors on the open connection follow socket_connection.h: a reset by the
// peer raises OnError (eeDisconnect, 10054) and leaves the component open;
// a timeout of the open connection counts as aborted, 10053; a failed send
// raises OnError (eeSend), then OnDisconnect.
//
// Close raises OnDisconnect when the connection is open, while the socket
// is still open, and then closes it; with an attempt pending it abandons
// the attempt silently; otherwise it does nothing. Open while the
// connection is open does nothing; Open while an attempt is pending abandons
// that attempt silently and starts a new one with the current Host and
// Port. Destroying the component raises nothing. Handlers may call Open and
// Close; they must not destroy the component.
#pragma once

#include "net/host_resolver.h"
#include "net/socket_connection.h"

#include <QObject>

#include <cstdint>
#include <string>
#include <string_view>

namespace km40r {

class TClientSocket : public QObject, private TSocketOwner {
    Q_OBJECT

public:
    // A closed component with the system resolver.
    explicit TClientSocket(QObject* Owner = nullptr);
    ~TClientSocket() override;

    std::string Host;
    int Port = 0;

    // Starts connecting to Host:Port (see above).
    void Open();
    // Closes the connection or abandons the attempt (see above). Throws only
    // what OnDisconnect throws; the socket is closed by then.
    void Close();
    // True from Open until the connection is closed or the attempt ends.
    bool Active() const { return state_ != State::Closed; }

    // The connection of the current attempt or open period; nullptr when
    // closed. Sends through it do nothing until it is open.
    TSocketConnection* Socket() const { return connection_; }

    // Replaces the resolver used for names (not for dotted addresses).
    void SetResolver(THostResolver resolver) { resolver_ = std::move(resolver); }

    TSocketNotifyEvent OnConnecting;
    TSocketNotifyEvent OnConnect;
    TSocketNotifyEvent OnDisconnect;
    TSocketNotifyEvent OnRead;
    TSocketErrorEvent OnError;

private:
    enum class State { Closed, Resolving, Connecting, Connected, Disconnecting };

    void connectionAttemptEnded(TSocketConnection* connection, int errnoValue) override;
    void connectionRead(TSocketConnection* connection) override;
    void connectionError(TSocketConnection* connection, TErrorEvent kind, int& code) override;
    void connectionLeaving(TSocketConnection* connection) override;

    void connectTo(std::uint32_t address);
    void lookupFailed(int code);
    void attemptFailed(int errnoValue);
    // Raises OnDisconnect, then closes.
    void raiseDisconnect();
    // Closes the socket and ends the period or attempt, raising nothing.
    void drop();

    State state_ = State::Closed;
    unsigned period_ = 0; // changes whenever an attempt or open period ends
    std::uint32_t address_ = 0;
    TSocketConnection* connection_ = nullptr;
    THostResolver resolver_;
};

} // namespace km40r
