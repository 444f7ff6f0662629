// A streaming device for the no-loss suites: a thread of its own on a plain
// descriptor (the master end of a pseudo-terminal, or a TCP socket on
// loopback), so that the program's event loop on the test's thread is what
// is under test.
//
// Principles of operation
//
// The device's data is a ByteStream: pseudo-random bytes made from a seed in
// blocks, so that anyone can regenerate any stretch of it without keeping
// it. Its first bytes are every byte value once, in an order the seed
// chooses, then runs of CR, LF and NUL, so that every value and the line
// breaks appear even in a short stream.
//
// The device thread waits on the descriptor and on a stop eventfd with
// poll(). It reads everything the program writes, as soon as it comes, and
// keeps it. Once the program's first byte has arrived it writes its stream,
// as fast as the descriptor takes it, until `total` bytes are out. A stream
// given in `slices` goes out a slice at a time: each slice as fast as the
// descriptor takes it, the next one once more of the program's bytes have
// arrived (or a quarter of a second has passed without any), so that the
// stream is spread over the program's sends instead of arriving within the
// first one on a fast link. Reading
// never waits for writing, so a program that sends while it receives is never
// held up by the device. Stop() wakes the thread, which reads what is still
// waiting and ends. The counters are atomics, so the test's thread can watch
// the progress while it serves its own events; the received bytes, the
// stream's first-write time and any failure are read after Stop().
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace km40r::test {

class ByteStream {
public:
    explicit ByteStream(std::uint64_t seed);

    // Writes the bytes [pos, pos + n) of the stream to out.
    void Read(std::uint64_t pos, char* out, std::size_t n);

private:
    static constexpr std::size_t kBlock = 4096;
    void MakeBlock(std::uint64_t index);

    std::uint64_t seed_;
    std::string prefix_;
    std::uint64_t blockIndex_ = ~std::uint64_t{0};
    char block_[kBlock];
};

// The offset of the first byte at which a and b differ; the shorter one's
// size when it is the start of the other; npos when they are equal.
std::size_t FirstDifference(std::string_view a, std::string_view b);

// A short account of a difference for a failure message: the offset (plus
// `base`) and up to 16 bytes of each side from there, in hexadecimal.
std::string DescribeDifference(std::string_view expected, std::string_view actual, std::size_t at,
                               std::uint64_t base = 0);

class StreamingDevice {
public:
    using Clock = std::chrono::steady_clock;

    // A device on `fd` (made non-blocking here) that streams `total` bytes of
    // the stream of `seed`, in `slices` slices (at least one); with total 0 it
    // only receives. When `owned` the device closes fd when it is destroyed.
    StreamingDevice(int fd, std::uint64_t seed, std::uint64_t total, bool owned,
                    std::uint64_t slices = 1);
    // Stops the thread if it runs.
    ~StreamingDevice();
    StreamingDevice(const StreamingDevice&) = delete;
    StreamingDevice& operator=(const StreamingDevice&) = delete;

    // Starts the thread.
    void Start();
    // Wakes the thread, which reads what is waiting and ends; waits for it.
    void Stop();

    // Bytes of the stream written so far.
    std::uint64_t Streamed() const { return streamed_.load(); }
    // Bytes received from the program so far.
    std::uint64_t ReceivedCount() const { return receivedCount_.load(); }
    std::uint64_t Total() const { return total_; }

    // After Stop(): everything received, when the stream's first byte was
    // written (unset if none was), and what went wrong ("" when nothing did).
    const std::string& Received() const { return received_; }
    Clock::time_point StreamStart() const { return streamStart_; }
    const std::string& Failure() const { return failure_; }

private:
    void Run();
    // Reads everything waiting; false when the link is gone or failed.
    bool ReadWaiting();
    void Fail(const std::string& what);

    int fd_;
    int stopFd_;
    bool owned_;
    bool socket_ = false;
    std::uint64_t seed_;
    std::uint64_t total_;
    std::uint64_t slices_;
    std::thread thread_;
    std::atomic<std::uint64_t> streamed_{0};
    std::atomic<std::uint64_t> receivedCount_{0};
    std::string received_;
    Clock::time_point streamStart_{};
    std::string failure_;
};

} // namespace km40r::test
