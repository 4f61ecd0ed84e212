// Start, open, close, reopen and discard input through QdxMain against real
// pseudo-terminals.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

#include "serial/serial.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty.h"
#include "tests/support/records.h"

using qdxtest::Call;
using qdxtest::LogCapture;
using qdxtest::PtyPair;

namespace {

PortRecord FreshPort() {
    PortRecord port;
    std::memset(&port, 0, sizeof port);
    return port;
}

double ReadSeconds(PortRecord* port) {
    ValueCell cell{};
    PointRecord point{};
    point.unit_address = 1;
    point.channel = 1;
    point.identifier = 'M' * 256 + '1';
    point.data_type = kTypeFloat;
    point.value = &cell;
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Call(kRequestReadValue, port, &point), 2);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
}

class PortLifecycle : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty_.ok());
        if (!pty_.fits_port_name()) GTEST_SKIP() << "pty path longer than a port name";
    }
    PtyPair pty_;
    LogCapture log_;
};

TEST_F(PortLifecycle, StartWithEnableZeroDoesNothingElse) {
    PortRecord port;
    std::memset(&port, 0x44, sizeof port);
    StartParams params = qdxtest::Start(pty_.slave_path(), 10);
    params.enable = 0;
    EXPECT_EQ(Call(kRequestStart, &port, &params), 0);
    EXPECT_EQ(port.active, 0u);
    PortRecord expected;
    std::memset(&expected, 0x44, sizeof expected);
    expected.active = 0;
    EXPECT_EQ(std::memcmp(&port, &expected, kPortRecordUsedBytes), 0);
    EXPECT_TRUE(log_.lines().empty());
}

TEST_F(PortLifecycle, StartStoresHandleSettingsAndTimeoutThenRefusesASecondStart) {
    PortRecord port = FreshPort();
    port.settings.control_lines = 0xFFFF;
    StartParams params = qdxtest::Start(pty_.slave_path(), 10, 9600, 7, 2, 1);
    ASSERT_EQ(Call(kRequestStart, &port, &params, 3), 0);
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0], "QDXTLMV> QDX3 v7.00 started on " + pty_.slave_path());
    EXPECT_EQ(log_.levels()[0], 32);
    const uint32_t handle = port.port_handle;
    EXPECT_GE(handle, 3u);
    EXPECT_EQ(port.active, 1u);
    EXPECT_EQ(port.reply_timeout, 10);
    EXPECT_STREQ(port.settings.port_name, pty_.slave_path().c_str());
    EXPECT_EQ(port.settings.line.baud_rate, 9600);
    EXPECT_EQ(port.settings.line.data_bits, 7);
    EXPECT_EQ(port.settings.line.stop_bits, 2);
    EXPECT_EQ(port.settings.line.parity, 1);
    EXPECT_EQ(port.settings.control_lines, 0x0303);
    // The port waits the started reply timeout (100 ms) for each attempt.
    EXPECT_LT(ReadSeconds(&port), 0.3 * 3);

    log_.clear();
    EXPECT_EQ(Call(kRequestStart, &port, &params, 3), 2);
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0], "QDXRKC REX-F Series : Fail to open " + pty_.slave_path());
    EXPECT_EQ(port.port_handle, handle);

    EXPECT_EQ(Call(kRequestClose, &port), 0);
    EXPECT_EQ(port.port_handle, 0u);
    EXPECT_EQ(Call(kRequestCloseAlt, &port), 0);
    EXPECT_EQ(Call(kRequestClose, &port), 0);
    EXPECT_EQ(port.active, 1u) << "close leaves the active flag";
}

TEST_F(PortLifecycle, StartFailureLeavesTheRecordButTheActiveFlag) {
    PortRecord port = FreshPort();
    StartParams params = qdxtest::Start("/nonexist/9", 10);
    params.enable = 7;
    EXPECT_EQ(Call(kRequestStart, &port, &params), 2);
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0], "QDXRKC REX-F Series : Fail to open /nonexist/9");
    PortRecord expected = FreshPort();
    expected.active = 7;
    EXPECT_EQ(std::memcmp(&port, &expected, kPortRecordUsedBytes), 0);
    // A failed open request writes nothing either, the active flag included.
    EXPECT_EQ(Call(kRequestOpen, &port), 2);
    EXPECT_EQ(std::memcmp(&port, &expected, kPortRecordUsedBytes), 0);
}

// A name without its NUL in the 12-byte field is refused; nothing past the
// field is read.
TEST_F(PortLifecycle, UnterminatedNamesAreRefused) {
    struct {
        StartParams params;
        char after[4];
    } start;
    start.params = qdxtest::Start("", 10);
    std::memset(start.params.port_name, 'A', sizeof start.params.port_name);
    std::memcpy(start.after, "BCD", 4);
    PortRecord port = FreshPort();
    EXPECT_EQ(Call(kRequestStart, &port, &start.params), 2);
    ASSERT_EQ(log_.lines().size(), 1u);
    EXPECT_EQ(log_.lines()[0], "QDXRKC REX-F Series : Fail to open AAAAAAAAAAAA");
    EXPECT_EQ(port.port_handle, 0u);

    ReopenParams reopen{};
    std::memset(reopen.port_name, 'B', sizeof reopen.port_name);
    EXPECT_EQ(Call(kRequestReopen, &port, &reopen), 2);
    EXPECT_EQ(port.settings.port_name[0], '\0') << "the record's name is not replaced";
}

TEST_F(PortLifecycle, OpenAfterCloseWaitsTheOpeningTimeout) {
    PortRecord port = FreshPort();
    StartParams params = qdxtest::Start(pty_.slave_path(), 10);
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
    ASSERT_EQ(Call(kRequestCloseAlt, &port), 0);
    port.active = 0;
    ASSERT_EQ(Call(kRequestOpen, &port), 0);
    EXPECT_NE(port.port_handle, 0u);
    EXPECT_EQ(port.active, 1u);
    EXPECT_EQ(port.reply_timeout, 10) << "open does not touch the stored timeout";
    const double seconds = ReadSeconds(&port);  // three attempts of 1000 ms
    EXPECT_GT(seconds, 2.9);
    EXPECT_LT(seconds, 3.0 + 0.5);
    EXPECT_EQ(Call(kRequestClose, &port), 0);
    EXPECT_TRUE(log_.lines().size() == 1u) << "only the start logged";
}

TEST_F(PortLifecycle, ReopenToAnotherNameClosesTheOldPort) {
    PtyPair other;
    ASSERT_TRUE(other.ok());
    if (!other.fits_port_name()) GTEST_SKIP();
    const int fds_before = qdxtest::CountOpenFds();
    PortRecord port = FreshPort();
    StartParams params = qdxtest::Start(pty_.slave_path(), 10);
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);

    ReopenParams reopen{};
    std::strcpy(reopen.port_name, other.slave_path().c_str());
    reopen.reply_timeout = 0;   // keeps 10
    reopen.line.baud_rate = 0;  // keeps the line values
    ASSERT_EQ(Call(kRequestReopen, &port, &reopen), 0);
    EXPECT_STREQ(port.settings.port_name, other.slave_path().c_str());
    EXPECT_EQ(port.reply_timeout, 10);
    EXPECT_EQ(port.settings.line.baud_rate, 9600);
    EXPECT_EQ(port.settings.control_lines, 0x0303);
    EXPECT_EQ(qdxtest::CountOpenFds(), fds_before + 1) << "the old port was closed";
    EXPECT_LT(ReadSeconds(&port), 0.9) << "the stored timeout applies after the reopen";

    // The old port is free again: a start on it succeeds.
    PortRecord first = FreshPort();
    EXPECT_EQ(Call(kRequestStart, &first, &params), 0);
    EXPECT_EQ(Call(kRequestClose, &first), 0);

    // New values replace the stored ones; a failed open leaves them stored.
    std::strcpy(reopen.port_name, "/nonexist/1");
    reopen.reply_timeout = 25;
    reopen.line = {19200, 8, 0, 0};
    EXPECT_EQ(Call(kRequestReopen, &port, &reopen), 2);
    EXPECT_EQ(port.port_handle, 0u);
    EXPECT_EQ(port.reply_timeout, 25);
    EXPECT_EQ(port.settings.line.baud_rate, 19200);
    EXPECT_EQ(qdxtest::CountOpenFds(), fds_before);
}

TEST_F(PortLifecycle, ReopenUnderTheSameNameKeepsTheHeldPort) {
    PortRecord port = FreshPort();
    StartParams params = qdxtest::Start(pty_.slave_path(), 10);
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
    const uint32_t handle = port.port_handle;
    ReopenParams reopen{};
    std::strcpy(reopen.port_name, pty_.slave_path().c_str());
    EXPECT_EQ(Call(kRequestReopen, &port, &reopen), 2) << "the port is not shared";
    EXPECT_EQ(port.port_handle, handle);
    EXPECT_EQ(Call(kRequestOpen, &port), 2);
    EXPECT_EQ(port.port_handle, handle);
    EXPECT_EQ(Call(kRequestClose, &port), 0);
}

TEST_F(PortLifecycle, FlushInputDiscardsPendingBytes) {
    PortRecord closed;
    std::memset(&closed, 0, sizeof closed);
    EXPECT_EQ(Call(kRequestFlushInput, &closed), 0);

    PortRecord port = FreshPort();
    StartParams params = qdxtest::Start(pty_.slave_path(), 10);
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
    ASSERT_TRUE(pty_.Send(std::string(100, 'x')));
    ASSERT_TRUE(qdxtest::WaitForPending(static_cast<int>(port.port_handle), 100, 2000));
    EXPECT_EQ(Call(kRequestFlushInput, &port), 0);
    EXPECT_EQ(qdxtest::PendingInput(static_cast<int>(port.port_handle)), 0);
    EXPECT_EQ(Call(kRequestClose, &port), 0);
}

// A close that fails keeps the handle in the record, so that a later close
// tries again; a terminal the driver does not remember (a port of a copy of
// the module loaded before) is released by the close request alone.
TEST_F(PortLifecycle, CloseKeepsWhatItCannotReleaseAndReleasesUnknownTerminals) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const int terminal = open(pty_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(terminal, 3);
    struct Case {
        const char* what;
        int fd;
        int32_t result;
        bool released;
    } cases[] = {
        {"a pipe of the host's", pipe_fds[0], 2, false},
        {"a terminal the driver does not know", terminal, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PortRecord port = FreshPort();
        port.port_handle = static_cast<uint32_t>(c.fd);
        EXPECT_EQ(Call(kRequestClose, &port), c.result);
        EXPECT_EQ(port.port_handle, c.released ? 0u : static_cast<uint32_t>(c.fd));
        EXPECT_EQ(fcntl(c.fd, F_GETFD) == -1, c.released);
    }
    close(pipe_fds[0]);
    close(pipe_fds[1]);
}

// A record that holds a terminal the host opened itself (a record the host
// did not zero, a value kept after a failed close): start, open and reopen
// store their own port over it and leave the host's terminal open and
// working. Reopen is given the record's own name, so that it has no port to
// close before it opens.
TEST_F(PortLifecycle, StartOpenAndReopenLeaveTheHostsOwnTerminalOpen) {
    PtyPair hosts_line;
    ASSERT_TRUE(hosts_line.ok());
    const int hosts_terminal = open(hosts_line.slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(hosts_terminal, 3);
    StartParams start = qdxtest::Start(pty_.slave_path(), 10);
    ReopenParams reopen{};
    std::strcpy(reopen.port_name, pty_.slave_path().c_str());
    const struct {
        const char* what;
        uint32_t request;
        void* parameter;
    } steps[] = {
        {"start", kRequestStart, &start},
        {"open", kRequestOpen, nullptr},
        {"reopen", kRequestReopen, &reopen},
    };
    PortRecord port = FreshPort();
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        port.port_handle = static_cast<uint32_t>(hosts_terminal);
        ASSERT_EQ(Call(step.request, &port, step.parameter), 0);
        EXPECT_NE(port.port_handle, 0u);
        EXPECT_NE(port.port_handle, static_cast<uint32_t>(hosts_terminal));
        ASSERT_NE(fcntl(hosts_terminal, F_GETFD), -1) << "the host's terminal was closed";
        EXPECT_EQ(write(hosts_terminal, "h", 1), 1);
        EXPECT_EQ(hosts_line.Receive(500).size(), 1u);
        EXPECT_EQ(Call(kRequestClose, &port), 0);
    }
    close(hosts_terminal);
}

TEST(PortLifecycleClosed, ReadsAndWritesOnAClosedPortFailAtOnce) {
    LogCapture log;
    PortRecord port;
    std::memset(&port, 0, sizeof port);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadSeconds(&port) < 0.1, true);
    ValueCell cell{};
    PointRecord point{};
    point.identifier = 'S' * 256 + '1';
    point.data_type = kTypeU16;
    point.value = &cell;
    EXPECT_EQ(Call(kRequestWriteValue, &port, &point), 2);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), 0.2);
    EXPECT_TRUE(log.lines().empty());
}

}  // namespace

namespace {

// The null device may be opened any number of times: a second start or open
// that succeeds while a handle is held closes the held one first, so nothing
// leaks.
TEST(PortLifecycleNull, ASecondSuccessfulOpenReleasesTheHeldHandle) {
    LogCapture log;
    PortRecord port;
    std::memset(&port, 0, sizeof port);
    StartParams params = qdxtest::Start("NUL", 10);
    const int fds_before = qdxtest::CountOpenFds();
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
    ASSERT_EQ(Call(kRequestOpen, &port), 0);
    ReopenParams reopen{};
    std::strcpy(reopen.port_name, "NUL");
    ASSERT_EQ(Call(kRequestReopen, &port, &reopen), 0);
    EXPECT_EQ(qdxtest::CountOpenFds(), fds_before + 1);
    EXPECT_EQ(Call(kRequestClose, &port), 0);
    EXPECT_EQ(qdxtest::CountOpenFds(), fds_before);
}

}  // namespace
