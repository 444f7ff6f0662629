// Serial receive throughput through TComPort.
//
// A pseudo-terminal stands in for the device. A writer thread streams random
// bytes into the master end as fast as the terminal takes them; the component
// holds the slave end open in raw mode and its ReceiveCallBack hands every
// chunk to the traffic logs' AppendReceived, as the serial link does. The
// figures are the rate at which bytes reach the logs, the number and mean
// cost of the hand-overs that carried them, and the mean round trip of a
// single byte (device write -> handler on the event thread), which is the
// cost of one hand-over on an idle line.
//
// Usage: serial_throughput [megabytes]   (default 64)
// The last line is: serial_mb_s=X handover_us=X
#include "core/traffic_log.h"
#include "serial/com_port.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <pty.h>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>

using namespace km40r;
using Clock = std::chrono::steady_clock;

namespace {

void WriteAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// Serves events until `done` holds or 60 s have passed.
template <typename F> bool ServeUntil(F done) {
    const QDeadlineTimer deadline(std::chrono::seconds(60));
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 64;
    const std::size_t total = megabytes << 20;
    QCoreApplication app(argc, argv);

    int master = -1;
    int slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }

    // The received side of the traffic logs.
    TrafficLogs logs;
    std::size_t events = 0;

    TComPort port;
    port.Port = name;
    port.Baud = 115200;
    port.ReceiveMode = rmRAW;
    port.ReceiveCallBack = [&](const std::string& data) {
        logs.appendReceived(data);
        ++events;
    };
    port.Open();

    // Streaming: a writer thread feeds the device end as fast as it can.
    std::string block(1 << 20, '\0');
    std::mt19937 random(42);
    for (auto& b : block)
        b = static_cast<char>(random());
    const auto start = Clock::now();
    std::thread writer([&] {
        for (std::size_t sent = 0; sent < total; sent += block.size())
            WriteAll(master, block.data(), std::min(block.size(), total - sent));
    });
    const bool complete = ServeUntil([&] { return logs.receivedBytes() >= total; });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    writer.join();
    if (!complete) {
        std::fprintf(stderr, "only %llu of %zu bytes arrived\n",
                     static_cast<unsigned long long>(logs.receivedBytes()), total);
        return 1;
    }
    const std::string store = logs.log(TrafficLogs::Log::MemoGelen).text();
    if (store.size() != total) {
        std::fprintf(stderr, "the received log holds %zu bytes, not %zu\n", store.size(), total);
        return 1;
    }
    for (std::size_t at = 0; at < total; at += block.size())
        if (store.compare(at, std::min(block.size(), total - at), block, 0,
                          std::min(block.size(), total - at)) != 0) {
            std::fprintf(stderr, "received bytes differ at block %zu\n", at / block.size());
            return 1;
        }
    const double mbPerSecond = static_cast<double>(total) / (1 << 20) / seconds;
    std::printf("streamed %zu MB in %.3f s: %.1f MB/s\n", megabytes, seconds, mbPerSecond);
    std::printf("hand-overs with data: %zu, %.0f bytes each, %.2f us each under load\n", events,
                static_cast<double>(total) / static_cast<double>(events),
                seconds * 1e6 / static_cast<double>(events));

    // Round trips of single bytes on an otherwise idle line.
    constexpr int rounds = 2000;
    logs.clear();
    const auto pingStart = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        const char byte = static_cast<char>(i);
        WriteAll(master, &byte, 1);
        if (!ServeUntil([&] { return logs.receivedBytes() == static_cast<std::uint64_t>(i) + 1; })) {
            std::fprintf(stderr, "a single byte did not arrive\n");
            return 1;
        }
    }
    const double handoverUs =
        std::chrono::duration<double, std::micro>(Clock::now() - pingStart).count() / rounds;
    std::printf("single-byte round trip (device write -> handler): %.2f us\n", handoverUs);

    port.Close();
    close(master);
    close(slave);
    std::printf("serial_mb_s=%.1f handover_us=%.2f\n", mbPerSecond, handoverUs);
    return 0;
}
