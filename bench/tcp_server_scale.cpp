// Measures the TCP server link under many devices.
//
// N devices (default 1000) connect to the server link of a real main window
// (offscreen, with the sample catalogue), each sends 1 KiB of random bytes,
// and then all disconnect. The devices run on a thread of their own with
// plain blocking sockets on 127.0.0.1; the window runs its event loop on the
// main thread as the program does. A device connects only while fewer than
// four earlier devices wait to be accepted, so the server's queue of 5
// never overflows (an overflowing queue drops the connection request and the
// device's system retries a second later, which would measure the retry, not
// the program).
//
// Prints the time until every device is accepted and listed in the combo,
// the time until every byte is in the logs, the time until every device is
// gone from the list (after one Timer2 check), the peak resident memory, and
// the descriptors left open beyond those before the devices came. Raises the
// descriptor limit when 2N descriptors would not fit.
//
// Usage: tcp_server_scale [N]
//
// Last line: devices=N accept_list_s=X all_logged_s=X peak_rss_mb=X fds_left=N
#include "app/application.h"
#include "app/error_box.h"
#include "app/main_window.h"
#include "core/settings_file.h"
#include "net/server_socket.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <netinet/in.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace km40r;

namespace {

constexpr int kBytesPerDevice = 1024;
constexpr int kWaitingAtMost = 4;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int openDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(dir);
    }
    return count - 1; // the directory's own
}

double peakResidentMb() {
    std::ifstream in("/proc/self/status");
    std::string key;
    while (in >> key) {
        if (key == "VmHWM:") {
            double kb = 0;
            in >> kb;
            return kb / 1024.0;
        }
        std::getline(in, key);
    }
    return 0;
}

void raiseDescriptorLimit(int devices) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t wanted = static_cast<rlim_t>(devices) * 2 + 256;
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min(wanted, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// Serves the window's events until done holds; false after a minute.
bool serveUntil(const std::function<bool()>& done) {
    const auto deadline = Clock::now() + std::chrono::minutes(1);
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

enum class Step { Connect, Send, Close, Done };

// The devices' thread: connects, sends and closes when told.
class Devices {
public:
    Devices(int count, int port) : count_(count), port_(port) {}

    void run(std::atomic<int>& accepted, std::atomic<Step>& step, std::atomic<bool>& failed) {
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(static_cast<std::uint16_t>(port_));
        server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        std::uint64_t random = 0x9E3779B97F4A7C15ull;
        for (int i = 0; i < count_; ++i) {
            while (i - accepted.load() >= kWaitingAtMost && !failed.load())
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            if (fd < 0 ||
                ::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
                std::perror("device connect");
                failed = true;
                return;
            }
            fds_.push_back(fd);
        }
        while (step.load() != Step::Send)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        std::string data(kBytesPerDevice, '\0');
        for (int fd : fds_) {
            for (char& c : data) {
                random ^= random << 13;
                random ^= random >> 7;
                random ^= random << 17;
                c = static_cast<char>(random);
            }
            if (::send(fd, data.data(), data.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(data.size())) {
                std::perror("device send");
                failed = true;
            }
        }
        while (step.load() != Step::Close)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        for (int fd : fds_)
            ::close(fd);
        fds_.clear();
        step = Step::Done;
    }

private:
    int count_;
    int port_;
    std::vector<int> fds_;
};

} // namespace

int main(int argc, char** argv) {
    const int devices = argc > 1 ? std::atoi(argv[1]) : 1000;
    if (devices <= 0) {
        std::fprintf(stderr, "usage: tcp_server_scale [N]\n");
        return 2;
    }
    raiseDescriptorLimit(devices);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Application app(argc, argv);
    QTemporaryDir dir;
    SetExecutablePath((dir.path() + QStringLiteral("/km40r")).toStdString());
    QFile::copy(QStringLiteral(SAMPLE_CATALOGUE), dir.path() + QStringLiteral("/km400.kmd"));
    int errorsShown = 0;
    ErrorBox::setRecorder([&](const QString& m) {
        ++errorsShown;
        std::fprintf(stderr, "error: %s\n", qPrintable(m));
    });
    TfMain w;
    w.show();
    QCoreApplication::processEvents();

    w.cxmasterport->setText(QStringLiteral("0"));
    w.btnmasterbaglan->click();
    if (!w.SS1->Active())
        return 1;
    const int fdsBefore = openDescriptors();

    std::atomic<int> accepted{0};
    std::atomic<Step> step{Step::Connect};
    std::atomic<bool> failed{false};
    Devices peers(devices, w.SS1->LocalPort());
    const auto start = Clock::now();
    std::thread thread([&] { peers.run(accepted, step, failed); });

    bool ok = serveUntil([&] {
        accepted = w.SS1->ActiveConnections();
        return failed.load() || (accepted.load() == devices && w.cxsocket->count() == devices);
    });
    const double acceptList = secondsSince(start);
    std::printf("%d devices accepted and listed in %.3f s\n", devices, acceptList);
    w.Timer2Timer(); // a tick sees them all

    step = Step::Send;
    const auto total = static_cast<std::uint64_t>(devices) * kBytesPerDevice;
    ok =
        ok && serveUntil([&] { return failed.load() || w.trafficLogs().receivedBytes() >= total; });
    const double allLogged = secondsSince(start);
    std::printf("%llu bytes logged after %.3f s\n",
                static_cast<unsigned long long>(w.trafficLogs().receivedBytes()), allLogged);

    step = Step::Close;
    ok = ok &&
         serveUntil([&] { return step.load() == Step::Done && w.SS1->ActiveConnections() == 0; });
    w.Timer2Timer();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
    const double allGone = secondsSince(start);
    std::printf("all gone from the list after %.3f s (combo holds %d)\n", allGone,
                w.cxsocket->count());
    thread.join();
    const int fdsLeft = openDescriptors() - fdsBefore;
    ok = ok && !failed.load() && errorsShown == 0 && w.trafficLogs().receivedBytes() == total;

    std::printf("devices=%d accept_list_s=%.3f all_logged_s=%.3f peak_rss_mb=%.1f fds_left=%d\n",
                devices, acceptList, allLogged, peakResidentMb(), fdsLeft);
    return ok ? 0 : 1;
}
