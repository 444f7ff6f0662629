// The server link under constant churn: devices come and go at random
// moments against Timer2's ticks while the window serves its events, and
// afterwards the list, the logs, the error boxes, the descriptors and the
// connection objects are exactly what the devices that are left account for.
//
// A thread of the test plays the devices with plain sockets, following a
// plan drawn from a seed: some leave right after connecting, some send
// bytes first (two of them megabytes), some reset, some send and then
// reset, some half-close and wait for the server to close, some stay a while
// (a known handful stay to the end). Timer2 keeps its handler and ticks every few milliseconds. The
// window runs its event loop on the main thread, as the program does.
//
// KM40R_CHURN_CYCLES sets the number of connections (10000 by default),
// KM40R_CHURN_SEED repeats a plan; the seed is printed.
#include "churn_support.h"

#include "app/globals.h"
#include "net/server_socket.h"
#include "support/serial_support.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <poll.h>
#include <random>
#include <set>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace km40r;
using namespace km40r::test;
using namespace km40r::test::churn;

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStayToTheEnd = 5;
// Devices that send more than the server reads at one notification (1 MiB)
// and leave at once.
constexpr int kFloods = 2;

enum class Kind { Quick, Talk, Reset, TalkThenReset, HalfClose, Stay };

bool IsReset(Kind kind) {
    return kind == Kind::Reset || kind == Kind::TalkThenReset;
}

// One device's life.
struct Cycle {
    Kind kind = Kind::Quick;
    std::string payload; // sent right after connecting; may be empty
    std::string parting; // Stay: sent just before leaving; may be empty
    int leaveAt = -1;    // Stay: leaves before this cycle; -1: stays to the end
    int pauseUs = 0;     // before the cycle
};

// A payload that names its cycle and can be told apart in the log:
// "[<cycle>.<small letters>]". It arrives in one piece.
std::string Payload(int cycle, std::mt19937_64& random) {
    std::string text = "[" + std::to_string(cycle) + ".";
    const int length = std::uniform_int_distribution<int>(80, 160)(random);
    for (int i = 0; i < length; ++i)
        text += static_cast<char>('a' + random() % 26);
    return text + "]";
}

// The megabytes of flood k: capital letters of its own half of the alphabet.
// They arrive in pieces, between which other devices' payloads may land.
std::string Flood(int k, std::mt19937_64& random) {
    std::string text(std::uniform_int_distribution<std::size_t>(3 << 19, 3 << 20)(random), '\0');
    for (char& c : text)
        c = static_cast<char>('A' + 13 * k + random() % 13);
    return text;
}

std::vector<Cycle> Plan(int cycles, std::mt19937_64& random) {
    // Weights of Quick, Talk, Reset, TalkThenReset, HalfClose, Stay.
    std::discrete_distribution<int> kinds({30, 24, 2, 1, 18, 25});
    std::uniform_int_distribution<int> percent(0, 99);
    std::vector<Cycle> plan(static_cast<std::size_t>(cycles));
    for (int i = 0; i < cycles; ++i) {
        Cycle& c = plan[static_cast<std::size_t>(i)];
        c.kind = static_cast<Kind>(kinds(random));
        const bool talks =
            c.kind == Kind::Talk || c.kind == Kind::TalkThenReset ||
            ((c.kind == Kind::HalfClose || c.kind == Kind::Stay) && percent(random) < 50);
        if (talks)
            c.payload = Payload(i, random);
        if (c.kind == Kind::Stay) {
            c.leaveAt = i + 1 + std::uniform_int_distribution<int>(0, 60)(random);
            if (percent(random) < 30)
                c.parting = Payload(i, random);
        }
        c.pauseUs = percent(random) < 70 ? 0 : std::uniform_int_distribution<int>(1, 300)(random);
    }
    for (int k = 0; k < kStayToTheEnd && k < cycles; ++k) {
        Cycle& c = plan[std::uniform_int_distribution<std::size_t>(0, plan.size() - 1)(random)];
        if (c.kind == Kind::Stay && c.leaveAt < 0) {
            --k; // already one of them
            continue;
        }
        c = Cycle{Kind::Stay, c.payload, {}, -1, c.pauseUs};
    }
    for (int k = 0; k < kFloods && k < cycles; ++k) {
        const int i = std::uniform_int_distribution<int>(0, cycles - 1)(random);
        Cycle& c = plan[static_cast<std::size_t>(i)];
        if (c.kind == Kind::Stay && c.leaveAt < 0)
            continue; // one of the handful stays as it is
        c = Cycle{Kind::Talk, Flood(k, random), {}, -1, c.pauseUs};
    }
    return plan;
}

// The devices: runs the plan on a thread of its own. Touches nothing of the
// window; reads only the server's accept queue, through the system.
class Devices {
public:
    Devices(const std::vector<Cycle>& plan, int port, int listenFd)
        : ports(plan.size(), 0), plan_(plan), port_(port), listenFd_(listenFd) {}
    ~Devices() {
        for (int fd : halfClosed_)
            ::close(fd);
        for (const auto& [cycle, fd] : stayToTheEnd)
            ::close(fd);
    }
    Devices(const Devices&) = delete;
    Devices& operator=(const Devices&) = delete;

    void run() {
        struct Staying {
            int fd;
            int cycle;
        };
        std::vector<Staying> staying;
        for (int i = 0; i < static_cast<int>(plan_.size()) && failure.empty() && !stop; ++i) {
            const Cycle& c = plan_[static_cast<std::size_t>(i)];
            if (c.pauseUs > 0)
                std::this_thread::sleep_for(std::chrono::microseconds(c.pauseUs));
            for (auto it = staying.begin(); it != staying.end();) {
                const Cycle& s = plan_[static_cast<std::size_t>(it->cycle)];
                if (s.leaveAt >= 0 && s.leaveAt <= i) {
                    leave(it->fd, s.parting);
                    it = staying.erase(it);
                } else {
                    ++it;
                }
            }
            checkHalfClosed();
            if (!roomInQueue())
                break;
            int localPort = 0;
            const int fd = ConnectDevice(port_, localPort);
            if (fd < 0) {
                fail("connect of cycle " + std::to_string(i) + ": " + std::strerror(errno));
                break;
            }
            ports[static_cast<std::size_t>(i)] = localPort;
            if (!c.payload.empty() && !SendAll(fd, c.payload))
                fail("send of cycle " + std::to_string(i) + ": " + std::strerror(errno));
            switch (c.kind) {
            case Kind::Quick:
            case Kind::Talk:
                ::close(fd);
                break;
            case Kind::Reset:
            case Kind::TalkThenReset:
                ResetAndClose(fd);
                break;
            case Kind::HalfClose:
                ::shutdown(fd, SHUT_WR);
                halfClosed_.push_back(fd);
                break;
            case Kind::Stay:
                if (c.leaveAt < 0)
                    stayToTheEnd[i] = fd;
                else
                    staying.push_back({fd, i});
                break;
            }
        }
        for (const Staying& s : staying)
            leave(s.fd, plan_[static_cast<std::size_t>(s.cycle)].parting);
        // The half-closed ones wait until the server has closed them.
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (!halfClosed_.empty() && failure.empty() && !stop) {
            if (Clock::now() > deadline)
                fail(std::to_string(halfClosed_.size()) + " half-closed devices never closed");
            std::vector<pollfd> watch;
            for (int fd : halfClosed_)
                watch.push_back({fd, POLLIN, 0});
            ::poll(watch.data(), watch.size(), 100);
            checkHalfClosed();
        }
        finished = true;
    }

    std::vector<int> ports;          // each cycle's device port
    std::map<int, int> stayToTheEnd; // cycle -> descriptor
    std::string failure;
    std::atomic<bool> finished{false};
    std::atomic<bool> stop{false}; // the test gives up

private:
    void fail(const std::string& what) {
        if (failure.empty())
            failure = what;
    }
    void leave(int fd, const std::string& parting) {
        if (!TakeAvailable(fd).empty())
            fail("a device that was never chosen received bytes");
        if (!parting.empty() && !SendAll(fd, parting))
            fail(std::string("parting send: ") + std::strerror(errno));
        ::close(fd);
    }
    void checkHalfClosed() {
        for (auto it = halfClosed_.begin(); it != halfClosed_.end();) {
            bool ended = false;
            if (!TakeAvailable(*it, &ended).empty())
                fail("a half-closed device received bytes");
            if (ended) {
                ::close(*it);
                it = halfClosed_.erase(it);
            } else {
                ++it;
            }
        }
    }
    // Waits until the accept queue has room for one more without
    // overflowing; false (with the failure noted) when it never has.
    bool roomInQueue() {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        while (QueueOf(listenFd_).waiting >= TServerSocket::kListenQueue - 1) {
            if (Clock::now() > deadline || stop) {
                fail("the server stopped accepting");
                return false;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(20)); // polling interval
        }
        return true;
    }

    const std::vector<Cycle>& plan_;
    int port_;
    int listenFd_;
    std::vector<int> halfClosed_;
};

// Sorts the received bytes into the payloads, whole, in the order they
// arrived, and the floods' bytes, by flood; false when there is anything
// else.
bool SplitPayloads(const std::string& bytes, std::vector<std::string>& payloads,
                   std::vector<std::string>& floods) {
    floods.assign(kFloods, {});
    std::size_t at = 0;
    while (at < bytes.size()) {
        const char c = bytes[at];
        if (c == '[') {
            const std::size_t end = bytes.find(']', at);
            if (end == std::string::npos)
                return false;
            payloads.push_back(bytes.substr(at, end + 1 - at));
            at = end + 1;
        } else if (c >= 'A' && c < 'A' + 13 * kFloods) {
            floods[static_cast<std::size_t>((c - 'A') / 13)] += c;
            ++at;
        } else {
            return false;
        }
    }
    return true;
}

using ChurnCycles = ChurnWindowTest;

} // namespace

TEST_F(ChurnCycles, DevicesComeAndGoAtRandomAgainstTimer2) {
    const int cycles = std::max(EnvCount("KM40R_CHURN_CYCLES", 10000), 4 * kStayToTheEnd);
    const char* seedText = std::getenv("KM40R_CHURN_SEED");
    const std::uint64_t seed =
        seedText != nullptr ? std::strtoull(seedText, nullptr, 10) : std::random_device{}();
    std::printf("churn: seed=%llu (KM40R_CHURN_SEED repeats the plan)\n",
                static_cast<unsigned long long>(seed));
    RecordProperty("seed", std::to_string(seed));
    std::mt19937_64 random(seed);
    const std::vector<Cycle> plan = Plan(cycles, random);
    const int timer2Ms = std::uniform_int_distribution<int>(2, 12)(random);
    int resets = 0;
    std::vector<std::string> payloads;
    std::vector<std::string> floods(kFloods); // by alphabet; empty when none came
    for (const Cycle& c : plan) {
        resets += IsReset(c.kind) ? 1 : 0;
        for (const std::string* p : {&c.payload, &c.parting}) {
            if (p->empty())
                continue;
            if (p->front() == '[')
                payloads.push_back(*p);
            else
                floods[static_cast<std::size_t>((p->front() - 'A') / 13)] = *p;
        }
    }
    DescriptorLimit limit(static_cast<rlim_t>(resets) + 1024);

    TfMain& w = openServer(timer2Ms);
    ServePendingEvents();
    const int baseline = OpenDescriptors(); // with the listening socket
    const int port = w.SS1->LocalPort();
    const int listenFd = ListeningSocket(port);
    ASSERT_GE(listenFd, 0);
    ASSERT_EQ(QueueOf(listenFd).limit, TServerSocket::kListenQueue);

    // Whenever the list is refreshed, by an event or by a tick that saw the
    // count change, it shows the server's connections, the first selected.
    // Every tick's refresh and every eighth event's is compared entry by
    // entry; the other events' by the count and the ends, which is cheaper.
    int checks = 0;
    QString firstWrong;
    const auto check = [&](const char* when, bool whole) {
        ++checks;
        if (!firstWrong.isEmpty())
            return;
        const int n = w.SS1->ActiveConnections();
        const auto labelAt = [&](int i) {
            const TSocketConnection* c = w.SS1->Connections(i);
            return QString::fromStdString(c->RemoteAddress()) +
                   QStringLiteral(" (%1)").arg(c->SocketHandle());
        };
        bool right = w.cxsocket->count() == n &&
                     w.cxsocket->currentText() == (n > 0 ? labelAt(0) : QString());
        whole = whole || checks % 8 == 0;
        for (int i = whole ? 0 : std::max(n - 1, 0); right && i < n; ++i)
            right = w.cxsocket->itemText(i) == labelAt(i);
        if (!right)
            firstWrong =
                QStringLiteral("after %1 %2: list [%3] current '%4', connections [%5]")
                    .arg(when)
                    .arg(checks)
                    .arg(listed().join(','), w.cxsocket->currentText(), serverLabels().join(','));
    };
    const TSocketNotifyEvent onConnect = w.SS1->OnClientConnect;
    const TSocketNotifyEvent onDisconnect = w.SS1->OnClientDisconnect;
    w.SS1->OnClientConnect = [&](QObject* sender, TSocketConnection* socket) {
        onConnect(sender, socket);
        check("a connect event", false);
    };
    w.SS1->OnClientDisconnect = [&](QObject* sender, TSocketConnection* socket) {
        onDisconnect(sender, socket);
        check("a disconnect event", false);
    };
    int seen = LastConnectionCount;
    int refreshingTicks = 0;
    const QMetaObject::Connection tickProbe =
        QObject::connect(w.Timer2, &QTimer::timeout, w.Timer2, [&] {
            if (LastConnectionCount == seen)
                return;
            seen = LastConnectionCount;
            ++refreshingTicks;
            check("a tick", true);
            if (seen == 0 && firstWrong.isEmpty() && !trafficButtons(false))
                firstWrong = "a tick that saw no connection left the traffic buttons on";
        });
    QTimer user; // the user's clicks, below
    // The probes go before what they refer to, however the test ends.
    const AtExit unhook([&] {
        w.SS1->OnClientConnect = onConnect;
        w.SS1->OnClientDisconnect = onDisconnect;
        QObject::disconnect(tickProbe);
        user.stop();
    });

    // Meanwhile the user keeps sending framed exchanges to a device that
    // stays throughout, choosing it by its label each time. The pauses of
    // each exchange serve the churn's events and Timer2's ticks, whose
    // refreshes select the first entry again: another device that stays
    // throughout and must hear nothing. The exchange stays with the device
    // it chose.
    int firstPort = 0;
    const int first = ConnectDevice(port, firstPort);
    ASSERT_GE(first, 0);
    int witnessPort = 0;
    const int witness = ConnectDevice(port, witnessPort);
    ASSERT_GE(witness, 0);
    ASSERT_TRUE(WaitUntil([&] { return w.SS1->ActiveConnections() == 2; }));
    const QString firstLabel = label(AcceptedSockets(port).at(firstPort));
    const QString witnessLabel = label(AcceptedSockets(port).at(witnessPort));
    w.chcrlf->setChecked(false);
    w.chhex->setChecked(false);
    w.chbaslangic->setChecked(true);
    w.cxbaslangic->setText("<BASLA>");
    w.chexit->setChecked(true);
    w.cxveri->setText("ping");
    w.Timer1->setInterval(5); // the pauses, two ticks each, come round faster
    int exchanges = 0;
    bool churning = true;
    std::mt19937_64 userRandom(seed + 1);
    user.setSingleShot(true);
    QObject::connect(&user, &QTimer::timeout, [&] {
        if (!churning)
            return;
        w.cxsocket->setEditText(witnessLabel);
        QTest::mouseClick(w.btngonder, Qt::LeftButton);
        ++exchanges;
        user.start(std::uniform_int_distribution<int>(0, 40)(userRandom));
    });

    const auto start = Clock::now();
    Devices devices(plan, port, listenFd);
    std::thread thread([&] { devices.run(); });
    user.start(0);
    const bool finished =
        WaitUntil([&] { return devices.finished.load(); }, std::chrono::seconds(300));
    churning = false;
    devices.stop = true;
    thread.join();
    ASSERT_TRUE(finished);
    ASSERT_EQ(devices.failure, "");
    const double churnSeconds = std::chrono::duration<double>(Clock::now() - start).count();

    // Left: the user's two devices, the handful that stay, and the reset
    // ones, which the program keeps until a send to them fails or the server
    // is closed; each reset showed its box.
    const int left = 2 + kStayToTheEnd + resets;
    ASSERT_TRUE(WaitUntil([&] {
        return w.SS1->ActiveConnections() == left && errors.size() >= resets &&
               statusLines(kLeft) == cycles + 2 - left;
    })) << w.SS1->ActiveConnections()
        << " connections, " << errors.size() << " boxes, " << statusLines(kLeft)
        << " departures; expected " << left << ", " << resets << ", " << cycles + 2 - left;
    EXPECT_EQ(errors, QStringList(static_cast<qsizetype>(resets),
                                  QStringLiteral("Asynchronous socket error 10054.")));
    EXPECT_EQ(statusLines(kArrived), cycles + 2);
    EXPECT_EQ(firstWrong, "");
    // Every exchange reached the user's device whole.
    std::string exchanged;
    for (int i = 0; i < exchanges; ++i)
        exchanged += "<BASLA>ping<EXIT>";
    EXPECT_EQ(ReceiveCount(witness, exchanged.size()), exchanged);
    EXPECT_EQ(TakeAvailable(first), "");
    EXPECT_GT(exchanges, 0);

    // Every byte that the devices sent was logged, each payload whole.
    std::string received;
    w.trafficLogs().copyReceived(0, w.trafficLogs().receivedBytes(), received);
    std::vector<std::string> logged;
    std::vector<std::string> floodsLogged;
    ASSERT_TRUE(SplitPayloads(received, logged, floodsLogged))
        << "the received bytes are not whole payloads and floods";
    std::sort(logged.begin(), logged.end());
    std::sort(payloads.begin(), payloads.end());
    EXPECT_TRUE(logged == payloads) << logged.size() << " payloads logged of " << payloads.size();
    for (std::size_t k = 0; k < floods.size(); ++k)
        EXPECT_TRUE(floodsLogged[k] == floods[k]) << "flood " << k << ": " << floodsLogged[k].size()
                                                  << " bytes logged of " << floods[k].size();

    // One of the handful leaves; the tick that sees it lists exactly those
    // left, in the order they came: the others of the handful by the socket
    // that serves each, and a reset connection's socket where one came.
    ASSERT_TRUE(WaitUntil([&] { return LastConnectionCount == left; }));
    const auto parting = devices.stayToTheEnd.begin();
    ::close(parting->second);
    devices.stayToTheEnd.erase(parting);
    ASSERT_TRUE(WaitUntil([&] { return LastConnectionCount == left - 1; }));
    const std::map<int, int> serverSide = AcceptedSockets(port);
    ASSERT_EQ(serverSide.size(), 2 + devices.stayToTheEnd.size()); // and the user's two
    const QStringList list = listed();
    ASSERT_EQ(list.size(), left - 1);
    QStringList resetLabels;
    QStringList stayers;
    std::vector<int> stayerFds;
    std::set<int> resetFds;
    EXPECT_EQ(list[0], firstLabel);
    EXPECT_EQ(list[1], witnessLabel);
    int position = 2;
    for (int i = 0; i < cycles; ++i) {
        const Cycle& c = plan[static_cast<std::size_t>(i)];
        if (IsReset(c.kind)) {
            const QString& entry = list[position++];
            const int fd = entry.section('(', 1).section(')', 0, 0).toInt();
            EXPECT_TRUE(entry == label(fd) && IsEndedAcceptedSocket(fd, port) &&
                        resetFds.insert(fd).second)
                << "entry " << position - 1 << " '" << entry.toStdString()
                << "' is no reset connection of cycle " << i;
            resetLabels << entry;
        } else if (devices.stayToTheEnd.count(i) != 0) {
            const int devicePort = devices.ports[static_cast<std::size_t>(i)];
            ASSERT_EQ(serverSide.count(devicePort), 1u);
            EXPECT_EQ(list[position++], label(serverSide.at(devicePort))) << "cycle " << i;
            stayers << list[position - 1];
            stayerFds.push_back(devices.stayToTheEnd[i]);
        }
    }
    EXPECT_EQ(w.cxsocket->currentText(), list.value(0));

    // A send goes to the device whose entry is shown, and to no other.
    w.chbaslangic->setChecked(false);
    w.chexit->setChecked(false);
    w.cxsocket->setCurrentIndex(static_cast<int>(list.indexOf(stayers.last())));
    w.cxveri->setText("still there?");
    QTest::mouseClick(w.btngonder, Qt::LeftButton);
    EXPECT_EQ(ReceiveCount(stayerFds.back(), 12), "still there?");
    for (std::size_t i = 0; i + 1 < stayerFds.size(); ++i)
        EXPECT_EQ(TakeAvailable(stayerFds[i]), "");

    // The rest of the handful leave, and the user's two devices: the reset
    // connections alone are left, each holding its socket until the server
    // is closed.
    for (const auto& [cycle, fd] : devices.stayToTheEnd)
        ::close(fd);
    devices.stayToTheEnd.clear();
    ::close(witness);
    ::close(first);
    ASSERT_TRUE(WaitUntil([&] { return LastConnectionCount == resets; }));
    EXPECT_EQ(listed(), resetLabels);
    EXPECT_EQ(connectionObjects(), resets);
    EXPECT_EQ(OpenDescriptors(), baseline + resets);

    // "Pasif" closes them quietly; the next tick empties the list.
    QTest::mouseClick(w.btnmasterkes, Qt::LeftButton);
    ASSERT_TRUE(WaitUntil([&] { return LastConnectionCount == 0; }));
    EXPECT_EQ(listed(), QStringList{});
    EXPECT_EQ(w.cxsocket->currentText(), "");
    EXPECT_TRUE(trafficButtons(false));
    EXPECT_EQ(connectionObjects(), 0);
    EXPECT_EQ(OpenDescriptors(), baseline - 1); // the listening socket closed too
    EXPECT_EQ(errors.size(), resets) << errors.join('|').toStdString();
    EXPECT_EQ(firstWrong, "");

    std::printf("churn: cycles=%d resets=%d payloads=%zu flood_bytes=%zu exchanges=%d timer2_ms=%d "
                "ticks=%d "
                "refreshing_ticks=%d list_checks=%d churn_s=%.3f fds_left=%d\n",
                cycles, resets, payloads.size(), floods[0].size() + floods[1].size(), exchanges,
                timer2Ms, ticks, refreshingTicks, checks, churnSeconds,
                OpenDescriptors() - (baseline - 1));
}
