#include "support/serial_support.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace km40r::test {

PtyPair::PtyPair() {
    char name[256];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    path_ = name;
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyPair::~PtyPair() {
    CloseMaster();
    close(slave_);
}

void PtyPair::Send(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            throw std::runtime_error("write to the master end failed");
    }
}

std::string PtyPair::Receive(std::size_t limit) {
    std::string out(limit, '\0');
    const ssize_t n = read(master_, out.data(), limit);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0)
        close(master_);
    master_ = -1;
}

int PtyPair::SlaveInputQueued() const {
    int n = 0;
    ioctl(slave_, FIONREAD, &n);
    return n;
}

bool PtyPair::AwaitSlaveInput(int count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (SlaveInputQueued() < count) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const QDeadlineTimer deadline(limit);
    // Wakes the wait now and then for conditions that change outside events.
    QTimer tick;
    tick.start(5);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void ServePendingEvents() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

int ThreadCount() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count;
}

std::vector<std::string>& GuardedErrors() {
    static std::vector<std::string> errors;
    return errors;
}

} // namespace km40r::test
