// The simulated device on its transports: TCP connections it accepts, TCP
// connections it makes, and a pseudo-terminal.
//
// Principles of operation:
//   - Everything runs on the one thread of the Qt event loop. A Peer is one
//     connection to the program: it feeds what it receives to its own
//     DeviceSession, writes the answers back, and logs one line per received
//     chunk and one per exchange. Peers that stand for the same device share
//     one SettingStore: every connection accepted by --listen, and the
//     pseudo-terminal. Each device of --connect has a store of its own.
//   - With a stream rate, one timer hands every peer the bytes due since the
//     last tick (a fraction carries over, so low rates work too). A peer whose
//     unsent output has grown beyond a limit skips the tick: the rate falls
//     instead of the memory growing, and the sequence continues without a
//     gap, because the generator only advances by what is sent.
//   - The pseudo-terminal keeps its own slave descriptor open, in raw mode,
//     so the program can open, close and reopen the slave path while the
//     simulator runs, and nothing is echoed back.
#pragma once

#include "device_protocol.h"
#include "test_pattern.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace km40r::sim {

// Lines of the log: "hh:mm:ss.zzz [peer] text", UTF-8, flushed at once.
class Log {
public:
    // Writes to `out`, which the caller keeps open.
    explicit Log(std::FILE* out) : out_(out) {}
    // One line; `peer` may be empty.
    void line(const std::string& peer, const std::string& utf8);

private:
    std::FILE* out_;
};

struct SimulatorOptions {
    std::string startText{kDefaultStartText}; // code page 1254; empty: none
    double streamRate = 0;                    // bytes per second; 0: no stream
    Pattern pattern = Pattern::Text;
};

class Peer;

class Simulator {
public:
    // `store` holds the device's settings as they start (from the catalogue,
    // or accepting any code).
    Simulator(SimulatorOptions options, SettingStore store, Log& log);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Listens on address:port for connections, each to the same device.
    // Returns the address actually listened on as "ADDR:PORT". Throws
    // std::runtime_error when the port cannot be opened.
    std::string listen(const QHostAddress& address, quint16 port);

    // Connects `count` devices to host:port. When none of them is connected
    // any longer, calls `finished` with 0, or with 1 when some device could
    // not connect.
    void connectTo(const QString& host, quint16 port, int count, std::function<void(int)> finished);

    // Opens a pseudo-terminal and serves the device on it; returns the path
    // of its slave side. Throws std::runtime_error when none can be opened.
    std::string openPty();

private:
    void addPeer(std::unique_ptr<Peer> peer);
    // Removes a peer once the current event has been handled.
    void removePeer(Peer* peer);
    void streamTick();

    SimulatorOptions options_;
    std::shared_ptr<SettingStore> store_;
    Log& log_;
    QObject context_;
    QTcpServer server_;
    QTimer streamTimer_;
    QElapsedTimer streamClock_;
    std::vector<std::unique_ptr<Peer>> peers_;
    int devicesLeft_ = 0;
    bool deviceFailed_ = false;
};

} // namespace km40r::sim
