// Soak with fault injection: tens of thousands of mixed reads and writes
// through QdxMain against the controller simulator's unit model while it
// injects every fault it knows at random and refuses what a real unit
// refuses. Values are measured against what the host meant: a write reported
// done means the unit holds the host's value at the unit's decimals, a read
// stores exactly what the unit holds, a refused write leaves the unit's value.
// No call may outlast its attempts, and no descriptor may leak. A second run
// measures how often a late answer is taken for another unit's reply at reply
// timeouts below and above the safe rule.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>

#include "protocol/read.h"
#include "protocol/value_cell.h"
#include "protocol/value_text.h"
#include "rexf/line_timing.h"
#include "rexf/unit_model.h"
#include "tests/support/log_capture.h"
#include "tests/support/pty.h"
#include "tests/support/records.h"
#include "tests/support/simulator.h"

using qdxtest::Call;

namespace {

const int kOperations = 20000;
const int kTimeoutUnits = 3;  // 30 ms a reply
// The margin covers scheduling on a busy two-core machine running the
// sanitized suite in parallel, or the suite under an emulator, and stays
// well below the waits a bounded call must never make (the 1000 ms of a port
// whose timeout was never set, a read without a deadline); the attempt count
// itself is checked by the transaction tests.
const double kCallBoundSeconds = 3 * kTimeoutUnits * 0.010 + 0.500;
// S1 within SL..SH (0..400), M1 read-only, A1 wide, P1 0..1000, XA 0..9
// without decimals, M2 an option that units 01 and 03 lack.
const char* const kIdentifiers[] = {"S1", "M1", "A1", "P1", "XA", "M2"};
const int kIdentifierCount = 6;
const double kSetLow = 0.0, kSetHigh = 400.0;  // the simulator's SL and SH

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

// What the host means to write, and the cell that holds it: a decimal of up
// to two places as the nearest float, or an integer for the integer types.
struct Intent {
    uint32_t cell;
    double value;
};

Intent RandomIntent(uint32_t type, std::mt19937& rng) {
    std::uniform_int_distribution<int> n(-999, 9999);
    const int v = n(rng);
    switch (type) {
        case kTypeU16: return {uint32_t(std::abs(v)) << 16, double(std::abs(v))};
        case kTypeS16: return {uint32_t(uint16_t(int16_t(v))) << 16, double(v)};
        case kTypeBcd: {
            const unsigned a = unsigned(std::abs(v));
            return {((a / 1000) << 12 | (a / 100 % 10) << 8 | (a / 10 % 10) << 4 | (a % 10)) << 16, double(a)};
        }
        case kTypeFloat: {
            // Values a person types: -999.9..9999.9 with one decimal, or
            // -99.99..999.99 with two.
            const bool two = rng() % 2 == 0;
            std::uniform_int_distribution<long> scaled(-9999, 99999);
            char text[32];
            const long k = scaled(rng);
            std::snprintf(text, sizeof text, "%s%ld.%0*ld", k < 0 ? "-" : "", std::labs(k) / (two ? 100 : 10),
                          two ? 2 : 1, std::labs(k) % (two ? 100 : 10));
            const float x = std::strtof(text, nullptr);
            uint32_t bits;
            std::memcpy(&bits, &x, 4);
            return {bits, std::strtod(text, nullptr)};
        }
        case kTypeS32: return {uint32_t(v), double(v)};
        case kTypeU32: return {uint32_t(std::abs(v)), double(std::abs(v))};
        default: return {uint32_t(v & 1) << 16, double(v & 1)};
    }
}

// Whether a unit takes the value at this identifier (the point exists, is
// writable and the value at the unit's decimals is within its range).
bool UnitTakes(int unit, const char* ident, double held) {
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(ident);
    if (m->option && unit != 2) return false;
    if (m->access == rexf::Access::kReadOnly) return false;
    if (held < m->low || held > m->high) return false;
    return !m->within_limits || (held >= kSetLow && held <= kSetHigh);
}

double TextValue(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

// Answers the simulator has delayed so far (its "delay=N" count).
long DelayedAnswers(qdxtest::Simulator& sim) {
    std::smatch m;
    const std::string stats = sim.Command("stats");
    return std::regex_search(stats, m, std::regex(R"( delay=(\d+))")) ? std::stol(m[1]) : 0;
}

struct Tally {
    int reads_good = 0, reads_failed = 0, writes_good = 0, writes_failed = 0, writes_refused = 0;
    int wrong_values = 0, late_credited = 0, stored_unacknowledged = 0, slow_calls = 0, odd_log_lines = 0;
    double slowest = 0;
};

TEST(Soak, MixedReadsAndWritesUnderRandomFaults) {
    if (!qdxtest::Simulator::Available()) GTEST_SKIP() << "no simulator built";
    const int fds_before = qdxtest::CountOpenFds();
    {
        qdxtest::Simulator sim;
        std::string error;
        ASSERT_TRUE(sim.Start({"--no-drift", "--seed", "20261208", "--option-units", "2",
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

        // Distinct values at every point, so that a reply credited to another
        // unit shows.
        for (int unit = 1; unit <= 3; ++unit)
            for (const char* ident : {"M1", "A1", "P1"})
                sim.Command("set " + std::to_string(unit) + " 1 " + ident + " " + std::to_string(unit * 11 + 0.5));
        sim.Command("set 2 1 M2 22.5");

        std::mt19937 rng(8122026);
        const std::regex bcc_line(R"(QDXTLMV> Read reply incorrect BCC - \([ 0-9a-f]{2}!=[ 0-9a-f]{2}\))");
        Tally t;
        // A delayed answer outlives its request, and an ACK carries no
        // identity: the select's ACK that came too late for its own request
        // (or its retry's second ACK) can meet the next select of the
        // following request. Only then may a write reported done have found
        // the unit refusing it; it counts with the late answers.
        long delays_before_last_op = 0;
        long delays_before_this_op = DelayedAnswers(sim);
        for (int op = 0; op < kOperations; ++op) {
            if (op > 0) {
                delays_before_last_op = delays_before_this_op;
                delays_before_this_op = DelayedAnswers(sim);
            }
            const int unit = 1 + int(rng() % 3);
            // The missing option (an EOT answer costs a reply timeout per
            // attempt) on one operation in a hundred.
            const char* ident = rng() % 100 == 0 ? "M2" : kIdentifiers[rng() % (kIdentifierCount - 1)];
            const uint32_t type = rng() % 7;
            const bool write = rng() % 2 == 0;
            char address[8];
            std::snprintf(address, sizeof address, "%02dK1%s", unit, ident);
            auto held = [&](int at_unit) {
                const std::string answer = sim.Command("get " + std::to_string(at_unit) + " 1 " + ident);
                return answer.rfind("ok ", 0) == 0 ? answer.substr(3) : std::string();
            };

            PointRecord point{};
            ASSERT_EQ(qdxtest::Parse(address, &point), 0);
            ValueCell cell;
            const Intent intent = write ? RandomIntent(type, rng) : Intent{0xA5A5A5A5u, 0};
            const uint32_t before = intent.cell;
            SetCellU32(&cell, before);
            point.data_type = int32_t(type);
            point.value = &cell;
            const std::string held_before = held(unit);

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
                ASSERT_TRUE(result == 0 || result == 2);
                const rexf::IdentifierModel* m = rexf::FindIdentifierModel(ident);
                const double meant = rexf::CutToDecimals(intent.value, m->decimals);
                const bool takes = UnitTakes(unit, ident, meant);
                const std::string now = held(unit);
                const bool holds_meant = !now.empty() && std::fabs(TextValue(now) - meant) < 1e-9;
                if (result == 0) {
                    ++t.writes_good;
                    if (!takes && now == held_before && DelayedAnswers(sim) > delays_before_last_op) {
                        ++t.late_credited;
                    } else if (!takes || !holds_meant) {
                        ++t.wrong_values;
                        ADD_FAILURE() << "write " << address << " := " << intent.value << " done, unit holds '" << now
                                      << "'";
                    }
                } else if (!takes) {
                    ++t.writes_refused;
                    if (now != held_before) {
                        ++t.wrong_values;
                        ADD_FAILURE() << "refused write " << address << " changed '" << held_before << "' to '" << now
                                      << "'";
                    }
                } else {
                    ++t.writes_failed;
                    // The answer was lost on its way back, after the unit stored it.
                    if (now != held_before && holds_meant) ++t.stored_unacknowledged;
                    else if (now != held_before) {
                        ++t.wrong_values;
                        ADD_FAILURE() << "failed write " << address << " left '" << now << "'";
                    }
                }
                if (CellU32(&cell) != before) ++t.wrong_values;  // a write never changes the cell
            } else {
                uint32_t expected = 0;
                if (result == 0) {
                    ++t.reads_good;
                    if (ExpectedCell(held_before, type, before, &expected) && CellU32(&cell) == expected) continue;
                    // A late answer from another unit: the protocol's own limit
                    // (replies carry no unit address), counted apart.
                    bool other_unit = false;
                    for (int u = 1; u <= 3 && !other_unit; ++u)
                        other_unit = u != unit && ExpectedCell(held(u), type, before, &expected) &&
                                     CellU32(&cell) == expected;
                    if (other_unit) {
                        ++t.late_credited;
                    } else {
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
        std::printf("  writes: %d good, %d refused by the unit (range, read-only, no such identifier),"
                    " %d failed\n", t.writes_good, t.writes_refused, t.writes_failed);
        std::printf("  simulator: %s\n", faults.c_str());
        std::printf("  log lines: %zu, undocumented: %d\n", log.lines().size(), t.odd_log_lines);
        std::printf("  slowest call: %.1f ms (bound %.0f ms), calls over the bound: %d\n", t.slowest * 1000,
                    kCallBoundSeconds * 1000, t.slow_calls);
        std::printf("  writes not acknowledged but stored (answer lost on the way back): %d\n",
                    t.stored_unacknowledged);
        std::printf("  faults the BCC cannot detect: 0 injected (each corruption changes one byte, which the\n"
                    "  exclusive-OR block check always detects; two changes that cancel are not injected)\n");
        std::printf("  late answers credited to another request: %d\n", t.late_credited);
        std::printf("  wrong values stored: %d\n", t.wrong_values);

        EXPECT_EQ(t.wrong_values, 0);
        EXPECT_EQ(t.slow_calls, 0);
        EXPECT_GT(t.writes_refused, 0) << "the unit refused writes";
        EXPECT_GT(t.reads_failed + t.writes_failed, 0) << "faults were injected";
    }
    EXPECT_EQ(qdxtest::CountOpenFds(), fds_before) << "no descriptor leaked";
}

}  // namespace

namespace {

// Reads of two units that hold different values of M1, in a random order (a
// strict alternation would hide a reply shifted by one request), on a paced
// line whose units wait their interval time before they answer. Counts the
// reads that stored the other unit's value.
struct LateCount {
    int good = 0, failed = 0, credited = 0;
};

LateCount AlternatingReads(const std::string& line, int timeout_ms, int reads) {
    LateCount c;
    PortRecord port;
    std::memset(&port, 0, sizeof port);
    StartParams params = qdxtest::Start(line, (timeout_ms + 9) / 10);
    if (Call(kRequestStart, &port, &params) != 0) {
        ADD_FAILURE() << "start failed";
        return c;
    }
    std::mt19937 rng(20261208);
    for (int i = 0; i < reads; ++i) {
        const int unit = 1 + int(rng() % 2);
        PointRecord point{};
        ValueCell cell;
        SetCellU32(&cell, 0);
        EXPECT_EQ(qdxtest::Parse(unit == 1 ? "01K1M1" : "02K1M1", &point), 0);
        point.data_type = kTypeFloat;
        point.value = &cell;
        if (Call(kRequestReadValue, &port, &point) != 0) {
            ++c.failed;
            continue;
        }
        const float own = unit == 1 ? 111.5f : 222.5f;
        if (CellFloat(&cell) == own)
            ++c.good;
        else
            ++c.credited;
    }
    Call(kRequestClose, &port);
    return c;
}

}  // namespace

TEST(Soak, LateAnswersAgainstTheReplyTimeout) {
    if (!qdxtest::Simulator::Available()) GTEST_SKIP() << "no simulator built";
    const int interval_ms = 60;
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--no-drift", "--realistic", "--interval-time", std::to_string(interval_ms)}, {}, &error))
        << error;
    ASSERT_LE(sim.path().size(), size_t{kPortNameMax});
    ASSERT_EQ(sim.Command("set 1 1 M1 111.5").substr(0, 2), "ok");
    ASSERT_EQ(sim.Command("set 2 1 M1 222.5").substr(0, 2), "ok");
    qdxtest::LogCapture log;

    const int safe_ms = rexf::SafeReplyTimeoutMs(interval_ms, 9600, 7, true, 2);
    const double reply_ms = interval_ms + 19 * rexf::CharacterMs(9600, 7, true, 2);  // poll out, reply in
    std::printf("late answers: units with an interval time of %d ms at 9600 baud 7O2 (a poll and its\n"
                "reply take %.0f ms); 40 reads of two units in random order; safe timeout %d ms\n",
                interval_ms, reply_ms, safe_ms);
    std::printf("  %-22s %6s %7s %32s\n", "reply timeout", "good", "failed", "late answers credited to another");
    for (int timeout_ms : {30, interval_ms, 90, safe_ms}) {
        // A quiet line first: answers still on their way from the run before
        // would shift every reply by one request for as long as requests
        // follow each other.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const LateCount c = AlternatingReads(sim.path(), timeout_ms, 40);
        std::printf("  %4d ms%-15s %6d %7d %32d\n", timeout_ms, timeout_ms >= safe_ms ? " (safe rule)" : "",
                    c.good, c.failed, c.credited);
        if (timeout_ms >= safe_ms) {
            EXPECT_EQ(c.credited, 0);
            EXPECT_EQ(c.failed, 0);
        }
    }
}
