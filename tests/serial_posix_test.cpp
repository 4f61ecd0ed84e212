// The POSIX serial layer against real pseudo-terminals: the master end of a
// pair plays the controller, the layer opens the slave by its path.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "serial/serial.h"
#include "tests/support/pty.h"

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point since) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

SerialSettings Settings(const std::string& name, uint16_t baud = 9600, uint16_t data = 7,
                        uint16_t stop = 2, uint16_t parity = 2, uint16_t lines = 0x0303) {
    SerialSettings s;
    std::memset(&s, 0, sizeof(s));
    std::strncpy(s.port_name, name.c_str(), kPortNameMax);
    s.line.baud_rate = baud;
    s.line.data_bits = data;
    s.line.stop_bits = stop;
    s.line.parity = parity;
    s.control_lines = lines;
    return s;
}

// Whether another opener is kept out: the flock every open takes (which
// holds for root and under an emulator as well), or the terminal's exclusive
// mode where the system reports it (an emulator may not pass TIOCGEXCL on).
bool Exclusive(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    const bool locked = flock(fd, LOCK_EX | LOCK_NB) != 0;
    int on = 0;
    const bool exclusive = ioctl(fd, TIOCGEXCL, &on) == 0 && on != 0;
    close(fd);
    return locked || exclusive;
}

// A pty pair with the layer's port open on its slave end.
class OpenPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        if (!pty.fits_port_name()) GTEST_SKIP() << "slave path too long: " << pty.slave_path();
        const SerialSettings s = Settings(pty.slave_path());
        ASSERT_EQ(kComOk, ComOpen(&s, &handle));
        ASSERT_GE(handle, 3u);
    }
    void TearDown() override {
        if (handle != 0) {
            EXPECT_EQ(kComOk, ComClose(handle));
        }
    }
    int fd() const { return static_cast<int>(handle); }

    qdxtest::PtyPair pty;
    ComHandle handle = 0;
};

TEST_F(OpenPort, ReplyTimeoutStartsAt1000msAndReadsBack) {
    EXPECT_EQ(100, ComSetReplyTimeout(handle, 30));
    EXPECT_EQ(30, ComSetReplyTimeout(handle, 30));
    EXPECT_EQ(30, ComSetReplyTimeout(handle, 7));
    // 0 units is held as the bounded fallback wait; huge ones are capped.
    EXPECT_EQ(7, ComSetReplyTimeout(handle, 0));
    EXPECT_EQ(kZeroTimeoutFallbackMs / 10, ComSetReplyTimeout(handle, 2147483647));
    EXPECT_EQ(kMaxReplyTimeoutUnits, ComSetReplyTimeout(handle, -5));
    EXPECT_EQ(kZeroTimeoutFallbackMs / 10, ComSetReplyTimeout(handle, 10));
}

TEST_F(OpenPort, SilenceEndsAReadAfterOneReplyTimeout) {
    ComSetReplyTimeout(handle, 20);
    uint8_t buf[11];
    int32_t got = -1;
    const auto start = Clock::now();
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, buf, 11, &got));
    const long ms = ElapsedMs(start);
    EXPECT_EQ(0, got);
    EXPECT_GE(ms, 180);
    EXPECT_LT(ms, 600);
}

TEST_F(OpenPort, PartialReplyThenSilenceKeepsTheCount) {
    ComSetReplyTimeout(handle, 20);
    ASSERT_TRUE(pty.Send("\x02M100"));
    ASSERT_TRUE(qdxtest::WaitForPending(fd(), 5, 1000));
    uint8_t buf[11] = {0};
    int32_t got = -1;
    const auto start = Clock::now();
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, buf, 11, &got));
    const long ms = ElapsedMs(start);
    EXPECT_EQ(5, got);
    EXPECT_EQ(0, std::memcmp(buf, "\x02M100", 5));
    // One reply timeout of silence after the fifth byte ends the read.
    EXPECT_GE(ms, 180);
    EXPECT_LT(ms, 380);
}

TEST_F(OpenPort, ReplyInTwoPiecesIsCollectedWithoutWaitingOutTheTimeout) {
    ComSetReplyTimeout(handle, 100);
    ASSERT_TRUE(pty.Send("\x02M1 "));
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.Send(" 25.0\x03X");
    });
    uint8_t buf[11] = {0};
    int32_t got = -1;
    const auto start = Clock::now();
    const int rc = ComReadExact(handle, buf, 11, &got);
    const long ms = ElapsedMs(start);
    later.join();
    EXPECT_EQ(kComOk, rc);
    EXPECT_EQ(11, got);
    EXPECT_EQ(0, std::memcmp(buf, "\x02M1  25.0\x03X", 11));
    EXPECT_LT(ms, 500);
}

TEST_F(OpenPort, ZeroTimeoutStillEndsAReadInBoundedTime) {
    ComSetReplyTimeout(handle, 0);
    uint8_t buf[4];
    int32_t got = -1;
    const auto start = Clock::now();
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, buf, 4, &got));
    const long ms = ElapsedMs(start);
    EXPECT_GE(ms, kZeroTimeoutFallbackMs * 9 / 10);
    EXPECT_LT(ms, kZeroTimeoutFallbackMs * 3);
    // The port holds the wait it really makes, so a discard restores it.
    EXPECT_EQ(ComSetReplyTimeout(handle, 10), kZeroTimeoutFallbackMs / 10);
}

TEST_F(OpenPort, ReadArgumentsOutOfRangeFailAtOnce) {
    uint8_t buf[4];
    int32_t got = -1;
    const auto start = Clock::now();
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, buf, 0, &got));
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, buf, -1, &got));
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, buf, 65536, &got));
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, nullptr, 4, &got));
    EXPECT_EQ(0, got);
    EXPECT_EQ(kComIoFailed, ComWrite(handle, buf, -1, nullptr));
    EXPECT_EQ(kComIoFailed, ComWrite(handle, nullptr, 4, nullptr));
    EXPECT_LT(ElapsedMs(start), 200);
}

TEST_F(OpenPort, DiscardDrainsWaitingInputAndRestoresTheTimeout) {
    for (int waiting : {1000, 512, 1}) {
        SCOPED_TRACE(waiting);
        ComSetReplyTimeout(handle, 30);
        ASSERT_TRUE(pty.Send(std::string(static_cast<size_t>(waiting), 'x')));
        ASSERT_TRUE(qdxtest::WaitForPending(fd(), waiting, 1000));
        const auto start = Clock::now();
        EXPECT_EQ(kComOk, ComDiscardInput(handle));
        EXPECT_LT(ElapsedMs(start), 500);
        EXPECT_EQ(0, qdxtest::PendingInput(fd()));
        EXPECT_EQ(30, ComSetReplyTimeout(handle, 30));
    }
}

TEST_F(OpenPort, DiscardWithNothingWaitingLeavesTheTimeoutAlone) {
    ComSetReplyTimeout(handle, 0);
    const auto start = Clock::now();
    EXPECT_EQ(kComOk, ComDiscardInput(handle));
    EXPECT_LT(ElapsedMs(start), 100) << "far below the 1000 ms fallback wait";
    EXPECT_EQ(kZeroTimeoutFallbackMs / 10, ComSetReplyTimeout(handle, 0));
    // A timeout of 0 units is held as the fallback wait, so a drain restores
    // it rather than leaving the port on the short drain timeout.
    ASSERT_TRUE(pty.Send("abc"));
    ASSERT_TRUE(qdxtest::WaitForPending(fd(), 3, 1000));
    EXPECT_EQ(kComOk, ComDiscardInput(handle));
    EXPECT_EQ(kZeroTimeoutFallbackMs / 10, ComSetReplyTimeout(handle, 30));
}

TEST_F(OpenPort, WriteReachesTheFarEnd) {
    int32_t written = -1;
    EXPECT_EQ(kComOk, ComWrite(handle, "\x04" "01K1M1\x05", 8, &written));
    EXPECT_EQ(8, written);
    const std::vector<uint8_t> seen = pty.Receive(500);
    EXPECT_EQ(std::string("\x04" "01K1M1\x05"), std::string(seen.begin(), seen.end()));
    EXPECT_EQ(kComOk, ComWrite(handle, "", 0, nullptr));
}

TEST_F(OpenPort, FullOutputQueueGivesShortWriteThenBoundedFailure) {
    // Nobody reads the master: the first big write fills the queue part way.
    std::vector<uint8_t> big(1 << 20, 'z');
    int32_t written = -1;
    EXPECT_EQ(kComShortWrite, ComWrite(handle, big.data(), static_cast<int32_t>(big.size()), &written));
    EXPECT_GT(written, 0);
    EXPECT_LT(written, static_cast<int32_t>(big.size()));
    // Once the queue stays full, a write waits a bounded time, then fails.
    bool failed = false;
    for (int i = 0; i < 20 && !failed; ++i) {
        written = -1;
        const auto start = Clock::now();
        const int rc = ComWrite(handle, big.data(), 4096, &written);
        EXPECT_LT(ElapsedMs(start), 3000);
        failed = rc == kComIoFailed;
        if (failed) {
            EXPECT_EQ(-1, written);
        }
    }
    EXPECT_TRUE(failed);
}

TEST_F(OpenPort, VanishedDeviceFailsEveryOperationQuickly) {
    ComSetReplyTimeout(handle, 100);
    pty.CloseSlave();
    pty.CloseMaster();
    uint8_t buf[11];
    int32_t got = -1;
    int32_t written = -1;
    const auto start = Clock::now();
    EXPECT_EQ(kComIoFailed, ComReadExact(handle, buf, 11, &got));
    EXPECT_EQ(0, got);
    EXPECT_EQ(kComIoFailed, ComWrite(handle, "\x04", 1, &written));
    EXPECT_EQ(-1, written);
    EXPECT_EQ(kComOpenFailed, ComDiscardInput(handle));
    EXPECT_LT(ElapsedMs(start), 500);
    EXPECT_EQ(kComOk, ComClose(handle));
    handle = 0;
}

TEST_F(OpenPort, SecondOpenIsRefusedHereAndInOtherProcesses) {
    const SerialSettings s = Settings(pty.slave_path());
    ComHandle second = 12345;
    const int fds = qdxtest::CountOpenFds();
    EXPECT_EQ(kComOpenFailed, ComOpen(&s, &second));
    EXPECT_EQ(12345u, second);
    EXPECT_EQ(fds, qdxtest::CountOpenFds());

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ComHandle h = 0;
        _exit(ComOpen(&s, &h));
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(kComOpenFailed, WEXITSTATUS(status));

    // Once closed, the port opens again.
    ASSERT_EQ(kComOk, ComClose(handle));
    handle = 0;
    ASSERT_EQ(kComOk, ComOpen(&s, &handle));
}

TEST_F(OpenPort, ForeignAndClosedHandlesAreRefused) {
    // The master descriptor is open in this process but not a port of the
    // layer: nothing may touch it, nor a pipe.
    int pipe_fds[2];
    ASSERT_EQ(0, pipe(pipe_fds));
    for (const int other : {pty.master(), pipe_fds[0]}) {
        const ComHandle foreign = static_cast<ComHandle>(other);
        EXPECT_EQ(kComIoFailed, ComClose(foreign));
        EXPECT_EQ(kComIoFailed, ComCloseOwned(foreign));
        EXPECT_EQ(0, ComSetReplyTimeout(foreign, 30));
        EXPECT_NE(-1, fcntl(other, F_GETFD));
    }
    close(pipe_fds[0]);
    close(pipe_fds[1]);

    ASSERT_EQ(kComOk, ComClose(handle));
    const ComHandle closed = handle;
    handle = 0;
    EXPECT_EQ(kComIoFailed, ComClose(closed));
    EXPECT_EQ(kComIoFailed, ComWrite(closed, "x", 1, nullptr));
}

// A terminal the layer does not remember (a port opened by an earlier copy
// of the module) is closed by the host's close, and only by that.
TEST_F(OpenPort, CloseReleasesATerminalTheLayerDoesNotKnow) {
    const int other = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 3);
    const ComHandle unknown = static_cast<ComHandle>(other);
    EXPECT_EQ(kComIoFailed, ComCloseOwned(unknown));
    EXPECT_EQ(kComIoFailed, ComWrite(unknown, "x", 1, nullptr));
    ASSERT_NE(-1, fcntl(other, F_GETFD));
    EXPECT_EQ(kComOk, ComClose(unknown));
    EXPECT_EQ(-1, fcntl(other, F_GETFD));
    EXPECT_TRUE(Exclusive(pty.slave_path())) << "the layer's own port stays open";
}

TEST(SerialPosix, NullAndInvalidHandlesFailAtOnce) {
    for (ComHandle h : {0u, 1u, 2u, 0x80000000u, 0xffffffffu, 999u, 5000u}) {
        SCOPED_TRACE(h);
        uint8_t buf[11];
        int32_t got = -1;
        int32_t written = -1;
        const auto start = Clock::now();
        EXPECT_EQ(kComIoFailed, ComWrite(h, "abc", 3, &written));
        EXPECT_EQ(-1, written);
        EXPECT_EQ(kComIoFailed, ComReadExact(h, buf, 11, &got));
        EXPECT_EQ(0, got);
        EXPECT_EQ(kComOpenFailed, ComDiscardInput(h));
        EXPECT_EQ(0, ComSetReplyTimeout(h, 30));
        EXPECT_EQ(kComIoFailed, ComClose(h));
        EXPECT_LT(ElapsedMs(start), 100);
    }
}

TEST(SerialPosix, LineSettingsOnAPseudoTerminal) {
    struct Case {
        uint16_t baud, data, stop, parity, lines;
        int expected;
        speed_t baud_speed;
        bool parity_checked;  // INPCK: a character with a parity error is no data
    };
    // The rows share one pseudo-terminal, which keeps its flags between
    // opens: a row without parity after one with it sees the check removed.
    const Case cases[] = {
        {9600, 7, 2, 2, 0x0303, kComOk, B9600, true},    // 7E2
        {9600, 7, 2, 1, 0x0303, kComOk, B9600, true},    // 7O2, the driver's default
        {19200, 8, 0, 0, 0x0000, kComOk, B19200, false},  // 8N1, DTR and RTS off
        {57600, 8, 2, 3, 0x8000, kComOk, B57600, true},  // mark, DTR handshake
        {50, 5, 0, 4, 0x1000, kComOk, B50, true},        // space, RTS handshake
        {4800, 6, 0, 2, 0x2000, kComOk, B4800, true},    // RTS toggle
        {9600, 8, 2, 0x0100, 0x0303, kComOk, B9600, false},  // none in the low byte
        {2400, 7, 0, 1, 0x0303, kComOk, B2400, true},    // 7O1
        {1200, 0x0107, 2, 0x0102, 0, kComOk, B1200, true},  // only the low bytes count
        {300, 7, 2, 0x0201, 0, kComOk, B300, true},      // odd in the low byte
        {12345, 7, 2, 2, 0x0303, kComBadSettings, B0, false},
        {0, 8, 0, 0, 0x0303, kComBadSettings, B0, false},
        {9600, 9, 0, 0, 0x0303, kComBadSettings, B0, false},
        {9600, 4, 0, 0, 0x0303, kComBadSettings, B0, false},
        {9600, 8, 1, 0, 0x0303, kComBadSettings, B0, false},  // one and a half stop bits
        {9600, 8, 3, 0, 0x0303, kComBadSettings, B0, false},
        {9600, 8, 0, 5, 0x0303, kComBadSettings, B0, false},
    };
    qdxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    if (!pty.fits_port_name()) GTEST_SKIP() << "slave path too long: " << pty.slave_path();
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.baud << " " << c.data << " " << c.stop << " "
                                        << c.parity << " lines " << c.lines);
        const SerialSettings s = Settings(pty.slave_path(), c.baud, c.data, c.stop, c.parity, c.lines);
        const int fds = qdxtest::CountOpenFds();
        ComHandle h = 0;
        ASSERT_EQ(c.expected, ComOpen(&s, &h));
        if (c.expected != kComOk) {
            EXPECT_EQ(fds, qdxtest::CountOpenFds());
            EXPECT_FALSE(Exclusive(pty.slave_path()));  // next opener not kept out
            continue;
        }
        struct termios t;
        ASSERT_EQ(0, tcgetattr(static_cast<int>(h), &t));
        // A pseudo-terminal keeps the speed, the stop bits and odd parity's
        // bit as asked (it drops the character size and parity enable).
        EXPECT_EQ(c.stop == 2, (t.c_cflag & CSTOPB) != 0);
        const bool odd = (c.parity & 0xff) == 1 || (c.parity & 0xff) == 3;
        EXPECT_EQ(odd, (t.c_cflag & PARODD) != 0);
        // It keeps the input flags as set, parity checking among them.
        EXPECT_EQ(c.parity_checked, (t.c_iflag & INPCK) != 0);
        EXPECT_EQ(c.baud_speed, cfgetospeed(&t));
        EXPECT_EQ(c.baud_speed, cfgetispeed(&t));
        EXPECT_EQ(0u, t.c_cflag & CRTSCTS);
        EXPECT_EQ(0u, t.c_iflag & (IXON | IXOFF));
        EXPECT_EQ(0u, t.c_lflag & (ICANON | ECHO));
        EXPECT_NE(0u, t.c_cflag & CLOCAL);
        // The port works after the open, whatever control-line mode.
        int32_t written = 0;
        EXPECT_EQ(kComOk, ComWrite(h, "\x06", 1, &written));
        EXPECT_EQ(1u, pty.Receive(500).size());
        EXPECT_TRUE(Exclusive(pty.slave_path()));
        EXPECT_EQ(kComOk, ComClose(h));
        EXPECT_EQ(fds, qdxtest::CountOpenFds());
        EXPECT_FALSE(Exclusive(pty.slave_path()));
    }
}

TEST(SerialPosix, PortNamesMapToDevices) {
    char file_name[] = "./qdxXXXXXX";  // 11 characters, holds a '/'
    const int file = mkstemp(file_name);
    ASSERT_GE(file, 0);
    close(file);
    struct Case {
        std::string name;
        int expected;
    };
    const Case cases[] = {
        {"nul", kComOpenFailed},          // /dev/nul does not exist
        {"ttyQDXnone", kComOpenFailed},
        {"", kComOpenFailed},
        {"zero", kComNotSerial},          // /dev/zero is no terminal
        {file_name, kComNotSerial},       // a regular file by path
        {"/dev/null", kComNotSerial},     // the null device by path is no port
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int fds = qdxtest::CountOpenFds();
        const SerialSettings s = Settings(c.name);
        ComHandle h = 0;
        EXPECT_EQ(c.expected, ComOpen(&s, &h));
        EXPECT_EQ(0u, h);
        EXPECT_EQ(fds, qdxtest::CountOpenFds());
    }
    unlink(file_name);

    // A name field without its terminating NUL is refused, not overrun.
    SerialSettings s = Settings("");
    std::memset(s.port_name, 'a', sizeof(s.port_name));
    ComHandle h = 0;
    EXPECT_EQ(kComOpenFailed, ComOpen(&s, &h));
}

TEST(SerialPosix, NulIsTheNullDeviceWithoutConfiguration) {
    // Invalid line values do not matter: NUL is never configured.
    const SerialSettings s = Settings("NUL", 12345, 9, 1, 9, 0);
    ComHandle h = 0;
    ASSERT_EQ(kComOk, ComOpen(&s, &h));
    EXPECT_GE(h, 3u);
    ComHandle again = 0;
    ASSERT_EQ(kComOk, ComOpen(&s, &again));  // the null device is shared
    EXPECT_EQ(kComOk, ComClose(again));

    uint8_t buf[11];
    int32_t got = -1;
    int32_t written = -1;
    const auto start = Clock::now();
    EXPECT_EQ(kComIoFailed, ComReadExact(h, buf, 11, &got));
    EXPECT_EQ(0, got);
    EXPECT_EQ(kComOk, ComWrite(h, "\x04" "01K1M1\x05", 8, &written));
    EXPECT_EQ(8, written);
    EXPECT_EQ(100, ComSetReplyTimeout(h, 30));
    EXPECT_EQ(kComOk, ComDiscardInput(h));
    EXPECT_EQ(30, ComSetReplyTimeout(h, 30));
    EXPECT_LT(ElapsedMs(start), 300);
    EXPECT_EQ(kComOk, ComClose(h));
}

TEST(SerialPosix, HandleIsNeverBelowThree) {
    qdxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    if (!pty.fits_port_name()) GTEST_SKIP() << "slave path too long: " << pty.slave_path();
    const SerialSettings s = Settings(pty.slave_path());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(0);
        ComHandle h = 0;
        if (ComOpen(&s, &h) != kComOk) _exit(10);
        if (h < 3) _exit(11);
        if (fcntl(0, F_GETFD) != -1) _exit(12);  // nothing left on descriptor 0
        if (ComClose(h) != kComOk) _exit(13);
        _exit(0);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
}

}  // namespace
