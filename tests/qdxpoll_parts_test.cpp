// qdxpoll's parts that need no line: the diagnosis of recorded exchanges
// (the bytes on the wire with their times, and the driver's result), and the
// CSV and times it writes.
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/qdxpoll/csv.h"
#include "tools/qdxpoll/diagnosis.h"
#include "tools/qdxpoll/times.h"

namespace {

const std::string kPoll = "\x04" "01K1M1\x05";
const std::string kSelect = "\x04" "01\x02K1S1000025\x03\x1C";
const std::string kGood = "\x02M1-199.9\x03\x74";
const std::string kBadBcc = "\x02M1-199.9\x03\x75";
const std::string kNoStx = "?M1-199.9\x03\x74";
const std::string kNoEtx = "\x02M1-199.9?\x48";
const std::string kOtherId = "\x02" "1M-199.9\x03\x74";
const std::string kNul(11, '\0');
const std::string kNak = "\x15";

// One piece on the wire: its time after the request began, '>' from the
// host or '<' from the unit, and its bytes.
struct Piece {
    double ms;
    char side;
    std::string bytes;
};

// A request that the driver ended after `elapsed` ms.
Exchange Recorded(bool write, bool driver_ok, double elapsed, int timeout, const std::vector<Piece>& wire) {
    Exchange x;
    x.write = write;
    x.unit = 1;
    x.identifier = write ? "S1" : "M1";
    x.written_text = "25";
    x.timeout_ms = timeout;
    x.safe_timeout_ms = 340;
    x.driver_ok = driver_ok;
    x.observed = true;
    x.start = SteadyClock::now();
    auto at = [&x](double ms) {
        return x.start + std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double, std::milli>(ms));
    };
    x.end = at(elapsed);
    for (const Piece& p : wire)
        x.wire.push_back({at(p.ms), p.side == '>' ? Direction::kToUnit : Direction::kFromUnit,
                          std::vector<uint8_t>(p.bytes.begin(), p.bytes.end())});
    return x;
}

// Three polls at 0, 10 and 20 ms, each met by `answer` 2 ms later.
std::vector<Piece> ThreeTimes(const std::string& frame, const std::string& answer) {
    return {{0, '>', frame}, {2, '<', answer}, {10, '>', frame}, {12, '<', answer}, {20, '>', frame}, {22, '<', answer}};
}

TEST(QdxpollDiagnosis, RecordedExchangesAreNamedByWhatTheLineDid) {
    struct Case {
        const char* what;
        Exchange x;
        const char* cause;
        int attempts;
        std::string said;  // part of the failure line ("" : none)
    } cases[] = {
        {"a good reply", Recorded(false, true, 3, 30, {{0, '>', kPoll}, {2, '<', kGood}, {3, '>', "\x04"}}), "ok", 1,
         ""},
        {"silence", Recorded(false, false, 90, 30, {{0, '>', kPoll}, {30, '>', kPoll}, {60, '>', kPoll}}), "silent",
         3, "no answer from unit 01 to 3 polls of M1 (nothing within 30 ms of each)"},
        {"silence cut short by the port", Recorded(false, false, 3, 30, {{0, '>', kPoll}, {1, '>', kPoll}, {2, '>', kPoll}}),
         "silent", 3, "(the attempts ended before the reply timeout: the port failed)"},
        {"NAK", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kNak)), "nak", 3,
         "unit 01 answers NAK to the poll of M1 (3 of 3 attempts)"},
        {"bad BCC", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kBadBcc)), "bad_bcc", 3,
         "unit 01's replies to M1 fail the BCC check: computed 74, received 75 (3 of 3 attempts)"},
        {"no STX", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kNoStx)), "no_stx", 3,
         "do not begin with STX: the first byte is 3F '?'"},
        {"no ETX", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kNoEtx)), "no_etx", 3,
         "have no ETX after six data characters: byte 10 is 3F '?'"},
        {"another identifier", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kOtherId)), "wrong_identifier", 3,
         "unit 01 replied with identifier 1M to the poll of M1"},
        {"bytes that are no frame", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kNul)), "no_frame", 3,
         "is no frame: 11 bytes <00><00><00>"},
        {"attempts that differ: the most telling names the request",
         Recorded(false, false, 62, 30, {{0, '>', kPoll}, {2, '<', kBadBcc}, {10, '>', kPoll}, {40, '>', kPoll},
                                         {42, '<', kNak}}),
         "nak", 3, "answers NAK to the poll of M1 (attempts: BCC, nothing, NAK)"},
        {"a late answer taken by the retry",
         Recorded(false, true, 151, 100, {{0, '>', kPoll}, {100, '>', kPoll}, {150, '<', kGood}, {250, '<', kGood}}),
         "late", 2,
         "unit 01 answered the poll of M1 150 ms after it, later than its 100 ms reply timeout; the retry took that "
         "late answer as its own reply (the unit's value, one poll older): a reply timeout of 160 ms would have "
         "taken it"},
        {"a refused write", Recorded(true, false, 23, 30, ThreeTimes(kSelect, kNak)), "nak", 3,
         "unit 01 refused the write of S1 := 25 (NAK to 3 selects)"},
    };
    for (Case& c : cases) {
        const Diagnosis d = Diagnose(c.x);
        EXPECT_STREQ(CauseCode(d.cause), c.cause) << c.what << ": " << d.what;
        EXPECT_EQ(d.attempts, c.attempts) << c.what;
        if (c.said.empty()) {
            EXPECT_EQ(d.what, "") << c.what;
        } else {
            EXPECT_NE(d.what.find(c.said), std::string::npos) << c.what << ": " << d.what;
            EXPECT_FALSE(d.hint.empty()) << c.what;
        }
    }
    const Diagnosis good = Diagnose(cases[0].x);
    EXPECT_EQ(good.raw, "-199.9");

    // Without a view of the wire only the driver's result is told, and only
    // a wait that happened.
    Exchange direct = Recorded(false, false, 95, 30, {});
    direct.observed = false;
    direct.unobserved_hint = "run without --direct";
    const Diagnosis d = Diagnose(direct);
    EXPECT_STREQ(CauseCode(d.cause), "no_reply");
    EXPECT_NE(d.what.find("no valid reply from unit 01 to 3 polls of M1 (each waited the 30 ms reply timeout)"),
              std::string::npos)
        << d.what;
    EXPECT_EQ(d.hint, "run without --direct");
    direct.end = direct.start + std::chrono::milliseconds(20);
    EXPECT_EQ(Diagnose(direct).what.find("each waited"), std::string::npos);
}

TEST(QdxpollOutput, CsvRowsHaveTheirTablesColumnsWhateverTheFieldsHold) {
    const CsvTable table({"line", "unit", "error"});
    EXPECT_EQ(table.HeaderLine(), "line,unit,error");
    EXPECT_EQ(table.Line({{"line", "9600,7O2"}, {"unit", "1"}}), "\"9600,7O2\",1,");
    EXPECT_EQ(table.Line({{"error", "said \"no\"\nthen"}}), ",,\"said \"\"no\"\"\nthen\"");
    EXPECT_EQ(IsoTime(WallClock::time_point(std::chrono::milliseconds(1234))), "1970-01-01T00:00:01.234Z");
}

TEST(QdxpollTimes, UserTimesAreUtcLocalOrRelative) {
    const WallClock::time_point now(std::chrono::milliseconds(1'765'000'000'000));
    const int64_t n = 1'765'000'000'000;
    // 2026-12-08T14:05:01.250Z
    const int64_t t = 1'796'738'701'250;
    setenv("TZ", "CET-1", 1);  // local time one hour ahead of UTC, no summer time
    tzset();
    struct Case {
        const char* text;
        std::optional<int64_t> ms;
    };
    const std::vector<Case> cases = {
        {"2026-12-08T14:05:01.25Z", t},     {"2026-12-08T14:05:01.250+00:00", t},
        {"2026-12-08T15:05:01.25+01:00", t}, {"2026-12-08T09:35:01.25-0430", t},
        {"2026-12-08 15:05:01.25", t},      {"2026-12-08T15:05:01,25", t},
        {"2026-12-08T14:05Z", t - 1250},    {"2026-12-08", t - (14 * 3600 + 5 * 60 + 1) * 1000 - 250 - 3600000},
        {"-90s", n - 90'000},               {"-10m", n - 600'000},
        {"-1h", n - 3'600'000},             {"-2d", n - 172'800'000},
        {"now", n},                         {"", std::nullopt},
        {"-1y", std::nullopt},              {"-h", std::nullopt},
        {"2026-13-01", std::nullopt},       {"2026-12-08T25:00Z", std::nullopt},
        {"2026-12-08T14:05:01.Z", std::nullopt}, {"2026-12-08T14:05:01Zjunk", std::nullopt},
        {"2026-12-08T14:05+1", std::nullopt}, {"yesterday", std::nullopt},
        {"-99999999999999999999h", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseUserTime(c.text, now), c.ms) << c.text;
    unsetenv("TZ");
    tzset();
}

}  // namespace
