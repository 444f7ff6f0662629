// Helpers of the serial suites: a pseudo-terminal pair standing in for the
// device, waiting for a condition while serving events, and small probes.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace km40r::test {

// A pseudo-terminal pair. The component opens `path` (the slave side); the
// test plays the device on `master`, which is non-blocking. The test's own
// slave descriptor stays open so the test can look at the slave's queues.
class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& path() const { return path_; }
    int master() const { return master_; }
    int slave() const { return slave_; }

    // Writes all bytes to the master end (the device sends them).
    void Send(const std::string& bytes);
    // Reads up to `limit` bytes that wait at the master end (the device
    // receives them).
    std::string Receive(std::size_t limit = 1 << 20);
    // Closes the master end: the device goes away.
    void CloseMaster();
    // Bytes waiting in the slave's input queue (not yet read by the port).
    int SlaveInputQueued() const;
    // Waits, without serving events (so the port reads nothing meanwhile),
    // until the slave's input queue holds `count` bytes; false after a
    // deadline. Bytes sent in one Send then arrive as one chunk.
    bool AwaitSlaveInput(int count) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

// Serves events until `done` holds; false if it still does not hold after
// `limit`.
bool WaitUntil(const std::function<bool()>& done,
               std::chrono::milliseconds limit = std::chrono::seconds(20));

// Serves the events that are pending now, a few rounds.
void ServePendingEvents();

// The number of threads of this process.
int ThreadCount();

// Messages of errors that escaped an event handler, as the event guard of the
// test application recorded them.
std::vector<std::string>& GuardedErrors();

} // namespace km40r::test
