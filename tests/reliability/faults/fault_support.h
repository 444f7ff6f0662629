// Helpers of the fault tests: ways to make a folder refuse writes that bind
// for root too, a limit on the size of files this process writes, devices
// that stream a known byte pattern, and junk bytes.
//
// Root ignores file permissions, and the tests run as root in CI. So a folder
// is made read-only with chmod, and when the process is root the calling
// thread also gives up, while the folder is read-only, the capabilities that
// let root pass over permissions (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH,
// CAP_FOWNER; effective set only, so it can take them back). Where that is
// refused, the immutable attribute serves (the file system must support it,
// and the process must hold CAP_LINUX_IMMUTABLE). The size limit
// (RLIMIT_FSIZE) binds for root as well: a write past it fails with EFBIG, as
// on a full disk.
#pragma once

#include "support/permissions.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace km40r::test {

// Makes a folder refuse every change (new files, renames, removals) while the
// object lives, by whatever binds for this process; gives it back after.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(std::string path);
    ~ReadOnlyFolder();
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    // Whether the folder now refuses changes (checked by trying to create a
    // file in it).
    bool binds() const { return binds_; }
    // How: "chmod 0555" (with the capabilities given up, for root),
    // "immutable attribute", or why nothing binds.
    const std::string& how() const { return how_; }

private:
    std::string path_;
    bool chmodded_ = false;
    bool immutable_ = false;
    std::unique_ptr<PermissionsBind> permissions_; // for root
    bool binds_ = false;
    std::string how_;
};

// Limits the size of files this process writes (RLIMIT_FSIZE) while the
// object lives; a write past the limit fails with EFBIG instead of raising
// SIGXFSZ.
class FileSizeLimit {
public:
    explicit FileSizeLimit(std::uint64_t bytes);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    std::uint64_t oldSoft_ = 0;
    void (*oldHandler_)(int) = nullptr;
};

// Watches a program that may wait for ever on opening a named pipe: once
// five seconds pass before finish(), opens the pipe's writing end, which
// releases a reader waiting on it (and gives it an empty read), so that a
// test fails instead of hanging.
class PipeRescue {
public:
    explicit PipeRescue(std::string path);
    ~PipeRescue();
    PipeRescue(const PipeRescue&) = delete;
    PipeRescue& operator=(const PipeRescue&) = delete;
    // Ends the watch; true when a reader was waiting on the pipe.
    bool finish();

private:
    std::string path_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false;
    std::atomic<bool> rescued_{false};
    std::thread thread_;
};

// The names in a folder, sorted.
std::vector<std::string> FolderEntries(const std::string& path);

// The byte at a position of the pattern devices stream: lower-case letters
// only, so it never holds a line break and any shift shows.
char PatternByte(std::uint64_t position);
std::string Pattern(std::uint64_t from, std::size_t count);
// Whether bytes are the pattern's first bytes.
bool IsPatternPrefix(const std::string& bytes);

// Offers the next piece of the pattern to `send` every millisecond while
// running; `send` returns how many of its bytes it took (a pseudo-terminal
// takes what fits, a socket takes all), and the next piece goes on from there.
class PatternStream : public QObject {
public:
    using Sink = std::function<std::size_t(const std::string&)>;
    explicit PatternStream(Sink send, std::size_t piece = 2048);
    void start() { timer_.start(); }
    void stop() { timer_.stop(); }
    std::uint64_t sent() const { return sent_; }

private:
    Sink send_;
    std::size_t piece_;
    std::uint64_t sent_ = 0;
    QTimer timer_;
};

// Deterministic junk of a given size from a seed: every byte value, NUL and
// 0xFF and lone CR included.
std::string Junk(std::uint32_t seed, std::size_t size);

} // namespace km40r::test

// QStrings in test messages as text.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}
