// TServerSocket: the server socket component, a listening TCP port that any
// number of peers connect to.
//
// Principles of operation
//
// Open listens on Port on every local IPv4 address, with a queue of 5
// pending connections, within the call: a failure is thrown from it as
// ESocketError "Windows socket error: %s (%d), on API '%s'" naming "bind"
// (for example 10048 when another program holds the port, or 10022 for a
// port outside 0..65535) or "listen". Port 0 takes a free port; LocalPort
// tells which.
//
// The component accepts each incoming connection as soon as the system
// reports it, appends it to the end of its list (oldest first) and then
// raises OnClientConnect: the handler finds it counted and listed, with its
// address and socket number readable. Data on a connection raises
// OnClientRead with that connection (see socket_connection.h for reading
// and sending). When a peer closes, OnClientDisconnect is raised while the
// connection is still counted and listed; after the handler the socket is
// closed and the connection leaves the list, and nothing more is raised for
// it. The connection object itself is deleted later by the event loop, so a
// pointer held across events must be a QPointer; until then it is closed
// and sends on it do nothing.
//
// Errors on connections follow socket_connection.h, with OnClientError as
// the error event. The program leaves OnClientError unassigned, so:
//   - a reset by the peer throws "Asynchronous socket error 10054" and the
//     connection stays counted and listed (nothing more is read from it)
//     until a send on it fails or the server is closed;
//   - a failed send first raises OnClientDisconnect and removes the
//     connection, then throws "Windows socket error: %s (%d), on API 'send'"
//     from SendText.
// When the system runs out of descriptors, accepting rests for 100 ms at a
// time (the pending peers wait in the queue) and "... on API 'accept'" is
// thrown once, until an accept succeeds again.
//
// Close closes every connection and then the listening socket, raising
// nothing, and empties the list. Destroying the component does the same.
// Handlers may call Close; they must not destroy the component.
#pragma once

#include "net/socket_connection.h"

#include <QObject>

#include <vector>

class QSocketNotifier;

namespace km40r {

class TServerSocket : public QObject, private TSocketOwner {
    Q_OBJECT

public:
    static constexpr int kListenQueue = 5;

    explicit TServerSocket(QObject* Owner = nullptr);
    ~TServerSocket() override;

    int Port = 0;

    // Starts listening (see above). Does nothing when already listening.
    void Open();
    // Closes every connection and stops listening, raising nothing.
    void Close();
    bool Active() const { return listenFd_ >= 0; }
    // The port listened on; 0 when not listening.
    int LocalPort() const;

    // The number of connections in the list.
    int ActiveConnections() const { return static_cast<int>(connections_.size()); }
    // The connection at a 0-based position in the list; throws EListError
    // "List index out of bounds (%d)" outside the list.
    TSocketConnection* Connections(int index) const;

    TSocketNotifyEvent OnClientConnect;
    TSocketNotifyEvent OnClientDisconnect;
    TSocketNotifyEvent OnClientRead;
    TSocketErrorEvent OnClientError;

private:
    class AcceptWatcher;

    void connectionRead(TSocketConnection* connection) override;
    void connectionError(TSocketConnection* connection, TErrorEvent kind, int& code) override;
    void connectionLeaving(TSocketConnection* connection) override;

    void acceptPending();
    void remove(TSocketConnection* connection);

    int listenFd_ = -1;
    unsigned period_ = 0; // changes whenever listening stops
    bool acceptFailureShown_ = false;
    AcceptWatcher* watcher_ = nullptr;
    std::vector<TSocketConnection*> connections_;
};

} // namespace km40r
