// Soak with fault injection: tens of thousands of mixed reads and writes
// through QdxMain against the controller simulator while it injects every
// fault it knows at random. No read may store a value the controller did not
// send, no write may be reported done that the controller does not hold, no
// call may outlast its attempts, and no descriptor may leak.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <string>

#include "protocol/read.h"
#include "protocol/value_cell.h"
#include "protocol/value_text.h"
#include "support/log_capture.h"
#include "support/pty.h"
#include "support/records.h"
#include "support/simulator.h"

using qdxtest::Call;

namespace {

const int kOperations = 20000;
const int kTimeoutUnits = 3;  // 30 ms a reply
// The margin covers scheduling on a busy two-core machine running the
// sanitized suite in parallel; the attempt count itself is checked by the
// transaction tests.
const double kCallBoundSeconds = 3 * kTimeoutUnits * 0.010 + 0.100;
const char* const kIdentifiers[] = {"S1", "M1", "A1", "P1", "XA"};

// The value the host cell would hold after a good read of the text the
// simulator holds, by the same conversion the read uses.
bool ExpectedCell(const std::string& held, uint32_t type, uint32_t before, uint32_t* expected) {
    uint8_t reply[kDataReplyLength] = {kStx, 'X', 'X'};
    std::memcpy(reply + 3, held.data(), kValueTextLength);
    reply[9] = kEtx;
    float x = 0;
    ValueCell cell;
    SetCellU32(&cell, before);
    if (!ParseReplyValue(reply, &x) || !StoreReadValue(&cell, type, x)) return false;
    *expected = CellU32(&cell);
    return true;
}

// A cell content that has a value text, for each data type.
uint32_t RandomCell(uint32_t type, std::mt19937& rng) {
    std::uniform_int_distribution<int> n(-999, 9999);
    const int v = n(rng);
    switch (type) {
        case kTypeU16: return uint32_t(std::abs(v)) << 16;
        case kTypeS16: return uint32_t(uint16_t(int16_t(v))) << 16;
        case kTypeBcd: {
            const unsigned a = unsigned(std::abs(v));
            return ((a / 1000) << 12 | (a / 100 % 10) << 8 | (a / 10 % 10) << 4 | (a % 10)) << 16;
        }
        case kTypeFloat: {
            std::uniform_real_distribution<float> f(-999.0f, 9999.0f);
            const float x = f(rng);
            uint32_t bits;
            std::memcpy(&bits, &x, 4);
            return bits;
        }
        case kTypeS32: return uint32_t(v);
        case kTypeU32: return uint32_t(std::abs(v));
        default: return uint32_t(v & 1) << 16;
    }
}

struct Tally {
    int reads_good = 0, reads_failed = 0, writes_good = 0, writes_failed = 0;
    int wrong_values = 0, unheld_writes = 0, slow_calls = 0, odd_log_lines = 0;
    double slowest = 0;
};

TEST(Soak, MixedReadsAndWritesUnderRandomFaults) {
    if (!qdxtest::Simulator::Available()) GTEST_SKIP() << "no simulator built";
    const int fds_before = qdxtest::CountOpenFds();
    {
        qdxtest::Simulator sim;
        std::string error;
        ASSERT_TRUE(sim.Start({"--no-drift", "--seed", "20261208",
                               "--fault", "silence:0.01", "--fault", "bad-bcc:0.02", "--fault", "no-stx:0.02",
                               "--fault", "no-etx:0.02", "--fault", "wrong-id:0.02", "--fault", "nak:0.02",
                               "--fault", "split:4:0.02", "--fault", "extra:0.02", "--fault", "delay:45:0.005",
                               "--fault", "garbage-answer:0.02"},
                              {}, &error))
            << error;
        ASSERT_LE(sim.path().size(), size_t{kPortNameMax});
        qdxtest::LogCapture log;
        PortRecord port;
        std::memset(&port, 0, sizeof port);
        StartParams params = qdxtest::Start(sim.path(), kTimeoutUnits);
        ASSERT_EQ(Call(kRequestStart, &port, &params), 0);
        log.clear();

        std::mt19937 rng(8122026);
        const std::regex bcc_line(R"(QDXTLMV> Read reply incorrect BCC - \([ 0-9a-f]{2}!=[ 0-9a-f]{2}\))");
        Tally t;
        for (int op = 0; op < kOperations; ++op) {
            const int unit = 1 + int(rng() % 3);
            const char* ident = kIdentifiers[rng() % 5];
            const uint32_t type = rng() % 7;
            const bool write = rng() % 2 == 0;
            char address[8];
            std::snprintf(address, sizeof address, "%02dK1%s", unit, ident);
            char sim_point[16];
            std::snprintf(sim_point, sizeof sim_point, "%02d 1 %s", unit, ident);

            PointRecord point{};
            ASSERT_EQ(qdxtest::Parse(address, &point), 0);
            ValueCell cell;
            const uint32_t before = write ? RandomCell(type, rng) : 0xA5A5A5A5u;
            SetCellU32(&cell, before);
            point.data_type = int32_t(type);
            point.value = &cell;
            const std::string held_before = sim.Command(std::string("get ") + sim_point).substr(3);

            const auto begin = std::chrono::steady_clock::now();
            const int32_t result = Call(write ? kRequestWriteValue : kRequestReadValue, &port, &point);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            t.slowest = std::max(t.slowest, seconds);
            if (seconds > kCallBoundSeconds) ++t.slow_calls;
            if (seconds > 0.100 && getenv("QDX_SOAK_DEBUG")) {
                std::printf("slow %s %s type %u: %.1f ms, result %d\n", write ? "write" : "read", address, type,
                            seconds * 1000, result);
            }

            if (write) {
                char text[kValueTextLength];
                ASSERT_TRUE(FormatValueText(&point, text));
                if (result == 0) {
                    ++t.writes_good;
                    if (sim.Command(std::string("get ") + sim_point).substr(3) != std::string(text, 6)) ++t.unheld_writes;
                } else {
                    ASSERT_EQ(result, 2);
                    ++t.writes_failed;
                }
                if (CellU32(&cell) != before) ++t.wrong_values;  // a write never changes the cell
            } else {
                uint32_t expected = 0;
                if (result == 0) {
                    ++t.reads_good;
                    if (!ExpectedCell(held_before, type, before, &expected) || CellU32(&cell) != expected) {
                        ++t.wrong_values;
                        ADD_FAILURE() << address << " type " << type << " held '" << held_before << "' cell "
                                      << std::hex << CellU32(&cell);
                    }
                } else {
                    ASSERT_EQ(result, 2);
                    ++t.reads_failed;
                    if (CellU32(&cell) != before) ++t.wrong_values;
                }
            }
        }
        for (const std::string& line : log.lines()) {
            if (line != "QDXTLMV> Read reply missing STX" && line != "QDXTLMV> Read reply incorrect identifier" &&
                line != "QDXTLMV> Read reply missing ETX" && !std::regex_match(line, bcc_line)) {
                ++t.odd_log_lines;
                ADD_FAILURE() << "undocumented log line: " << line;
            }
        }
        EXPECT_EQ(Call(kRequestClose, &port), 0);
        const std::string faults = sim.Command("stats");
        sim.Stop();

        std::printf("soak: %d operations through QdxMain, reply timeout %d ms\n", kOperations, kTimeoutUnits * 10);
        std::printf("  reads:  %d good, %d failed\n", t.reads_good, t.reads_failed);
        std::printf("  writes: %d good, %d failed\n", t.writes_good, t.writes_failed);
        std::printf("  simulator: %s\n", faults.c_str());
        std::printf("  log lines: %zu, undocumented: %d\n", log.lines().size(), t.odd_log_lines);
        std::printf("  slowest call: %.1f ms (bound %.0f ms), calls over the bound: %d\n", t.slowest * 1000,
                    kCallBoundSeconds * 1000, t.slow_calls);
        std::printf("  writes reported done but not held: %d\n", t.unheld_writes);
        std::printf("  faults the BCC cannot detect: 0 injected (each corruption changes one byte, which the\n"
                    "  exclusive-OR block check always detects; two changes that cancel are not injected)\n");
        std::printf("  wrong values stored: %d\n", t.wrong_values);

        EXPECT_EQ(t.wrong_values, 0);
        EXPECT_EQ(t.unheld_writes, 0);
        EXPECT_EQ(t.slow_calls, 0);
        EXPECT_GT(t.reads_failed + t.writes_failed, 0) << "faults were injected";
    }
    EXPECT_EQ(qdxtest::CountOpenFds(), fds_before) << "no descriptor leaked";
}

}  // namespace
