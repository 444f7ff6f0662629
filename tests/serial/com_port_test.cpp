#include "core/errors.h"
#include "serial/com_port.h"
#include "serial/line_baud.h"
#include "support/serial_support.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <random>
#include <sys/ioctl.h>
#include <termios.h>

using namespace km40r;
using namespace km40r::test;

namespace {

// A component on a pseudo-terminal, counting its events.
struct ComPort : testing::Test {
    PtyPair pty;
    int opened = 0;
    int closed = 0;
    std::vector<std::string> received;
    TComPort port; // destroyed first, while its handlers' targets live

    ComPort() {
        port.Port = pty.path();
        port.OnPortOpen = [this](TComPort* sender) {
            EXPECT_EQ(sender, &port);
            ++opened;
        };
        port.OnPortClose = [this](TComPort* sender) {
            EXPECT_EQ(sender, &port);
            ++closed;
        };
        port.ReceiveCallBack = [this](const std::string& data) { received.push_back(data); };
        GuardedErrors().clear();
    }

    std::string ReceivedBytes() const {
        std::string all;
        for (const auto& chunk : received)
            all += chunk;
        return all;
    }
};

std::string OpenError(TComPort& port) {
    try {
        port.Open();
    } catch (const EComError& e) {
        return e.what();
    }
    return "";
}

std::string RandomBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& b : bytes)
        b = static_cast<char>(random());
    return bytes;
}

termios LineOf(const PtyPair& pty) {
    termios t{};
    tcgetattr(pty.master(), &t); // the master end shows the slave's settings
    return t;
}

} // namespace

TEST(ComPortSettings, DefaultsOfANewComponent) {
    TComPort port;
    EXPECT_EQ(port.Port, "COM1");
    EXPECT_EQ(port.Baud, 9600u);
    EXPECT_EQ(port.DataBits, 8);
    EXPECT_EQ(port.Parity, ptNONE);
    EXPECT_EQ(port.StopBits, sbONE);
    EXPECT_EQ(port.ReceiveMode, rmTERM);
    EXPECT_EQ(port.WinQSizeIn, 8192u);
    EXPECT_EQ(port.WinQSizeOut, 8192u);
    EXPECT_EQ(port.Terminator(), "#13#10");
    EXPECT_FALSE(port.IsOpen());
    // The enumerations keep the platform codes of stored settings.
    EXPECT_EQ(int(ptSPACE), 4);
    EXPECT_EQ(int(snTWO), 2);
    EXPECT_EQ(sizeof(TParity), 1u);
}

TEST_F(ComPort, OpenWriteReceiveCloseInRawMode) {
    port.ReceiveMode = rmRAW;
    // A first period lets the process start the threads it starts only once
    // (a sanitizer's, for one).
    port.Open();
    port.Close();
    opened = closed = 0;
    const int threadsBefore = ThreadCount();
    port.Open();
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(opened, 1);
    const int threadsOpen = ThreadCount();
    EXPECT_GT(threadsOpen, threadsBefore);

    // A second Open changes nothing and starts no second worker.
    port.Open();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(ThreadCount(), threadsOpen);

    // Bytes of every value go out as written...
    std::string all(256, '\0');
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<char>(i);
    port.Write(all);
    port.Write("");
    std::string atDevice;
    ASSERT_TRUE(WaitUntil([&] {
        atDevice += pty.Receive();
        return atDevice.size() >= all.size();
    }));
    EXPECT_EQ(atDevice, all);

    // ... and come in as sent, on this thread, untouched by the line discipline.
    const std::string sent("AB\r\nC\0\xFF\x03\x11\x13", 10);
    pty.Send(sent);
    ASSERT_TRUE(WaitUntil([&] { return ReceivedBytes().size() >= sent.size(); }));
    EXPECT_EQ(ReceivedBytes(), sent);

    port.Close();
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsBefore; }));
    port.Close();
    EXPECT_EQ(closed, 1);

    // After Close nothing is sent and nothing arrives.
    received.clear();
    port.Write("late");
    pty.Send("more");
    ServePendingEvents();
    EXPECT_EQ(pty.Receive(), "");
    EXPECT_TRUE(received.empty());
}

TEST_F(ComPort, NoEventOfAPeriodAfterItsClose) {
    port.ReceiveMode = rmRAW;
    port.Open();
    // Bytes arrive and the worker hands them over, but this thread closes the
    // port before it serves the hand-over.
    pty.Send("x");
    ASSERT_TRUE(pty.AwaitSlaveInput(1));
    port.Close();
    ServePendingEvents();
    EXPECT_TRUE(received.empty());
    EXPECT_EQ(closed, 1);

    // The next period starts clean and works.
    port.Open();
    pty.Send("y");
    ASSERT_TRUE(WaitUntil([&] { return !received.empty(); }));
    EXPECT_EQ(ReceivedBytes(), "y");
}

TEST_F(ComPort, TerminatorModeDeliversEveryCompletePiece) {
    port.Open();
    // Two complete pieces in one chunk both go out at once; the rest waits.
    pty.Send("AB\r\nCD\r\nE");
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= 2 && port.LineBuffer() == "E"; }));
    EXPECT_EQ(received, (std::vector<std::string>{"AB\r\n", "CD\r\n"}));

    // A terminator split across two chunks is found when its end arrives.
    pty.Send("F\r");
    ASSERT_TRUE(WaitUntil([&] { return port.LineBuffer() == "EF\r"; }));
    EXPECT_EQ(received.size(), 2u);
    pty.Send("\nG");
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= 3 && port.LineBuffer() == "G"; }));
    EXPECT_EQ(received.back(), "EF\r\n");

    // The line buffer survives Close and Open, and a change of terminator.
    port.Close();
    port.Open();
    port.SetTerminator("#59");
    pty.Send("H;I;");
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= 5; }));
    EXPECT_EQ(received[3], "GH;");
    EXPECT_EQ(received[4], "I;");
    EXPECT_EQ(port.LineBuffer(), "");

    // Without a ReceiveCallBack bytes are read and dropped.
    port.ReceiveCallBack = nullptr;
    pty.Send("lost;");
    ASSERT_TRUE(WaitUntil([&] { return pty.SlaveInputQueued() == 0; }));
    ServePendingEvents();
    EXPECT_EQ(port.LineBuffer(), "");
}

TEST_F(ComPort, OpenFailuresLeaveTheComponentClosed) {
    TempDir dir;
    WriteFile(dir.file("plain"), "not a port");
    struct Case {
        std::string port;
        std::string reason;
    };
    const Case cases[] = {
        {"/dev/km40r-no-such-port", "No such file or directory"},
        {"km40r-no-such-port", "No such file or directory"}, // a name under /dev
        {"COM4000", "No such file or directory"},            // /dev/ttyS3999
        {dir.file("plain"), "Not a serial port"},
        {"null", "Not a serial port"}, // /dev/null: a device, but no terminal
        {dir.path(), "Is a directory"},
    };
    for (const auto& c : cases) {
        port.Port = c.port;
        EXPECT_EQ(OpenError(port), "TCOMPORT : cannot open " + c.port + "\r" + c.reason);
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_EQ(opened, 0);
    port.Close();
    EXPECT_EQ(closed, 0);

    // The same component then opens a port that exists.
    port.Port = pty.path();
    port.Open();
    EXPECT_TRUE(port.IsOpen());
    EXPECT_EQ(opened, 1);
}

TEST_F(ComPort, UnsupportedLineSettingsAreRefusedByName) {
    struct Case {
        TLineSettings settings;
        std::string reason;
    };
    const Case cases[] = {
        {{0, 8, ptNONE, sbONE}, "line setting not supported: baud rate 0"},
        {{9600, 9, ptNONE, sbONE}, "line setting not supported: 9 data bits"},
        {{9600, 4, ptNONE, sbONE}, "line setting not supported: 4 data bits"},
        {{9600, 8, TParity(7), sbONE}, "line setting not supported: parity 7"},
        {{9600, 8, ptNONE, sbONE5}, "line setting not supported: 1.5 stop bits"},
        {{9600, 8, ptNONE, TStopBit(3)}, "line setting not supported: stop bits 3"},
    };
    for (const auto& c : cases) {
        port.Baud = c.settings.Baud;
        port.DataBits = c.settings.DataBits;
        port.Parity = c.settings.Parity;
        port.StopBits = c.settings.StopBits;
        EXPECT_EQ(OpenError(port), "TCOMPORT : cannot open " + pty.path() + "\r" + c.reason);
        EXPECT_FALSE(port.IsOpen());
    }
    EXPECT_EQ(opened, 0);

    // A failed open holds nothing: another component opens the port at once.
    TComPort other;
    other.Port = pty.path();
    other.Open();
    EXPECT_TRUE(other.IsOpen());
}

TEST_F(ComPort, SettingsTheDriverDoesNotKeepFailTheOpen) {
    // A pseudo-terminal always runs 8 data bits without parity. Whatever the
    // driver, the port is never left open at settings other than those asked.
    const TLineSettings cases[] = {
        {9600, 7, ptNONE, sbONE},
        {9600, 8, ptEVEN, sbONE},
        {9600, 8, ptMARK, sbONE},
        {9600, 5, ptSPACE, sbONE},
    };
    for (const auto& c : cases) {
        port.DataBits = c.DataBits;
        port.Parity = c.Parity;
        const std::string error = OpenError(port);
        if (error.empty()) { // a driver that keeps them
            const termios t = LineOf(pty);
            EXPECT_EQ((t.c_cflag & CSIZE) == CS8, c.DataBits == 8);
            EXPECT_EQ((t.c_cflag & PARENB) != 0, c.Parity != ptNONE);
            port.Close();
            continue;
        }
        EXPECT_FALSE(port.IsOpen());
        const std::string expected =
            "TCOMPORT : cannot open " + pty.path() + "\rline setting refused by the driver: " +
            (c.DataBits != 8 ? std::to_string(c.DataBits) + " data bits" : ParityName(c.Parity));
        EXPECT_EQ(error, expected);
    }
    port.DataBits = 8;
    port.Parity = ptNONE;
    port.Open();
    EXPECT_TRUE(port.IsOpen());
}

TEST_F(ComPort, LineSettingsTakeEffectAtTheNextOpen) {
    port.Open();
    termios t = LineOf(pty);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t(CS8));
    // Raw binary line: no translation, echo, line editing or flow control.
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | INPCK | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);

    port.Baud = 115200;
    port.StopBits = snTWO;
    t = LineOf(pty);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);

    port.Close();
    port.Open();
    t = LineOf(pty);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);

    // A rate outside the classic list is set through the kernel's own record.
    port.Close();
    port.Baud = 28800;
    port.Open();
    EXPECT_EQ(LineBaudRate(pty.master()), 28800u);
}

TEST_F(ComPort, DtrAndRtsStayLow) {
    port.Open();
    int lines = 0;
    if (ioctl(pty.slave(), TIOCMGET, &lines) != 0)
        GTEST_SKIP() << "this terminal has no modem lines";
    EXPECT_EQ(lines & (TIOCM_DTR | TIOCM_RTS), 0);
}

TEST_F(ComPort, ThePortIsHeldExclusively) {
    port.Open();
    TComPort second;
    second.Port = pty.path();
    EXPECT_EQ(OpenError(second),
              "TCOMPORT : cannot open " + pty.path() + "\rDevice or resource busy");
    EXPECT_FALSE(second.IsOpen());
    port.Close();
    second.Open();
    EXPECT_TRUE(second.IsOpen());
}

TEST_F(ComPort, APortThatDisappearsClosesItself) {
    port.Open();
    port.Close();
    const int threadsClosed = ThreadCount();
    port.Open();
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return closed == 2; }));
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(WaitUntil([&] { return ThreadCount() == threadsClosed; }));
    ServePendingEvents();
    port.Close();
    EXPECT_EQ(closed, 2);
    port.Write("nobody listens"); // no effect, no error
}

TEST_F(ComPort, BigWritesLeaveInOrderWhileTheDeviceReadsSlowly) {
    const std::string big = RandomBytes(4 << 20, 7);
    port.Open();
    port.Write(big);
    // The driver takes a little; the rest waits in the component, and the
    // caller goes on at once.
    EXPECT_GT(port.PendingOutput(), 0u);
    port.Write("tail one;");
    port.Write("tail two");
    const std::string expected = big + "tail one;tail two";

    std::string atDevice;
    ASSERT_TRUE(WaitUntil(
        [&] {
            atDevice += pty.Receive(4096); // a slow reader: small reads
            return atDevice.size() >= expected.size();
        },
        std::chrono::seconds(120)));
    EXPECT_TRUE(atDevice == expected) << "bytes differ from the written order";
    EXPECT_EQ(port.PendingOutput(), 0u);
}

TEST_F(ComPort, CloseDiscardsOutputNotYetTaken) {
    const std::string big = RandomBytes(1 << 20, 9);
    port.Open();
    port.Write(big);
    ASSERT_GT(port.PendingOutput(), 0u);
    port.Close(); // returns although the device reads nothing
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(port.PendingOutput(), 0u);
    std::string atDevice;
    for (std::string part; !(part = pty.Receive()).empty();)
        atDevice += part;
    EXPECT_LT(atDevice.size(), big.size());
}

TEST_F(ComPort, AThrowingHandlerEndsOnlyItsEvent) {
    port.ReceiveMode = rmRAW;
    port.ReceiveCallBack = [this](const std::string& data) {
        received.push_back(data);
        if (data == "1")
            throw EComError("handler failed");
    };
    port.Open();
    pty.Send("1");
    ASSERT_TRUE(WaitUntil([&] { return !GuardedErrors().empty(); }));
    EXPECT_EQ(GuardedErrors(), std::vector<std::string>{"handler failed"});
    EXPECT_TRUE(port.IsOpen());

    // The worker was released: the next event arrives.
    pty.Send("2");
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= 2; }));
    EXPECT_EQ(received.back(), "2");

    // In terminator mode, pieces after the failing one wait in the line buffer
    // and go out with the next receive event.
    received.clear();
    port.ReceiveMode = rmTERM;
    port.ReceiveCallBack = [this](const std::string& data) {
        received.push_back(data);
        if (data == "1\r\n")
            throw EComError("piece failed");
    };
    pty.Send("1\r\n2\r\n");
    ASSERT_TRUE(pty.AwaitSlaveInput(6)); // one chunk
    ASSERT_TRUE(WaitUntil([&] { return GuardedErrors().size() == 2; }));
    EXPECT_EQ(received, std::vector<std::string>{"1\r\n"});
    EXPECT_EQ(port.LineBuffer(), "2\r\n");
    pty.Send("3\r\n");
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= 3; }));
    EXPECT_EQ(received, (std::vector<std::string>{"1\r\n", "2\r\n", "3\r\n"}));

    port.Close();
    EXPECT_EQ(closed, 1);
}

TEST_F(ComPort, AHandlerMayCloseThePort) {
    port.ReceiveCallBack = [this](const std::string& data) {
        received.push_back(data);
        port.Close();
    };
    port.Open();
    pty.Send("A\r\nB\r\n");
    ASSERT_TRUE(pty.AwaitSlaveInput(6)); // one chunk
    ASSERT_TRUE(WaitUntil([&] { return closed == 1; }));
    ServePendingEvents();
    EXPECT_EQ(received, std::vector<std::string>{"A\r\n"});
    EXPECT_EQ(port.LineBuffer(), "B\r\n");
    EXPECT_FALSE(port.IsOpen());

    // And open it again from a handler of its own close.
    port.OnPortClose = [this](TComPort*) { port.Open(); };
    port.ReceiveCallBack = [this](const std::string& data) { received.push_back(data); };
    port.Open();
    port.Close();
    EXPECT_TRUE(port.IsOpen());
    pty.Send("C\r\n");
    ASSERT_TRUE(WaitUntil([&] { return received.size() >= 3; }));
    EXPECT_EQ(received[1], "B\r\n");
    EXPECT_EQ(received[2], "C\r\n");
    port.OnPortClose = nullptr;
}
