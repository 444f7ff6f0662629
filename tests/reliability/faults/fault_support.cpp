#include "fault_support.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace km40r::test {
namespace {

bool SetImmutable(const std::string& path, bool on, std::string* why = nullptr) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (why)
            *why = std::string("open: ") + std::strerror(errno);
        return false;
    }
    int flags = 0; // the kernel reads and writes an int, whatever the macro says
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    if (!ok && why)
        *why = std::string("FS_IOC_SETFLAGS: ") + std::strerror(errno);
    ::close(fd);
    return ok;
}

bool RefusesNewFiles(const std::string& path) {
    const std::string probe = path + "/.write-probe";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return true;
    ::close(fd);
    ::unlink(probe.c_str());
    return false;
}

} // namespace

ReadOnlyFolder::ReadOnlyFolder(std::string path) : path_(std::move(path)) {
    chmodded_ = ::chmod(path_.c_str(), 0555) == 0;
    how_ = "chmod 0555";
    if (::geteuid() == 0) {
        // Root passes over permissions by its capabilities: this thread, the
        // one the window runs on, gives those up while the object lives.
        permissions_ = std::make_unique<PermissionsBind>();
        std::string why = permissions_->why();
        if (permissions_->binds()) {
            how_ = "chmod 0555, with root's permission capabilities given up by this thread";
        } else if (SetImmutable(path_, true, &why)) {
            immutable_ = true;
            how_ = "immutable attribute";
        } else {
            how_ = "no mechanism as root (" + permissions_->why() + "; " + why + ")";
        }
    }
    binds_ = chmodded_ && (!permissions_ || permissions_->binds() || immutable_) &&
             RefusesNewFiles(path_);
}

ReadOnlyFolder::~ReadOnlyFolder() {
    permissions_.reset();
    if (immutable_)
        SetImmutable(path_, false);
    if (chmodded_)
        ::chmod(path_.c_str(), 0700);
}

FileSizeLimit::FileSizeLimit(std::uint64_t bytes) {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    oldSoft_ = limit.rlim_cur;
    limit.rlim_cur = bytes;
    oldHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::setrlimit(RLIMIT_FSIZE, &limit);
}

FileSizeLimit::~FileSizeLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = oldSoft_;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    std::signal(SIGXFSZ, oldHandler_);
}

PipeRescue::PipeRescue(std::string path) : path_(std::move(path)) {
    thread_ = std::thread([this] {
        std::unique_lock lock(mutex_);
        if (wake_.wait_for(lock, std::chrono::seconds(5), [this] { return done_; }))
            return;
        while (!done_) {
            lock.unlock();
            struct stat st {};
            if (::stat(path_.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
                // Succeeds only while a reader has the pipe open.
                const int fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (fd >= 0) {
                    rescued_ = true;
                    ::close(fd);
                }
            }
            lock.lock();
            wake_.wait_for(lock, std::chrono::milliseconds(5), [this] { return done_; });
        }
    });
}

PipeRescue::~PipeRescue() {
    finish();
}

bool PipeRescue::finish() {
    {
        std::lock_guard lock(mutex_);
        done_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
    return rescued_;
}

std::vector<std::string> FolderEntries(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(path.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

char PatternByte(std::uint64_t position) {
    const std::uint64_t h = (position + 1) * 0x9E3779B97F4A7C15ull;
    return static_cast<char>('a' + (h >> 40) % 26);
}

std::string Pattern(std::uint64_t from, std::size_t count) {
    std::string bytes(count, '\0');
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = PatternByte(from + i);
    return bytes;
}

bool IsPatternPrefix(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] != PatternByte(i))
            return false;
    return true;
}

PatternStream::PatternStream(Sink send, std::size_t piece) : send_(std::move(send)), piece_(piece) {
    timer_.setInterval(1);
    connect(&timer_, &QTimer::timeout, this, [this] { sent_ += send_(Pattern(sent_, piece_)); });
}

std::string Junk(std::uint32_t seed, std::size_t size) {
    std::string bytes(size, '\0');
    std::uint64_t state = seed * 6364136223846793005ull + 1442695040888963407ull;
    for (std::size_t i = 0; i < size; ++i) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        bytes[i] = static_cast<char>(state >> 56);
    }
    return bytes;
}

} // namespace km40r::test
