#include "churn_support.h"

#include "app/cp1254_qt.h"
#include "net/server_socket.h"
#include "support/serial_support.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace km40r::test::churn {
namespace {

std::vector<int> DescriptorNumbers() {
    std::vector<int> fds;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return fds;
    const int own = dirfd(dir);
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::atoi(entry->d_name);
        if (fd != own)
            fds.push_back(fd);
    }
    closedir(dir);
    return fds;
}

// The local IPv4 port of a TCP socket; -1 for anything else.
int LocalPortOf(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISSOCK(info.st_mode))
        return -1;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
        local.sin_family != AF_INET)
        return -1;
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_STREAM)
        return -1;
    return ntohs(local.sin_port);
}

bool IsListening(int fd) {
    int listening = 0;
    socklen_t length = sizeof listening;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening;
}

} // namespace

int OpenDescriptors() {
    return static_cast<int>(DescriptorNumbers().size());
}

DescriptorLimit::DescriptorLimit(rlim_t wanted) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    if (saved_.rlim_cur >= wanted)
        return;
    rlimit raised = saved_;
    raised.rlim_cur = std::min(wanted, saved_.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &raised);
}

DescriptorLimit::~DescriptorLimit() {
    ::setrlimit(RLIMIT_NOFILE, &saved_);
}

rlim_t DescriptorLimit::soft() const {
    rlimit now{};
    ::getrlimit(RLIMIT_NOFILE, &now);
    return now.rlim_cur;
}

int ListeningSocket(int port) {
    for (int fd : DescriptorNumbers())
        if (LocalPortOf(fd) == port && IsListening(fd))
            return fd;
    return -1;
}

AcceptQueue QueueOf(int listenFd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(listenFd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0 ||
        info.tcpi_state != TCP_LISTEN)
        return {};
    // For a listener, these two report the accept queue.
    return {static_cast<int>(info.tcpi_unacked), static_cast<int>(info.tcpi_sacked)};
}

std::map<int, int> AcceptedSockets(int port) {
    std::map<int, int> byPeerPort;
    for (int fd : DescriptorNumbers()) {
        if (LocalPortOf(fd) != port || IsListening(fd))
            continue;
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0)
            byPeerPort[ntohs(peer.sin_port)] = fd;
    }
    return byPeerPort;
}

bool IsEndedAcceptedSocket(int fd, int port) {
    if (LocalPortOf(fd) != port || IsListening(fd))
        return false;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 && errno == ENOTCONN;
}

int ConnectDevice(int port, int& localPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // A connect that the server never takes gives up instead of hanging.
    const timeval patience{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<std::uint16_t>(port));
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof server) != 0) {
        ::close(fd);
        return -1;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    localPort = ntohs(local.sin_port);
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR)
            return false;
    }
    return true;
}

void ResetAndClose(int fd) {
    const linger now{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &now, sizeof now);
    ::close(fd);
}

std::string TakeAvailable(int fd, bool* ended) {
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            out.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n == 0 && ended != nullptr)
            *ended = true;
        if (n < 0 && errno == EINTR)
            continue;
        return out;
    }
}

std::string ReceiveCount(int fd, std::size_t count, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string out;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd watch{fd, POLLIN, 0};
        if (::poll(&watch, 1, static_cast<int>(left.count())) <= 0)
            continue;
        bool ended = false;
        out += TakeAvailable(fd, &ended);
        if (ended)
            break;
    }
    return out;
}

int EnvCount(const char* name, int fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr)
        return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value > 0 && value < (1L << 30) ? static_cast<int>(value)
                                                                          : fallback;
}

TfMain& ChurnWindowTest::openServer(int timer2Ms) {
    TfMain& w = open();
    w.Timer2->setInterval(timer2Ms);
    // Connected after the window's own handler, so it counts finished ticks.
    QObject::connect(w.Timer2, &QTimer::timeout, w.Timer2, [this] { ++ticks; });
    w.cxmasterport->setText(QStringLiteral("0"));
    QTest::mouseClick(w.btnmasterbaglan, Qt::LeftButton);
    EXPECT_TRUE(w.SS1->Active()) << errors.join('|').toStdString();
    return w;
}

QStringList ChurnWindowTest::listed() const {
    QStringList items;
    for (int i = 0; i < window->cxsocket->count(); ++i)
        items << window->cxsocket->itemText(i);
    return items;
}

QStringList ChurnWindowTest::serverLabels() const {
    QStringList labels;
    for (int i = 0; i < window->SS1->ActiveConnections(); ++i) {
        const TSocketConnection* connection = window->SS1->Connections(i);
        labels << QString::fromStdString(connection->RemoteAddress()) +
                      QStringLiteral(" (%1)").arg(connection->SocketHandle());
    }
    return labels;
}

bool ChurnWindowTest::trafficButtons(bool enabled) const {
    TfMain& w = *window;
    for (QPushButton* b : {w.btngonder, w.btnoku, w.btnyaz, w.btnayarbaslangic, w.btnayarson})
        if (b->isEnabled() != enabled)
            return false;
    return true;
}

int ChurnWindowTest::statusLines(const QString& line) const {
    const std::string text = window->trafficLogs().log(TrafficLogs::Log::MemoGiden).text();
    const std::string needle = ToCp1254(line);
    int count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

int ChurnWindowTest::connectionObjects() const {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return static_cast<int>(window->SS1->findChildren<TSocketConnection*>().size());
}

} // namespace km40r::test::churn
