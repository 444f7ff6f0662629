// TSocketConnection: one TCP connection of the socket layer.
//
// Principles of operation
//
// The socket layer is two components, the client socket (client_socket.h)
// and the server socket (server_socket.h), over one kind of connection: this
// class. A connection owns one non-blocking socket of the system and watches
// it with socket notifiers on the thread that created it, which must run a
// Qt event loop. Nothing blocks and there is no thread of its own: every
// event of the layer is raised on that thread, between other events or
// inside a handler that processes events itself.
//
// Reading. When data arrives, the connection takes what the system holds at
// that moment (at most 1 MiB per notification, so that one busy peer cannot
// starve the others; the rest raises a further notification) into its
// receive buffer and raises the read event. ReceiveText hands over
// everything buffered and anything more the system holds right then, as one
// byte string of any length and any byte values, possibly empty. Bytes that
// arrived before the peer closed or reset the connection are always raised
// before that close or error.
//
// Sending. SendText never blocks and never drops a byte: what the system
// cannot take at once is queued in the connection and sent, in order, as
// soon as the system has room. On a connection that is not open it does
// nothing.
//
// Ends and errors, as the owning component sees them:
//   - the peer closes (also a half-close): the disconnect event, then the
//     socket is closed;
//   - an error that the connection reports from the peer or the network
//     (reset, timed out, unreachable): the error event (kind eeDisconnect, or
//     eeReceive for errors that do not end a connection) with the code; the
//     connection stays open as far as the program is concerned, but nothing
//     more is read from it. A send on it then fails, or the program closes it;
//   - a send or a read call that fails for any other reason than that it
//     would block: the error event (eeSend or eeReceive), the disconnect
//     event, the socket is closed.
// The error code is passed to the handler by reference. When the handler
// leaves it non-zero, the layer raises ESocketError after the events:
// "Asynchronous socket error %d" for a reported error, "Windows socket
// error: %s (%d), on API '%s'" ("send", "recv") for a failed call. The
// handler sets it to 0 to raise nothing. Errors and exceptions of handlers
// leave through the event delivery, where the application's guard shows
// them; the connection's state is settled before they do.
//
// The socket number is the system's descriptor, captured when the socket is
// created: unique among the open connections, and readable for the life of
// the object, also after the socket has been closed (when the system may
// give the same number to a new connection). The remote address is the
// peer's IPv4 address as text while the connection is open, and empty after.
#pragma once

#include <QObject>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace km40r {

class TSocketConnection;

// The kind of an error event.
enum TErrorEvent : std::uint8_t {
    eeGeneral,
    eeSend,
    eeReceive,
    eeConnect,
    eeDisconnect,
    eeAccept,
    eeLookup,
};

// The handlers of the layer's events: the component that raised the event
// and the connection it concerns.
using TSocketNotifyEvent = std::function<void(QObject* Sender, TSocketConnection* Socket)>;
using TSocketErrorEvent = std::function<void(QObject* Sender, TSocketConnection* Socket,
                                             TErrorEvent ErrorEvent, int& ErrorCode)>;

// What a connection asks of the component that owns it. Internal to the
// layer.
class TSocketOwner {
public:
    virtual ~TSocketOwner() = default;

    // The outcome of a connection attempt: 0 or the system's errno value.
    virtual void connectionAttemptEnded(TSocketConnection* connection, int errnoValue);
    // Raises the read event.
    virtual void connectionRead(TSocketConnection* connection) = 0;
    // Raises the error event.
    virtual void connectionError(TSocketConnection* connection, TErrorEvent kind, int& code) = 0;
    // Raises the disconnect event, then closes the connection (and forgets it).
    virtual void connectionLeaving(TSocketConnection* connection) = 0;
};

class TSocketConnection : public QObject {
    Q_OBJECT

public:
    // Takes over the non-blocking socket `fd`. Watches nothing yet.
    TSocketConnection(int fd, TSocketOwner* owner, QObject* parent);
    // Closes the socket, raising nothing.
    ~TSocketConnection() override;

    // The socket number (see above).
    int SocketHandle() const { return handle_; }
    // The peer's IPv4 address in dotted form; empty once the connection is
    // not open.
    std::string RemoteAddress() const;
    // True from the connect (or the acceptance) until the socket is closed.
    bool Connected() const { return fd_ >= 0 && connected_; }

    // All bytes received and not yet taken, possibly none.
    std::string ReceiveText();
    // Sends all of data (see above); returns data's size, or 0 when the
    // connection is not open or the send failed. Throws as described above.
    int SendText(std::string_view data);

    // Layer internals, used by the owning component.
    // Waits for the outcome of a connection attempt started on the socket.
    void watchConnect();
    // The connection is open to the peer at `address` (host byte order):
    // starts reading.
    void open(std::uint32_t address);
    // Marks the connection as leaving; false when it already was, or is closed.
    bool beginLeaving();
    // Closes the socket at once, raising nothing. Idempotent.
    void closeSilently();
    bool isOpen() const { return fd_ >= 0; }

private:
    class Watcher;

    void readable();
    void writable();
    // Takes what the system holds now into the receive buffer; notes the
    // end or an error.
    void drain();
    // Sends queued output until the system has no room; false after a failure.
    bool flush();
    void reportError(int errnoValue);
    void callFailed(TErrorEvent kind, int errnoValue, const char* api);

    TSocketOwner* owner_;
    int fd_;
    int handle_;
    std::string address_; // dotted, from the time the connection opened
    bool connecting_ = false;
    bool connected_ = false;
    bool reading_ = false;
    bool leaving_ = false;
    bool peerClosed_ = false; // the end of input has been seen, not yet handled
    int inputError_ = 0;      // an errno value seen while reading, not yet handled
    std::string received_;
    std::string output_;         // queued output
    std::size_t outputSent_ = 0; // of output_, already sent
    Watcher* readWatcher_;
    Watcher* writeWatcher_;
};

// The dotted form of an IPv4 address given in host byte order.
std::string DottedAddress(std::uint32_t address);

} // namespace km40r
