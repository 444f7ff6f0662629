// TComPort: the serial port component.
//
// Principles of operation
//
// A TComPort owns one serial port. The user-interface thread configures it
// through its public settings, opens it, writes bytes to it and closes it; the
// component reports what happens on the line through its event handlers:
// received bytes (ReceiveCallBack), changes of the modem lines (OnCTSChanged,
// OnDSRChanged, OnRingChanged, OnRLSDChanged), line errors (OnError), and its
// own opening and closing (OnPortOpen, OnPortClose). Every handler runs on the
// thread that created the component, which must run a Qt event loop.
//
// While the port is open a worker (TCommThread, see comm_thread.h) sleeps on
// the port and hands each port event over to this thread: it signals an
// eventfd that a socket notifier of the component watches, and waits until
// the event has been handled. So the worker touches no state of the program,
// and a port event is never handled while a handler of the program runs,
// except where that handler processes events itself. Reading, writing and
// calling handlers all happen here; a read takes only bytes that are already
// waiting and a write never blocks, so this thread never waits on the line.
//
// Received bytes are delivered in one of two modes, read afresh at each event.
// In rmRAW each chunk goes to ReceiveCallBack as it was read. In rmTERM the
// chunk is appended to the line buffer, and every complete piece in the buffer
// (the bytes up to and including the terminator) is delivered, in order; the
// rest waits for more bytes. The line buffer has no size limit, survives
// Close and changes of mode or terminator, and loses bytes only by delivering
// them. Bytes that arrive while no ReceiveCallBack is assigned are read and
// dropped.
//
// Writing a line setting, a queue size or the port name while the port is open
// changes nothing on the line; the values are used by the next Open. Open fails
// with EComError, and leaves the component closed, when the port cannot be
// opened, is not a terminal, is held by someone else, or does not keep a line
// setting. A port that disappears while open (an adapter unplugged, the other
// end of a pseudo-terminal closed) is noticed at once: the component closes
// itself exactly as Close would, so OnPortClose fires once.
//
// Close ends the open period at once: output not yet sent, whether still queued
// in the component or in the driver, is discarded (so closing never waits on a
// slow or stalled line), and the worker is told to stop and is waited for. The worker never
// needs this thread to serve it in order to stop, so Close may be called from
// any handler, even one running inside a hand-over. After Close no handler of
// the period runs; a hand-over still queued finds the period over and does
// nothing.
//
// A handler that throws ends the handling of that event: the exception leaves
// the event delivery on this thread (where the application's event guard shows
// it), the worker is released to wait for the next event, and the port stays
// open. Pieces of the line buffer not yet delivered stay there and go out with
// the next receive event; status events of the same hand-over are skipped.
//
// The port name maps to a device as DevicePath (comm_thread.h) says: "COM3" is
// /dev/ttyS2, "ttyUSB0" is /dev/ttyUSB0, and a name with a slash is a path. The
// queue sizes WinQSizeIn and WinQSizeOut are kept for the settings' sake only:
// the terminal driver sizes its own queues, and output beyond them is queued
// by the component.
#pragma once

#include "serial/line_settings.h"

#include <QObject>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

class QSocketNotifier;

namespace km40r {

class TCommThread;
class TComPort;
struct THandOver;

// How received bytes are delivered: each chunk as it comes, or cut after the
// terminator.
enum TReceiveMode : std::uint8_t { rmRAW, rmTERM };

// Receives a chunk or a piece of received bytes (any byte values, any length).
using TReceiveProc = std::function<void(const std::string& Data)>;

// Receives the new state of a modem line (true: the line is on).
using TStatusChanged = std::function<void(bool Status)>;

// Receives the component that raised the event.
using TComNotifyEvent = std::function<void(TComPort* Sender)>;

class TComPort : public QObject {
    Q_OBJECT

public:
    // Creates a closed component with the default settings below; opens
    // nothing. The owner, when given, destroys the component with itself.
    explicit TComPort(QObject* Owner = nullptr);

    // Closes the port if it is open (so OnPortClose fires) and releases the
    // component. An exception from OnPortClose cannot leave a destructor; it
    // is reported as a Qt warning instead. Do not destroy the component from
    // inside one of its own handlers; use deleteLater().
    ~TComPort() override;

    // Opens the port named Port with Baud, DataBits, Parity and StopBits,
    // starts the worker and then calls OnPortOpen (before returning; events
    // the worker hands over are served when this thread next processes its
    // events). Does nothing if the port is already open. Throws EComError
    // "TCOMPORT : cannot open " + Port + CR + reason when the port cannot be
    // opened or configured; reason is the system's text (trailing blanks,
    // control characters and full stops removed), "Not a serial port", or
    // "line setting not supported: ..." / "line setting refused by the
    // driver: ..." naming the setting. The component then stays closed and no
    // event is raised. Needs a Qt event dispatcher on this thread.
    void Open();

    // Stops the worker, waits for it to end, discards output not yet sent
    // (queued here or in the driver), releases the port and then calls
    // OnPortClose. Does nothing
    // if the port is not open. May be called from any handler of the
    // component. Throws only what OnPortClose throws (the port is closed by
    // then).
    void Close();

    // Sends all bytes of Data, in order after earlier writes, without waiting
    // for them to leave. Does nothing if the port is not open. Reports no
    // error; a port that has gone closes itself as described above.
    void Write(std::string_view Data);

    // True while the port is open.
    bool IsOpen() const { return open_; }

    // The terminator as text: "#" and the decimal value of each byte ("#13#10"
    // for the default CR LF).
    std::string Terminator() const;

    // Sets the terminator from its text (see SetTerminatorText in
    // terminator.h for the format and the two errors, both EComError).
    void SetTerminator(std::string_view Text);

    // The bytes received in rmTERM and not yet delivered.
    const std::string& LineBuffer() const { return lineBuffer_; }

    // The number of written bytes the driver has not yet taken (0 when
    // closed).
    std::size_t PendingOutput() const;

    // Settings, read at the next Open (ReceiveMode: at each receive event).
    std::string Port = "COM1";
    std::uint32_t Baud = 9600;
    std::uint8_t DataBits = 8;
    TParity Parity = ptNONE;
    TStopBit StopBits = sbONE;
    std::uint32_t WinQSizeIn = 8192;
    std::uint32_t WinQSizeOut = 8192;
    TReceiveMode ReceiveMode = rmTERM;

    // Event handlers, each read afresh when its event occurs; unassigned ones
    // are skipped. A status handler receives the line's new state.
    TComNotifyEvent OnPortOpen;
    TComNotifyEvent OnPortClose;
    TReceiveProc ReceiveCallBack;
    TStatusChanged OnCTSChanged;
    TStatusChanged OnDSRChanged;
    TStatusChanged OnRingChanged;
    TStatusChanged OnRLSDChanged;
    TComNotifyEvent OnError;

private:
    class HandOverNotifier;

    // Serves one hand-over of the worker (the request descriptor is
    // readable): reads and delivers received bytes, drains queued output,
    // raises status events, or closes the port when it has gone; then
    // releases the worker, even when a handler throws.
    void ServeHandOver();

    // Reads the waiting bytes and delivers them by the receive mode. Returns
    // false when the port has gone.
    bool ReceiveHandler();

    // Raises the status events of a hand-over, in the order CTS, DSR, RLSD,
    // ring, line error, while the same open period lasts.
    void StatusHandler(const THandOver& handOver, std::uint64_t period);

    // True while the open period `period` lasts.
    bool InPeriod(std::uint64_t period) const { return open_ && period_ == period; }

    std::unique_ptr<TCommThread> worker_;
    bool open_ = false;
    std::uint64_t period_ = 0; // counts the open periods
    std::string terminator_ = "\r\n";
    std::string lineBuffer_;
    int requestFd_ = -1; // the worker signals it when a hand-over waits
    HandOverNotifier* requestNotifier_ = nullptr;
};

} // namespace km40r
