// Port faults and bad host input through QdxMain: a device that vanishes in
// the middle of a transaction, many port cycles without a leaked
// descriptor, every request code, and values that cannot be sent.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "protocol/value_cell.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty.h"
#include "tests/support/records.h"

using qdxtest::Call;
using Clock = std::chrono::steady_clock;

namespace {

double SecondsSince(Clock::time_point begin) {
    return std::chrono::duration<double>(Clock::now() - begin).count();
}

PointRecord Point(ValueCell* cell, uint32_t type) {
    PointRecord point{};
    EXPECT_EQ(qdxtest::Parse("01K1M1", &point), 0);
    point.data_type = static_cast<int32_t>(type);
    point.value = cell;
    return point;
}

// The far end closes while a read waits for its reply: the read fails within
// its bound, and every later call fails at once.
TEST(PortFaults, DeviceVanishingMidTransaction) {
    qdxtest::LogCapture log;
    qdxtest::PtyPair pty;
    ASSERT_TRUE(pty.ok());
    if (!pty.fits_port_name()) GTEST_SKIP();
    PortRecord port;
    std::memset(&port, 0, sizeof port);
    StartParams params = qdxtest::Start(pty.slave_path(), 50);  // 500 ms a reply
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
    pty.CloseSlave();  // only the driver holds the line now

    std::thread vanish([&pty] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.CloseMaster();
    });
    ValueCell cell;
    SetCellU32(&cell, 0x12345678);
    PointRecord point = Point(&cell, kTypeFloat);
    auto begin = Clock::now();
    EXPECT_EQ(Call(kRequestReadValue, &port, &point), 2);
    vanish.join();
    EXPECT_LT(SecondsSince(begin), 3 * 0.5 + 0.2);
    EXPECT_EQ(CellU32(&cell), 0x12345678u);

    begin = Clock::now();
    EXPECT_EQ(Call(kRequestReadValue, &port, &point), 2);
    EXPECT_EQ(Call(kRequestWriteValue, &port, &point), 2);
    EXPECT_EQ(Call(kRequestFlushInput, &port), 0);
    EXPECT_LT(SecondsSince(begin), 0.2) << "a vanished device fails at once";
    EXPECT_TRUE(log.lines().size() == 1u) << "only the start logged";
    EXPECT_EQ(Call(kRequestClose, &port), 0);
}

TEST(PortFaults, ThousandPortCyclesLeakNothing) {
    qdxtest::LogCapture log;
    qdxtest::PtyPair first, second;
    ASSERT_TRUE(first.ok() && second.ok());
    if (!first.fits_port_name() || !second.fits_port_name()) GTEST_SKIP();
    const int fds_before = qdxtest::CountOpenFds();
    ReopenParams reopen{};
    std::strcpy(reopen.port_name, second.slave_path().c_str());
    for (int cycle = 0; cycle < 1000; ++cycle) {
        PortRecord port;
        std::memset(&port, 0, sizeof port);
        StartParams params = qdxtest::Start(first.slave_path(), 10);
        ASSERT_EQ(Call(kRequestStart, &port, &params), 0) << cycle;
        ASSERT_EQ(Call(cycle % 2 ? kRequestClose : kRequestCloseAlt, &port), 0);
        ASSERT_EQ(Call(kRequestOpen, &port), 0);
        ASSERT_EQ(Call(kRequestReopen, &port, &reopen), 0);
        ASSERT_EQ(Call(kRequestClose, &port), 0);
        ASSERT_EQ(port.port_handle, 0u);
    }
    EXPECT_EQ(qdxtest::CountOpenFds(), fds_before);
}

// Every code outside the table's handlers refuses and touches nothing.
TEST(PortFaults, EveryRequestCodeWithoutAHandler) {
    for (uint32_t code = 0; code < 256; ++code) {
        if ((code >= 1 && code <= 7) || (code >= 11 && code <= 15)) continue;  // codes with records to read
        PortRecord port;
        std::memset(&port, 0x3C, sizeof port);
        unsigned char parameter[64];
        std::memset(parameter, 0xC3, sizeof parameter);
        EXPECT_EQ(Call(code, &port, parameter), code == 4 ? 0 : 2) << code;
        for (unsigned char byte : parameter) ASSERT_EQ(byte, 0xC3) << code;
        const auto* bytes = reinterpret_cast<const unsigned char*>(&port);
        for (size_t i = 0; i < sizeof port; ++i) ASSERT_EQ(bytes[i], 0x3C) << code;
    }
}

// Values that have no value text are refused before anything reaches the
// line; the port stays usable (the null device takes every byte).
TEST(PortFaults, UnsendableValuesAreRefused) {
    qdxtest::LogCapture log;
    PortRecord port;
    std::memset(&port, 0, sizeof port);
    StartParams params = qdxtest::Start("NUL", 1);
    ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
    const float floats[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(), 1e30f, -1e30f, 10000.0f, -1000.0f};
    for (float v : floats) {
        ValueCell cell;
        SetCellFloat(&cell, v);
        PointRecord point = Point(&cell, kTypeFloat);
        std::memset(port.select_frame, 0xEE, sizeof port.select_frame);
        EXPECT_EQ(Call(kRequestWriteValue, &port, &point), 2) << v;
        EXPECT_EQ(port.select_frame[0], 0xEE) << "no frame was built for " << v;
    }
    EXPECT_EQ(Call(kRequestClose, &port), 0);
}

}  // namespace
