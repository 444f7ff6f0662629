#include "streaming_device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <numeric>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace km40r::test {

namespace {

constexpr std::size_t kWriteChunk = 64 * 1024;
constexpr std::size_t kReadChunk = 64 * 1024;
// How long a sliced stream waits for the program's next bytes before it
// sends its next slice anyway.
constexpr auto kSliceWait = std::chrono::milliseconds(250);

std::uint64_t SplitMix64(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

} // namespace

ByteStream::ByteStream(std::uint64_t seed) : seed_(seed) {
    std::string values(256, '\0');
    std::iota(values.begin(), values.end(), '\0');
    std::mt19937_64 rng(seed);
    std::shuffle(values.begin(), values.end(), rng);
    prefix_ = values;
    prefix_ += std::string("\r\n\n\r\r\r\n\n\0\r\0\n\0\0\r\n", 16);
}

void ByteStream::Read(std::uint64_t pos, char* out, std::size_t n) {
    while (n > 0) {
        const std::uint64_t index = pos / kBlock;
        if (index != blockIndex_)
            MakeBlock(index);
        const std::size_t at = static_cast<std::size_t>(pos % kBlock);
        const std::size_t take = std::min(n, kBlock - at);
        std::memcpy(out, block_ + at, take);
        out += take;
        pos += take;
        n -= take;
    }
}

void ByteStream::MakeBlock(std::uint64_t index) {
    std::uint64_t state = seed_ ^ (index * 0xD1B54A32D192ED03ull);
    for (std::size_t i = 0; i < kBlock; i += 8) {
        const std::uint64_t z = SplitMix64(state);
        std::memcpy(block_ + i, &z, 8);
    }
    if (index == 0)
        std::memcpy(block_, prefix_.data(), prefix_.size());
    blockIndex_ = index;
}

std::size_t FirstDifference(std::string_view a, std::string_view b) {
    const std::size_t common = std::min(a.size(), b.size());
    const auto [ia, ib] =
        std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(common), b.begin());
    const auto at = static_cast<std::size_t>(ia - a.begin());
    if (at < common || a.size() != b.size())
        return at;
    return std::string_view::npos;
}

std::string DescribeDifference(std::string_view expected, std::string_view actual, std::size_t at,
                               std::uint64_t base) {
    const auto hex = [at](std::string_view bytes) {
        std::string out;
        for (std::size_t i = at; i < bytes.size() && i < at + 16; ++i) {
            char cell[4];
            std::snprintf(cell, sizeof cell, "%02X ",
                          static_cast<unsigned>(static_cast<unsigned char>(bytes[i])));
            out += cell;
        }
        return out.empty() ? std::string("(end)") : out;
    };
    return "first difference at byte " + std::to_string(base + at) + " (expected " +
           std::to_string(expected.size()) + " bytes, got " + std::to_string(actual.size()) +
           "): expected " + hex(expected) + "| got " + hex(actual);
}

StreamingDevice::StreamingDevice(int fd, std::uint64_t seed, std::uint64_t total, bool owned,
                                 std::uint64_t slices)
    : fd_(fd), owned_(owned), seed_(seed), total_(total),
      slices_(std::max<std::uint64_t>(slices, 1)) {
    ::fcntl(fd_, F_SETFL, ::fcntl(fd_, F_GETFL) | O_NONBLOCK);
    struct stat st {};
    socket_ = ::fstat(fd_, &st) == 0 && S_ISSOCK(st.st_mode);
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0)
        throw std::runtime_error("eventfd failed");
}

StreamingDevice::~StreamingDevice() {
    Stop();
    ::close(stopFd_);
    if (owned_)
        ::close(fd_);
}

void StreamingDevice::Start() {
    thread_ = std::thread([this] { Run(); });
}

void StreamingDevice::Stop() {
    if (!thread_.joinable())
        return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stopFd_, &one, sizeof one);
    thread_.join();
}

void StreamingDevice::Fail(const std::string& what) {
    if (failure_.empty())
        failure_ = what + (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
}

bool StreamingDevice::ReadWaiting() {
    char buffer[kReadChunk];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n > 0) {
            received_.append(buffer, static_cast<std::size_t>(n));
            receivedCount_.store(received_.size());
            continue;
        }
        if (n == 0) {
            errno = 0;
            Fail("the program closed the link");
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        Fail("read failed");
        return false;
    }
}

void StreamingDevice::Run() {
    ByteStream stream(seed_);
    std::vector<char> pending(kWriteChunk);
    std::size_t pendingAt = 0;
    std::size_t pendingEnd = 0;
    std::uint64_t made = 0; // stream bytes put into `pending` so far
    std::uint64_t streamed = 0;
    std::uint64_t released = 0;     // slices given to write so far
    std::uint64_t releasedUpTo = 0; // the stream's bytes those slices hold
    std::size_t receivedAtRelease = 0;
    auto lastRelease = Clock::now();
    for (;;) {
        if (!received_.empty() && streamed == releasedUpTo && released < slices_) {
            const bool more = received_.size() > receivedAtRelease;
            if (released == 0 || more || Clock::now() - lastRelease > kSliceWait) {
                ++released;
                releasedUpTo = released == slices_ ? total_ : total_ / slices_ * released;
                receivedAtRelease = received_.size();
                lastRelease = Clock::now();
            }
        }
        const bool writing = streamed < releasedUpTo;
        const bool waitingForSlice = !received_.empty() && !writing && streamed < total_;
        pollfd fds[2] = {{fd_, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0},
                         {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, waitingForSlice ? 20 : -1) < 0) {
            if (errno == EINTR)
                continue;
            Fail("poll failed");
            return;
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !ReadWaiting())
            return;
        if (fds[0].revents & POLLOUT) {
            if (pendingAt == pendingEnd) {
                pendingAt = 0;
                pendingEnd = static_cast<std::size_t>(
                    std::min<std::uint64_t>(pending.size(), releasedUpTo - made));
                stream.Read(made, pending.data(), pendingEnd);
                made += pendingEnd;
            }
            const char* data = pending.data() + pendingAt;
            const std::size_t size = pendingEnd - pendingAt;
            const ssize_t n =
                socket_ ? ::send(fd_, data, size, MSG_NOSIGNAL) : ::write(fd_, data, size);
            if (n > 0) {
                if (streamed == 0)
                    streamStart_ = Clock::now();
                pendingAt += static_cast<std::size_t>(n);
                streamed += static_cast<std::uint64_t>(n);
                streamed_.store(streamed);
            } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                Fail("write failed");
                return;
            }
        }
        if (fds[1].revents & POLLIN) {
            ReadWaiting();
            return;
        }
    }
}

} // namespace km40r::test
