// The worker of the serial port component: one open period of one port.
//
// Principles of operation
//
// A TCommThread is created by TComPort::Open and destroyed by TComPort::Close;
// it lives exactly one open period. Its constructor opens the terminal device
// and configures it; when anything fails there, it throws and no thread exists.
// Start() then runs one worker thread, which sleeps in a single poll() on three
// descriptors: the port itself, a stop request (an eventfd) and a wake-up (an
// eventfd). It never polls on a timer. When the port reports something (bytes
// to read, room to write, a hang-up, a changed modem line, a line error) the
// worker describes it in a THandOver, puts it in a one-slot mailbox, signals
// the component's request descriptor, and then sleeps again, on the stop
// request and an acknowledgement, until the user-interface thread has handled
// it. So the worker itself never reads, writes or calls back: it only waits and
// reports. Everything else runs on the user-interface thread: the component
// takes the hand-over, reads the bytes (Read), writes pending output
// (Write, DrainWrites) and acknowledges (Acknowledge).
//
// A stop request always wins: the worker checks it first after every wake-up,
// and also while it waits for an acknowledgement, so stopping never depends on
// the user-interface thread serving a hand-over. This is why closing the port
// from inside an event handler, or while a hand-over is still queued, cannot
// deadlock. A stop requested before the thread has started is seen at its
// first wait, because an eventfd keeps its count.
//
// Output never blocks the caller. The port is non-blocking; Write writes what
// the driver takes at once and queues the rest, in order, in a queue that only
// the user-interface thread touches. While the queue is not empty the worker
// also waits for room to write, and each such event drains as much of the
// queue as the driver takes. Destroying the worker discards output that has
// not reached the driver and flushes what the driver still holds, so closing a
// port whose line is slow or stalled returns at once.
//
// The device is opened exclusively: TIOCEXCL keeps other programs' opens out,
// and a non-blocking flock() also keeps out other holders that are privileged.
// The line runs raw: binary, no echo, no line editing, no flow control, no
// parity checking of received bytes, breaks not inserted into the data. DTR
// and RTS are lowered as soon as the port is open (the driver raises them for
// the moment of the open itself). The settings are read back after they are
// applied; a setting the driver did not keep makes the open fail, naming it.
//
// Modem lines and line errors are read from the driver's counters (TIOCGICOUNT)
// where it keeps them; a pseudo-terminal keeps none and reports neither. A
// change of a modem line wakes no poll(), so where the driver keeps counters a
// second, small thread sleeps in TIOCMIWAIT and wakes the worker through its
// wake-up descriptor. That ioctl cannot be woken by a descriptor, so stopping
// this thread sends it the signal ModemWaitSignal() (a no-op handler installed
// once per process) until it has left the wait. Line errors are checked at
// every wake-up of the worker, since a line error always comes with received
// data.
#pragma once

#include "serial/line_settings.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace km40r {

// One port event, as the worker hands it to the user-interface thread.
struct THandOver {
    bool Readable = false;     // bytes are waiting to be read
    bool Writable = false;     // the driver has room for queued output
    bool Hangup = false;       // the port has gone (unplugged, or the other end of
                               // a pseudo-terminal closed); nothing else is reported
    bool LineError = false;    // a framing, parity, overrun or break error occurred
    unsigned ModemChanged = 0; // TIOCM_CTS/DSR/CD/RNG bits of the lines that changed
    unsigned ModemStatus = 0;  // the TIOCM_* bits of the modem lines after the change
};

// The file-system path of a port name. A name with a slash is a path already;
// "COM" and a positive decimal number n (any letter case, no leading zero) is
// /dev/ttyS(n-1), so settings written by earlier installations keep working;
// any other name is a device under /dev. The name is code page 1254 text; the
// path is UTF-8.
std::string DevicePath(std::string_view port);

// The system's text for an errno value, in code page 1254, with trailing
// blanks, control characters and full stops removed.
std::string SystemErrorText(int error);

// The signal that interrupts the modem-line wait when a port closes (a
// real-time signal; its handler does nothing).
int ModemWaitSignal();

class TCommThread {
public:
    // Opens the device at `path` for the port named `portName` (the name that
    // messages show), exclusively and non-blocking, puts the line in raw mode
    // with `settings`, empties both directions and lowers DTR and RTS
    // (SetParams, ResetLine). `requestFd` is the component's eventfd that the
    // worker signals when a hand-over waits; it must outlive this object.
    // Throws EComError "TCOMPORT : cannot open " + portName + CR + reason, and
    // then holds nothing open.
    TCommThread(const std::string& portName, const std::string& path, const TLineSettings& settings,
                int requestFd);

    // Stops the worker (and the modem-line thread) and waits for it to end,
    // discards output not yet written and flushes the driver's queues, gives
    // up the exclusive hold and closes the port. Never waits on the line.
    ~TCommThread();

    TCommThread(const TCommThread&) = delete;
    TCommThread& operator=(const TCommThread&) = delete;

    // Starts the worker thread (and, where the driver keeps modem counters,
    // the modem-line thread). Called once.
    void Start();

    // Asks the worker to end; returns at once. The worker ends even when it
    // waits for an acknowledgement, or has not yet started to wait.
    void Stop();

    // Takes the hand-over that waits in the mailbox, if any.
    std::optional<THandOver> TakeHandOver();

    // Tells the worker that the hand-over it waits on has been handled.
    void Acknowledge();

    // Appends every byte the port holds now to `data`, up to a bound per call
    // so that a fast line cannot hold the caller. Returns false when the port
    // has gone (end of file, or an error other than "nothing to read").
    bool Read(std::string& data);

    // Sends bytes without blocking: writes what the driver takes now and
    // queues the rest behind earlier output, so bytes leave in the order
    // given. Errors of the line are not reported here; a port that has gone
    // shows as a hang-up.
    void Write(std::string_view bytes);

    // Writes as much queued output as the driver takes now (on a Writable
    // hand-over).
    void DrainWrites();

    // The number of bytes queued and not yet taken by the driver.
    std::size_t PendingOutput() const { return queuedBytes_; }

private:
    // Applies the line settings in raw mode and reads them back; throws
    // EComError naming a setting that is not supported or that the driver did
    // not keep.
    void SetParams(const TLineSettings& settings);

    // Empties both directions of the port and lowers DTR, then RTS.
    void ResetLine();

    // The worker thread's body.
    void Execute();

    // Waits, after a hand-over, for the acknowledgement or the stop request.
    // Returns false on the stop request.
    bool AwaitAcknowledge();

    // The modem-line thread's body.
    void WatchModemLines();

    // Stops the modem-line thread and waits for it.
    void StopModemWatch();

    // Throws EComError "TCOMPORT : cannot open " + port name + CR + reason.
    [[noreturn]] void Fail(const std::string& reason) const;

    std::string portName_;
    int fd_ = -1;
    int stopFd_ = -1;
    int wakeFd_ = -1;
    int ackFd_ = -1;
    int requestFd_ = -1;        // not owned
    bool countersKept_ = false; // the driver answers TIOCGICOUNT

    std::thread worker_;
    std::thread modemWatch_;
    int modemWatchDoneFd_ = -1;
    std::atomic<bool> modemWatchStop_{false};
    std::atomic<bool> modemWoke_{false};

    // Shared with the worker thread.
    std::atomic<bool> wantWrite_{false};
    std::mutex mailboxMutex_;
    std::optional<THandOver> mailbox_;

    // User-interface thread only.
    std::deque<std::string> writeQueue_;
    std::size_t writeOffset_ = 0; // bytes of the front entry already written
    std::size_t queuedBytes_ = 0;
};

} // namespace km40r
