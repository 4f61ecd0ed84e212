// qdxpoll's parts that need no line: the diagnosis of recorded exchanges
// (the bytes on the wire with their times, and the driver's result), and the
// CSV and times it writes, and what the page of watch makes of its history.
#include <cmath>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tools/qdxpoll/base/csv.h"
#include "tools/qdxpoll/base/times.h"
#include "tools/qdxpoll/base/usb_instance_id.h"
#include "tools/qdxpoll/config/options.h"
#include "tools/qdxpoll/config/service_setup.h"
#include "tools/qdxpoll/diagnosis/diagnosis.h"
#include "tools/qdxpoll/diagnosis/leftover.h"
#include "tools/qdxpoll/readings/cycle_table.h"
#include "tools/qdxpoll/mqtt/mqtt_topics.h"
#include "tools/qdxpoll/port/device_server_address.h"
#include "tools/qdxpoll/port/read_timeouts.h"
#include "tools/qdxpoll/port/telnet_codec.h"
#include "tools/qdxpoll/readings/values.h"
#include "tools/qdxpoll/readings/written_value.h"
#include "tools/qdxpoll/watch/recent_events.h"
#include "tools/qdxpoll/watch/watch_history.h"
#include "tools/qdxpoll/watch/watch_summary.h"

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
// Clean characters of the protocol that make no reply: another talker's.
const std::string kExtraTaken = "\x06\x15?S10200.0";

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
        std::string hint = "";  // part of the hint ("": any)
    } cases[] = {
        {"a good reply", Recorded(false, true, 3, 30, {{0, '>', kPoll}, {2, '<', kGood}, {3, '>', "\x04"}}), "ok", 1,
         ""},
        {"silence", Recorded(false, false, 90, 30, {{0, '>', kPoll}, {30, '>', kPoll}, {60, '>', kPoll}}), "silent",
         3, "no answer from unit 01 to 3 polls of M1 (nothing within 30 ms of each)", "'qdxpoll probe --units 1'"},
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
         "is no frame: 11 bytes <00><00><00>", "the baud rate, data bits or parity differ"},
        // Characters that decode cleanly are no sign of the line settings.
        {"clean bytes of another answer", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kExtraTaken)), "no_frame",
         3, "is no frame: 11 bytes <ACK><NAK>?S10200.0", "no sign of a wrong line setting"},
        {"the request echoed", Recorded(false, false, 23, 30, ThreeTimes(kPoll, kPoll + "M1-")), "no_frame", 3,
         "is no frame: 11 bytes <EOT>01K1M1<ENQ>M1-", "qdxpoll's own request come back"},
        {"printable garbage", Recorded(false, false, 23, 30, ThreeTimes(kPoll, "~x}z{y|w~x}")), "no_frame", 3,
         "is no frame: 11 bytes", "'qdxpoll probe --units 1' finds the settings"},
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
            EXPECT_NE(d.hint.find(c.hint), std::string::npos) << c.what << ": " << d.hint;
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

// What was still on the line when it opened, frame by frame.
TEST(QdxpollDiagnosis, LeftoverBytesAreNamedByTheirFrames) {
    const struct {
        std::vector<Piece> wire;
        std::string said;
    } cases[] = {
        {{}, ""},
        {{{0, '>', kPoll}}, ""},  // the host's own bytes are no leftover
        {{{0, '<', kGood}}, "a reply"},
        {{{0, '<', kGood + kGood}, {5, '<', kGood + "\x04"}}, "3 replies and an EOT"},
        {{{0, '<', kNak}, {1, '<', "\x06"}, {2, '<', "ab"}}, "an ACK, a NAK and 2 bytes that are no frame"},
    };
    for (const auto& c : cases) EXPECT_EQ(DescribeLeftover(Recorded(false, true, 0, 30, c.wire).wire), c.said);
}

// Many points of a cycle fit the terminal: names and units from the file,
// as many cells a row as the width takes, never a row wider.
TEST(QdxpollOutput, ACycleTableFitsItsWidthWithNamesAndUnits) {
    std::vector<Reading> readings;
    std::vector<ConfigPoint> points;
    for (int unit = 1; unit <= 15; ++unit) {
        Reading r;
        r.address = fmt::format("{:02d}K1M1", unit);
        r.identifier = "M1";
        r.cycle = 4;
        r.ok = unit != 4;
        r.status = r.ok ? "ok" : "silent";
        r.value.text = "159.9";
        r.value.number = 159.9;
        readings.push_back(r);
        ConfigPoint p;
        p.address = r.address;
        p.name = fmt::format("zone {} temperature", unit);
        p.unit = "°C";
        if (unit == 2) p.scale = 2;
        points.push_back(p);
    }
    for (size_t width : {40u, 80u, 132u, 250u}) {
        SCOPED_TRACE(width);
        const std::vector<std::string> lines = CycleTable(readings, points, width);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_NE(lines[0].find("cycle 4"), std::string::npos) << lines[0];
        std::string all;
        for (size_t i = 1; i < lines.size(); ++i) {
            EXPECT_LE(DisplayWidth(lines[i]), width) << lines[i];
            all += lines[i] + "\n";
        }
        for (int unit = 1; unit <= 15; ++unit)
            EXPECT_NE(all.find(fmt::format("zone {} temperature ", unit)), std::string::npos) << all;
        EXPECT_NE(all.find("319.8 °C"), std::string::npos) << "scaled as the file says\n" << all;
        EXPECT_NE(all.find("--- (silent)"), std::string::npos) << all;
        if (width >= 132) {
            EXPECT_LT(lines.size(), 15u) << "cells side by side where they fit\n" << all;
        }
    }
    // Without the file: the address, and the unit model's unit.
    const std::vector<std::string> bare = CycleTable({readings[0]}, {}, 80);
    EXPECT_NE(bare.back().find("01K1M1  159.9 °C"), std::string::npos) << bare.back();
}

// --units with identifiers, as scan takes its list.
TEST(QdxpollOptions, UnitListsMakeAddressesOfIdentifiers) {
    const struct {
        std::vector<std::string> given;
        const char* units;
        int channel;
        std::vector<std::string> addresses;  // empty: refused
        const char* why;
    } cases[] = {
        {{"M1", "S1"}, "1-2", 1, {"01K1M1", "01K1S1", "02K1M1", "02K1S1"}, ""},
        {{"M1"}, "3,5-6", 2, {"03K2M1", "05K2M1", "06K2M1"}, ""},
        {{"M1", "07K1S1"}, "1", 1, {"01K1M1", "07K1S1"}, ""},
        {{"01K1M1"}, "1-5", 1, {}, "--units goes with identifiers"},
        {{"M1"}, "5-1", 1, {}, "--units: "},
        {{"M1"}, "100", 1, {}, "--units: "},
        {{"M1x"}, "1", 1, {}, "\"M1x\" is neither an identifier"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> addresses;
        std::string why;
        const bool ok = ExpandUnitList(c.given, c.units, c.channel, &addresses, &why);
        EXPECT_EQ(ok, !c.addresses.empty()) << c.units << ": " << why;
        if (ok) {
            EXPECT_EQ(addresses, c.addresses) << c.units;
        } else {
            EXPECT_NE(why.find(c.why), std::string::npos) << c.units << ": " << why;
        }
    }
}

TEST(QdxpollOutput, CsvRowsHaveTheirTablesColumnsWhateverTheFieldsHold) {
    const CsvTable table({"line", "unit", "error"});
    EXPECT_EQ(table.HeaderLine(), "line,unit,error");
    EXPECT_EQ(table.Line({{"line", "9600,7O2"}, {"unit", "1"}}), "\"9600,7O2\",1,");
    EXPECT_EQ(table.Line({{"error", "said \"no\"\nthen"}}), ",,\"said \"\"no\"\"\nthen\"");
    EXPECT_EQ(IsoTime(WallClock::time_point(std::chrono::milliseconds(1234))), "1970-01-01T00:00:01.234Z");
}

// A long range cut down for a chart: within its bound, in time order, and
// with nothing a tuning engineer looks for lost: the spike, the dip, and a
// point's time without values.
TEST(QdxpollWatchHistory, DownsampledRangesKeepSpikesAndGapsWithinTheirBound) {
    struct Case {
        const char* what;
        size_t rows, max_rows;
        long long step_ms;  // between rows (0: all at one time)
    };
    const Case cases[] = {
        {"fewer rows than the bound", 50, 100, 1000},
        {"a night at a cycle a second", 36000, 3000, 1000},
        {"an odd bound", 1001, 7, 10},
        {"every row at one time", 500, 10, 0},
    };
    for (const Case& c : cases) {
        // Column 1: a ramp with a spike and a dip; column 2: none in the
        // second quarter.
        HistoryTable table;
        table.width = 2;
        for (size_t r = 0; r < c.rows; ++r) {
            const double v = r == c.rows / 2 ? 999 : r == c.rows / 3 ? -999 : static_cast<double>(r % 100);
            const bool gap = r >= c.rows / 4 && r < c.rows / 2;
            table.cells.insert(table.cells.end(), {static_cast<double>(1000000 + r * c.step_ms), v, gap ? NAN : 1.0});
        }
        const HistoryTable out = Downsample(table, c.max_rows);
        EXPECT_LE(out.rows(), std::max<size_t>(c.max_rows, 4)) << c.what;
        EXPECT_EQ(out.width, 2u);
        double high = -1e9, low = 1e9;
        size_t none = 0;
        for (size_t r = 0; r < out.rows(); ++r) {
            const double* row = &out.cells[r * 3];
            if (r > 0) {
                EXPECT_GE(row[0], out.cells[(r - 1) * 3]) << c.what << ": out of order at " << r;
            }
            high = std::max(high, row[1]);
            low = std::min(low, row[1]);
            none += std::isnan(row[2]);
        }
        EXPECT_EQ(high, 999) << c.what << ": the spike is lost";
        EXPECT_EQ(low, -999) << c.what << ": the dip is lost";
        if (c.step_ms != 0 && c.max_rows >= 100) {
            EXPECT_GT(none, 0u) << c.what << ": the gap is drawn over";
        }
    }
}

// Failures repeated all night are one line each; a new kind of failure
// always shows, in place of the one seen longest ago.
TEST(QdxpollWatchSummary, FailuresGroupByAddressAndCauseWithinTheirBound) {
    FailureGroups groups(2);
    groups.Add(100, "01K1M2", "eot", "EOT 1", "");
    groups.Add(200, "02K1M1", "silent", "nothing", "check the cable");
    groups.Add(300, "01K1M2", "eot", "EOT 2", "");
    groups.Add(400, "01K1M2", "nak", "NAK", "");  // 02K1M1 silent is the stalest
    const nlohmann::json j = groups.Json();
    ASSERT_EQ(j.size(), 3u) << j;
    EXPECT_EQ(j[2]["cause"], "older") << "the group that went is counted";
    EXPECT_EQ(j[2]["count"], 1);
    EXPECT_EQ(j[2]["last"], 200);
    EXPECT_EQ(j[0]["cause"], "nak");
    EXPECT_EQ(j[1]["address"], "01K1M2");
    EXPECT_EQ(j[1]["count"], 2);
    EXPECT_EQ(j[1]["first"], 100);
    EXPECT_EQ(j[1]["last"], 300);
    EXPECT_EQ(j[1]["what"], "EOT 2") << "the latest words";
}

// However many kinds of failure a sick line shows over a month, the groups
// stay within their bound and the failures listed still add up to every
// failure seen: those of the groups that went are counted in one entry.
TEST(QdxpollWatchSummary, GroupsThatGoAreCountedSoThatNoFailureIsLost) {
    struct Case {
        const char* what;
        size_t kept;
        int addresses, causes, rounds;
    };
    const Case cases[] = {
        {"within the bound", 8, 2, 3, 5},
        {"a line of many points", 64, 100, 4, 3},
        {"a bound of one", 1, 3, 2, 4},
        {"nothing kept", 0, 2, 2, 2},
    };
    const char* const kCauses[] = {"silent", "eot", "nak", "bad_bcc"};
    for (const Case& c : cases) {
        FailureGroups groups(c.kept);
        long added = 0, ms = 1000;
        for (int round = 0; round < c.rounds; ++round)
            for (int a = 0; a < c.addresses; ++a)
                for (int k = 0; k < c.causes; ++k, ++added, ms += 10)
                    groups.Add(ms, (a < 10 ? "0" : "") + std::to_string(a) + "K1M1", kCauses[k], "failed", "");
        const nlohmann::json j = groups.Json();
        EXPECT_LE(groups.size(), c.kept) << c.what;
        long listed = 0;
        for (const auto& g : j) listed += g["count"].get<long>();
        EXPECT_EQ(listed, added) << c.what << ": " << j.dump();
        const bool over = static_cast<size_t>(c.addresses * c.causes) > c.kept;
        ASSERT_EQ(j.size(), groups.size() + (over ? 1 : 0)) << c.what;
        if (!over) continue;
        const auto& older = j.back();
        EXPECT_EQ(older["cause"], "older") << c.what;
        EXPECT_NE(older["what"].get<std::string>().find(std::to_string(groups.dropped_groups()) + " group"),
                  std::string::npos)
            << c.what << ": " << older;
        EXPECT_EQ(older["first"], 1000) << c.what << ": the first failure of all went with them";
        EXPECT_LE(older["last"].get<long long>(), j.size() > 1 ? j[0]["last"].get<long long>() : ms) << c.what;
    }
}

// A page that falls behind gets every cycle's event after the last it had,
// in order, or is told to start again: never a stream with a hole in it,
// whatever the events weigh and however far behind it is.
TEST(QdxpollWatchEvents, APageBehindGetsEveryEventOrStartsAgain) {
    struct Case {
        const char* what;
        size_t cycles, bytes, event_bytes;
        long added, sent;
        bool whole;  // the events after `sent` are still kept
    };
    const Case cases[] = {
        {"in step", 64, 1 << 18, 100, 500, 499, true},
        {"a little behind", 64, 1 << 18, 100, 500, 440, true},
        {"past the cycles kept", 64, 1 << 18, 100, 500, 430, false},
        {"heavy events, bound by bytes", 64, 1000, 300, 500, 497, true},
        {"heavy events, past the bytes kept", 64, 1000, 300, 500, 495, false},
        {"one event larger than the bound", 64, 100, 5000, 500, 499, true},
        {"nothing new", 64, 1 << 18, 100, 500, 500, true},
    };
    for (const Case& c : cases) {
        RecentEvents recent(c.cycles, c.bytes);
        for (long n = 1; n <= c.added; ++n) {
            std::string text = "[" + std::to_string(n) + "]";
            text.resize(c.event_bytes, '.');
            recent.Add(n, text);
            EXPECT_LE(recent.size(), std::max<size_t>(c.cycles, 1)) << c.what;
            EXPECT_LE(recent.bytes(), std::max(c.bytes, c.event_bytes)) << c.what;
        }
        std::string out = "untouched";
        const bool whole = recent.Since(c.sent, c.added, &out);
        EXPECT_EQ(whole, c.whole) << c.what;
        if (!whole) {
            EXPECT_EQ(out, "untouched") << c.what;
            continue;
        }
        std::string expected;
        for (long n = c.sent + 1; n <= c.added; ++n) {
            std::string text = "[" + std::to_string(n) + "]";
            text.resize(c.event_bytes, '.');
            expected += text;
        }
        EXPECT_EQ(out, expected) << c.what;
    }
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
        // Days that no calendar has.
        {"2026-02-30", std::nullopt},       {"2026-02-29T00:00Z", std::nullopt},
        {"2026-04-31 10:00", std::nullopt}, {"2028-02-29T00:00Z", 1'835'395'200'000},
        {"2100-02-29T00:00Z", std::nullopt}, {"2000-02-29T00:00Z", 951'782'400'000},
    };
    for (const Case& c : cases) EXPECT_EQ(ParseUserTime(c.text, now), c.ms) << c.text;
    // The hour skipped when summer time begins was never on the clock; the
    // hour after it was.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    EXPECT_EQ(ParseUserTime("2026-03-29 02:30", now), std::nullopt);
    EXPECT_EQ(ParseUserTime("2026-03-29 03:30", now), int64_t{1'774'747'800'000});
    unsetenv("TZ");
    tzset();
}

// What reaches the broker from the network side is decided on parsed
// addresses and exact topic levels, never on prefixes of text.
TEST(MqttNames, BrokerAddressesSetTopicsAndPayloads) {
    struct Broker {
        std::string text;
        bool ok;
        std::string host;
        int port;
        bool tls;
    } brokers[] = {
        {"mqtt://127.0.0.1:1883", true, "127.0.0.1", 1883, false},
        {"mqtt://broker.plant", true, "broker.plant", 1883, false},
        {"mqtts://broker.plant", true, "broker.plant", 8883, true},
        {"mqtt://[::1]:1884", true, "::1", 1884, false},
        {"mqtt://[::1]x", false, "", 0, false},
        {"mqtt://host:0", false, "", 0, false},
        {"mqtt://host:65536", false, "", 0, false},
        {"mqtt://host:", false, "", 0, false},
        {"mqtt://user:pw@host", false, "", 0, false},
        {"mqtt://host/path", false, "", 0, false},
        {"tcp://host:1883", false, "", 0, false},
        {"mqtt://", false, "", 0, false},
    };
    for (const Broker& b : brokers) {
        BrokerAddress a;
        std::string why;
        EXPECT_EQ(ParseBrokerAddress(b.text, &a, &why), b.ok) << b.text << ": " << why;
        if (!b.ok) continue;
        EXPECT_EQ(a.host, b.host) << b.text;
        EXPECT_EQ(a.port, b.port) << b.text;
        EXPECT_EQ(a.tls, b.tls) << b.text;
    }

    const TopicNames names{"plant/qdx", "line1"};
    struct Topic {
        std::string topic, address;  // "" : refused
    } topics[] = {
        {"plant/qdx/line1/01/1/S1/set", "01K1S1"},
        {"plant/qdx/line1/99/0/A1/set", "99K0A1"},
        {"plant/qdx/line1/01/1/S1/set/x", ""},
        {"plant/qdx/line1/01/1/S1", ""},
        {"plant/qdx/line10/01/1/S1/set", ""},
        {"plant/qdx/line1/1/1/S1/set", ""},
        {"plant/qdx/line1/001/1/S1/set", ""},
        {"plant/qdx/line1/01/9/S1/set", ""},
        {"plant/qdx/line1/01/1/Q9/set", ""},
        {"plant/qdx/line1/01/1/s1/set", ""},
        {"plant/qdx/line1//1/S1/set", ""},
        {"plant/qdx2/line1/01/1/S1/set", ""},
        {"qdx/line1/01/1/S1/set/set", ""},
    };
    for (const Topic& t : topics) {
        std::string address, why;
        EXPECT_EQ(ParseSetTopic(names, t.topic, &address, &why), !t.address.empty()) << t.topic;
        EXPECT_EQ(address, t.address) << t.topic;
    }

    // A payload is judged whole: its size is that of all of it, however
    // little of it is kept.
    struct Payload {
        std::string text;
        size_t size;
        std::string value;  // "" : refused
        std::string why;    // a part of the refusal
    } payloads[] = {
        {"180.5", 5, "180.5", ""},
        {" -1.5\n", 6, "-1.5", ""},
        {"1e3", 3, "1e3", ""},
        {"{\"value\": 180.5}", 16, "180.5", ""},
        {"{\"value\": 181}", 14, "181", ""},
        {"{\"value\": 1e2}", 14, "100", ""},
        {"{\"value\": \"42\"}", 15, "42", ""},
        {"{\"value\": 1, \"value\": 2}", 24, "", "\"value\" is given twice"},
        {"{\"value\": {\"a\": 1, \"a\": 1}}", 27, "", "given twice"},
        {"", 0, "", "no value"},
        {"abc", 3, "", "not a decimal number"},
        {"{\"value\": true}", 15, "", "not boolean"},
        {"{\"value\": 1, \"x\": 2}", 19, "", "{\"value\": 180.5}"},
        {"{\"v\": 1}", 8, "", "{\"value\": 180.5}"},
        {"{\"value\": 1", 11, "", "not JSON"},
        {"[1]", 3, "", "not a decimal number"},
        {"-", 1, "", "not a decimal number"},
        {std::string(64, ' ') , 64, "", "no value"},
        {std::string(65, '1'), 65, "", "this one has 65 bytes"},
        {std::string(65, '1'), 1000000, "", "this one has 1000000 bytes"},
        {std::string("1\0", 2), 2, "", "not a decimal number"},
    };
    for (const Payload& p : payloads) {
        std::string value, why;
        EXPECT_EQ(ParseSetPayload(p.text, p.size, &value, &why), !p.value.empty()) << p.text << ": " << why;
        EXPECT_EQ(value, p.value) << p.text;
        EXPECT_NE(why.find(p.why), std::string::npos) << p.text << ": " << why;
    }
    std::string why;
    EXPECT_FALSE(ValidTopicLevels("a/+/b", &why));
    EXPECT_FALSE(ValidTopicLevels("a//b", &why));
    EXPECT_TRUE(ValidTopicLevels("plant/qdx", &why));
}

// One grammar for a written value, whichever way it comes: the command
// line's text, an MQTT set payload (plain, or {"value": ...} with the text
// or, where the text is a JSON number, the number) and the page's form (a
// string or a number) each fill the cell the command line fills, or are
// each refused.
TEST(WrittenValues, EveryWayInTakesTheSameValues) {
    struct Case {
        uint32_t type;
        std::string text;
        bool accepted;
    } cases[] = {
        {kTypeFloat, "180.5", true},   {kTypeFloat, "1e2", true},      {kTypeFloat, "1E2", true},
        {kTypeFloat, "1.5e-1", true},  {kTypeFloat, "+5", true},       {kTypeFloat, ".5", true},
        {kTypeFloat, "5.", true},      {kTypeFloat, " 42\n", true},    {kTypeFloat, "-999.9", true},
        {kTypeFloat, "-0", true},      {kTypeFloat, "9999.9", true},   {kTypeFloat, "10000", false},
        {kTypeFloat, "1e4", false},    {kTypeFloat, "1e400", false},   {kTypeFloat, "1e-400", true},
        {kTypeFloat, "nan", false},    {kTypeFloat, "inf", false},     {kTypeFloat, "0x10", false},
        {kTypeFloat, "1,5", false},    {kTypeFloat, "1e", false},      {kTypeFloat, "e5", false},
        {kTypeFloat, "--5", false},    {kTypeFloat, "", false},        {kTypeFloat, "5 5", false},
        {kTypeFloat, "1_000", false},  {kTypeFloat, "+0." + std::string(30, '0') + "1", false},
        {kTypeU16, "150", true},       {kTypeU16, "150.0", true},      {kTypeU16, "1.5e2", true},
        {kTypeU16, "1e2", true},       {kTypeU16, "-0", true},         {kTypeU16, "12.5", false},
        {kTypeU16, "1.555e2", false},   {kTypeU16, "65536", false},     {kTypeU16, "1e20", false},
        {kTypeU16, "99999999999999999999", false},                    {kTypeU16, "150.000000001", false},
        {kTypeS16, "-1.0e1", true},    {kTypeState, "1.0", true},      {kTypeState, "2", false},
        {kTypeBcd, "12.34e2", true},   {kTypeU32, "4294967295e-10", false},
    };
    auto same_cell = [](const ValueCell& a, const ValueCell& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    for (const Case& c : cases) {
        const std::string what = std::string(TypeName(c.type)) + " \"" + c.text + "\"";
        ValueCell typed{};
        std::string why;
        EXPECT_EQ(EncodeValue(c.type, c.text, &typed, &why), c.accepted) << what << ": " << why;

        // Each way in gives text to EncodeValue, or refuses the value itself.
        std::vector<std::pair<std::string, std::optional<std::string>>> ways;
        auto through_mqtt = [&](const std::string& payload) -> std::optional<std::string> {
            std::string value, refusal;
            if (!ParseSetPayload(payload, payload.size(), &value, &refusal)) return std::nullopt;
            return value;
        };
        auto through_page = [&](const nlohmann::json& given) -> std::optional<std::string> {
            std::string value, refusal;
            if (!WrittenValueFromJson(given, &value, &refusal)) return std::nullopt;
            return value;
        };
        ways.emplace_back("mqtt text", through_mqtt(c.text));
        ways.emplace_back("mqtt {\"value\": \"...\"}", through_mqtt(nlohmann::json{{"value", c.text}}.dump()));
        ways.emplace_back("page string", through_page(c.text));
        const nlohmann::json number = nlohmann::json::parse(c.text, nullptr, false);
        if (number.is_number()) {
            ways.emplace_back("mqtt {\"value\": number}", through_mqtt("{\"value\": " + c.text + "}"));
            ways.emplace_back("page number", through_page(number));
        }
        for (const auto& [way, text] : ways) {
            ValueCell cell{};
            const bool accepted = text && EncodeValue(c.type, *text, &cell, &why);
            EXPECT_EQ(accepted, c.accepted) << what << " by " << way << ": " << why;
            if (accepted) {
                EXPECT_TRUE(same_cell(cell, typed)) << what << " by " << way << " as " << *text;
            }
        }
    }
}

// On change: a move beyond the deadband, a change of outcome, or the time
// since the last one published.
TEST(MqttNames, PublishFilterTakesChangesAndKeepsTheInterval) {
    using std::chrono::seconds;
    const auto t0 = std::chrono::steady_clock::time_point{};
    auto sample = [](double value, bool ok) {
        Reading r;
        r.address = "01K1M1";
        r.ok = ok;
        r.has_value = ok;
        r.value.number = value;
        r.status = ok ? "ok" : "silent";
        return r;
    };
    struct Step {
        double value;
        bool ok;
        int at_s;
        bool taken;
    } steps[] = {
        {100.0, true, 0, true},  {100.4, true, 1, false}, {100.6, true, 2, true},  {100.2, true, 3, false},
        {0, false, 4, true},     {0, false, 5, false},    {100.2, true, 6, true},  {100.2, true, 15, false},
        {100.2, true, 16, true},
    };
    PublishFilter change(false, 0.5, 10);
    PublishFilter every(true, 0.5, 10);
    for (const Step& s : steps) {
        EXPECT_EQ(change.Take(sample(s.value, s.ok), t0 + seconds(s.at_s)), s.taken) << s.at_s;
        EXPECT_TRUE(every.Take(sample(s.value, s.ok), t0 + seconds(s.at_s)));
    }
}

}  // namespace

TEST(QdxpollDeviceServer, PortNamesAreParsedPieceByPiece) {
    struct Case {
        const char* name;
        bool ok;
        const char* host_or_error;  // the host when ok, else a part of the error
        int port;
    } cases[] = {
        {"tcp:127.0.0.1:4001", true, "127.0.0.1", 4001},
        {"rfc2217:[::1]:65535", true, "::1", 65535},
        {"tcp:[fe80::1%eth0]:1", true, "fe80::1%eth0", 1},
        {"rfc2217:line-7.plant.example:2000", true, "line-7.plant.example", 2000},
        {"tcp:127.0.0.1", false, "no :PORT", 0},
        {"tcp:127.0.0.1:0", false, "1..65535", 0},
        {"tcp:127.0.0.1:65536", false, "1..65535", 0},
        {"tcp:127.0.0.1:+80", false, "1..65535", 0},
        {"tcp:127.0.0.1:", false, "1..65535", 0},
        {"tcp::4001", false, "no host", 0},
        {"rfc2217:::1:4001", false, "IPv6 address goes in brackets", 0},
        {"tcp:[::1:4001", false, "no closing ']'", 0},
        {"tcp:[::1]4001", false, "no :PORT after", 0},
        {"tcp:[1::2::3]:4001", false, "not an IPv6 address", 0},
        {"tcp:256.1.1.1:4001", false, "neither an IPv4 address", 0},
        {"tcp:1.2.3:4001", false, "neither an IPv4 address", 0},
        {"tcp:bad_host:4001", false, "neither an IPv4 address", 0},
        {"tcp:-host:4001", false, "neither an IPv4 address", 0},
        {"tcp:host/../x:4001", false, "neither an IPv4 address", 0},
    };
    for (const Case& c : cases) {
        DeviceServerAddress a;
        std::string error;
        EXPECT_TRUE(NamesDeviceServer(c.name)) << c.name;
        ASSERT_EQ(ParseDeviceServer(c.name, &a, &error), c.ok) << c.name << ": " << error;
        if (c.ok) {
            EXPECT_EQ(a.host, c.host_or_error) << c.name;
            EXPECT_EQ(a.port, c.port) << c.name;
        } else {
            EXPECT_NE(error.find(c.host_or_error), std::string::npos) << c.name << ": " << error;
        }
    }
    for (const char* device : {"/dev/ttyUSB0", "ttyS0", "./tcp:1:2", "TCP:host:1"}) EXPECT_FALSE(NamesDeviceServer(device));
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

// What a device server sends, fed in pieces cut at every place: the same
// data, answers and replies whatever the cut.
TEST(QdxpollDeviceServer, TelnetStreamsDecodeTheSameWhereverTheyAreCut) {
    using namespace telnet;
    struct Case {
        const char* what;
        std::vector<uint8_t> in;
        std::vector<uint8_t> data, answer;
        std::vector<std::pair<int, uint32_t>> replies;
    } cases[] = {
        {"a reply with an escaped FF in its BCC place", Bytes({2, 'M', '1', kIac, kIac, 3, 0x41}),
         Bytes({2, 'M', '1', 0xFF, 3, 0x41}), {}, {}},
        {"ser2net's opening: echo refused, the rest agreed silently",
         Bytes({kIac, kWill, kSuppressGoAhead, kIac, kDo, kSuppressGoAhead, kIac, kWill, 1, kIac, kDont, 1, kIac, kDo,
                kBinary, kIac, kWill, kBinary, kIac, kDo, kComPort}),
         {}, Bytes({kIac, kWont, kSuppressGoAhead, kIac, kDont, 1}), {}},
        {"line replies, a baud rate with an escaped FF, and a notification",
         Bytes({kIac, kSb, kComPort, 101, 0, 0, kIac, kIac, 0, kIac, kSe, kIac, kSb, kComPort, 102, 7, kIac, kSe, kIac,
                kSb, kComPort, 107, 0, kIac, kSe, 6}),
         Bytes({6}), {}, {{1, 0xFF00}, {2, 7}}},
        {"commands between data bytes carry no data", Bytes({'a', kIac, 241, 'b', kIac, 249, 'c'}), Bytes({'a', 'b', 'c'}),
         {}, {}},
        {"an overlong subnegotiation is dropped whole",
         [] {
             auto v = Bytes({kIac, kSb, kComPort, 101});
             v.insert(v.end(), 200, 1);
             for (uint8_t b : {kIac, kSe, uint8_t{4}}) v.push_back(b);
             return v;
         }(),
         Bytes({4}), {}, {}},
    };
    for (const Case& c : cases) {
        for (size_t cut = 0; cut <= c.in.size(); ++cut) {
            Codec codec;
            // Binary agreed both ways first, as with ser2net.
            std::vector<uint8_t> data, answer;
            std::vector<ComPortReply> replies;
            const auto binary = Bytes({kIac, kWill, kBinary, kIac, kDo, kBinary});
            codec.Decode(binary.data(), binary.size(), &data, &answer, &replies);
            codec.Decode(c.in.data(), cut, &data, &answer, &replies);
            codec.Decode(c.in.data() + cut, c.in.size() - cut, &data, &answer, &replies);
            EXPECT_EQ(data, c.data) << c.what << ", cut at " << cut;
            EXPECT_EQ(answer, c.answer) << c.what << ", cut at " << cut;
            std::vector<std::pair<int, uint32_t>> got;
            for (const ComPortReply& r : replies) got.emplace_back(r.command, r.value);
            EXPECT_EQ(got, c.replies) << c.what << ", cut at " << cut;
        }
    }
}

TEST(QdxpollDeviceServer, DataAndLineCommandsAreEscapedForTheServer) {
    using namespace telnet;
    Codec text;  // binary not (yet) agreed: CR goes as CR NUL
    const auto frame = Bytes({4, '0', '1', 0x0D, 0xFF, 5});
    EXPECT_EQ(text.Encode(frame.data(), frame.size()), Bytes({4, '0', '1', 0x0D, 0, 0xFF, 0xFF, 5}));
    Codec binary;
    std::vector<uint8_t> data, answer;
    std::vector<ComPortReply> replies;
    const auto agree = Bytes({kIac, kDo, kBinary});
    binary.Decode(agree.data(), agree.size(), &data, &answer, &replies);
    EXPECT_EQ(binary.Encode(frame.data(), frame.size()), Bytes({4, '0', '1', 0x0D, 0xFF, 0xFF, 5}));

    rexf::LineFormat line;
    line.baud = 0xFF00;  // not a real rate: its FF byte must be doubled
    line.data_bits = 8;
    line.parity = rexf::kParityEven;
    line.stop_bits = rexf::kStopBits1_5;
    EXPECT_EQ(LineCommands(line),
              Bytes({kIac, kSb, kComPort, 1, 0, 0, 0xFF, 0xFF, 0, kIac, kSe, kIac, kSb, kComPort, 2, 8, kIac, kSe, kIac,
                     kSb, kComPort, 3, 3, kIac, kSe, kIac, kSb, kComPort, 4, 3, kIac, kSe, kIac, kSb, kComPort, 5, 1,
                     kIac, kSe}));
}

// list-ports on Windows names an adapter by what its instance ID holds; IDs
// as Windows and the common adapters' drivers make them.
TEST(QdxpollUsbInstanceId, AdaptersAreNamedByVendorProductAndTheirOwnSerialOnly) {
    struct Case {
        const char* id;
        const char* usb_id;
        const char* serial;
    };
    const Case cases[] = {
        {"USB\\VID_0403&PID_6001\\A600XYZ", "0403:6001", "A600XYZ"},
        {"usb\\vid_10c4&pid_ea60\\0001", "10c4:ea60", "0001"},
        {"FTDIBUS\\VID_0403+PID_6001+A600XYZA\\0000", "0403:6001", "A600XYZA"},
        {"FTDIBUS\\VID_0403+PID_6015+\\0000", "0403:6015", ""},
        // No serial number: Windows made the last part up from the hub's port.
        {"USB\\VID_067B&PID_2303\\5&2A3B1C&0&2", "067b:2303", ""},
        // An interface of a composite device: the serial is its parent's.
        {"USB\\VID_1A86&PID_7523&MI_00\\6&1F2E&0&0000", "1a86:7523", ""},
        {"USB\\VID_2341&PID_0043\\75833353035351F0E1A1\\extra", "2341:0043", ""},
        // Not USB, or not whole IDs.
        {"ACPI\\PNP0501\\1", "", ""},
        {"USB\\VID_04G3&PID_6001\\X", "", ""},
        {"USB\\VID_0403&PID_60", "", ""},
        {"USB\\VID_0403", "", ""},
        {"USB\\XVID_0403&PID_6001\\A1", "", ""},
        {"USB\\VID_0403&PID_6001\\A 1", "0403:6001", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        const UsbInstanceId id = ParseUsbInstanceId(c.id);
        EXPECT_EQ(id.usb_id, c.usb_id) << c.id;
        EXPECT_EQ(id.serial_number, c.serial) << c.id;
    }
    // Any bytes at all, cut anywhere: never read past the text.
    const std::string whole = "FTDIBUS\\VID_0403+PID_6001+A600XYZA\\0000";
    for (size_t n = 0; n <= whole.size(); ++n) ParseUsbInstanceId(whole.substr(0, n));
    EXPECT_EQ(ParseUsbInstanceId(std::string("USB\\VID_0403&PID_6001\\A\0B", 25)).serial_number, "");
}

// The driver's reads on Windows are answered by qdxpoll's layer, which must
// end them as a COM port would under the timeouts the driver set: too early
// and a reply is cut, too late (or never) and Ctrl-C and the scan wait.
TEST(QdxpollReadTimeouts, ReadsEndAsACommPortEndsThem) {
    constexpr uint32_t kMax = kTimeoutMaxValue;
    struct Row {
        const char* what;
        ReadTimeouts t;
        uint32_t count, got;
        int64_t now, last, wait;
    };
    const Row rows[] = {
        {"the driver's reply wait, nothing yet", {0, 0, 300}, 12, 0, 0, 0, 300},
        {"the driver's reply wait, part way", {0, 0, 300}, 12, 5, 120, 110, 180},
        {"the driver's reply wait, over", {0, 0, 300}, 12, 5, 300, 110, 0},
        {"the driver's reply wait, past (no negative wait)", {0, 0, 300}, 12, 0, 450, 0, 0},
        {"all asked for is there", {0, 0, 300}, 12, 12, 10, 10, 0},
        {"all zero waits without limit", {0, 0, 0}, 12, 3, 5000, 100, -1},
        {"MAXDWORD,0,0 returns at once", {kMax, 0, 0}, 12, 0, 0, 0, 0},
        {"MAXDWORD,MAXDWORD,c waits for a first byte", {kMax, kMax, 100}, 12, 0, 30, 0, 70},
        {"MAXDWORD,MAXDWORD,c ends on that byte", {kMax, kMax, 100}, 12, 1, 30, 30, 0},
        {"MAXDWORD,MAXDWORD,0 is no special case", {kMax, kMax, 0}, 2, 0, 0, 0, 2LL * kMax},
        {"an interval starts at the first byte only", {20, 0, 0}, 12, 0, 5000, 0, -1},
        {"an interval after the last byte", {20, 0, 0}, 12, 1, 60, 50, 10},
        {"an interval run out", {20, 0, 0}, 12, 1, 80, 50, 0},
        {"interval and total, the interval sooner", {20, 0, 100}, 12, 1, 95, 90, 5},
        {"interval and total, the total sooner", {20, 0, 100}, 12, 1, 90, 85, 10},
        {"a multiplier counts every byte asked for", {0, 10, 5}, 3, 0, 0, 0, 35},
        {"the largest values do not overflow", {0, kMax - 1, kMax - 1}, 0xFFFF, 0, 0, 0,
         static_cast<int64_t>(kMax - 1) * 0xFFFF + (kMax - 1)},
    };
    for (const Row& r : rows) {
        const ReadClock clock(r.t, r.count);
        EXPECT_EQ(clock.WaitMs(r.got, r.now, r.last), r.wait) << r.what;
    }
}

// A Windows service's line: its name and log as install registers them, and
// the command line the service control manager starts with them.
TEST(QdxpollServiceSetup, TheNameAndLogComeFromTheFileAndItsHistory) {
    struct Case {
        const char* config;
        const char* database;
        bool good;
        const char* name;
        const char* log;
    } cases[] = {
        {"/srv/qdx/line1.toml", "", true, "qdxpoll@line1", "/srv/qdx/line1.log"},
        {"/srv/qdx/line1.toml", "line1.db", true, "qdxpoll@line1", "/srv/qdx/line1.log"},
        {"/srv/qdx/oven-2.toml", "hist/oven.db", true, "qdxpoll@oven-2", "/srv/qdx/hist/oven-2.log"},
        {"/srv/qdx/line1.toml", "/var/lib/qdx/l1.db", true, "qdxpoll@line1", "/var/lib/qdx/line1.log"},
        {"/srv/qdx/../qdx/a_b.c.toml", "", true, "qdxpoll@a_b.c", "/srv/qdx/a_b.c.log"},
        {"/srv/qdx/line 1.toml", "", false, "", ""},
        {"/srv/qdx/line@1.toml", "", false, "", ""},
        {"/srv/qdx/\"x\".toml", "", false, "", ""},
    };
    for (const Case& c : cases) {
        ServiceSetup setup;
        std::string why;
        const bool good = DescribeService("/opt/qdx/qdxpoll.exe", c.config, c.database, &setup, &why);
        EXPECT_EQ(good, c.good) << c.config << ": " << why;
        if (!good) {
            EXPECT_FALSE(why.empty()) << c.config;
            continue;
        }
        EXPECT_EQ(setup.name, c.name) << c.config;
        EXPECT_EQ(setup.log_file, c.log) << c.config;
        EXPECT_EQ(ServiceLogOf(setup.command_line), c.log) << setup.command_line;
    }
    ServiceSetup setup;
    std::string why;
    EXPECT_FALSE(DescribeService("/opt/q\"dx/qdxpoll.exe", "/srv/line1.toml", "", &setup, &why));
    EXPECT_NE(why.find("command line"), std::string::npos) << why;
}

namespace {

// A command line split as Windows splits one into argv (no escaped quotes,
// which DescribeService never writes).
std::vector<std::string> SplitCommandLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (c == ' ' && !quoted) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word += c;
            any = true;
        }
    }
    if (any) words.push_back(word);
    return words;
}

}  // namespace

TEST(QdxpollServiceSetup, TheServiceProcessFindsWhatInstallRegistered) {
    ServiceSetup setup;
    std::string why;
    ASSERT_TRUE(DescribeService("/opt/my tools/qdxpoll.exe", "/srv/my lines/line1.toml", "db/line1.db", &setup, &why))
        << why;
    std::vector<std::string> argv = SplitCommandLine(setup.command_line);
    ASSERT_FALSE(argv.empty());
    EXPECT_EQ(argv.front(), "/opt/my tools/qdxpoll.exe");
    argv.erase(argv.begin());
    const auto markers = TakeServiceMarkers(argv);
    ASSERT_TRUE(markers.has_value()) << setup.command_line;
    EXPECT_EQ(markers->name, "qdxpoll@line1");
    EXPECT_EQ(markers->log_file, "/srv/my lines/db/line1.log");
    EXPECT_EQ(markers->folder, "/srv/my lines");
    EXPECT_EQ(markers->arguments, (std::vector<std::string>{"run", "--config", "/srv/my lines/line1.toml"}));
}

TEST(QdxpollServiceSetup, OnlyARunWithTheMarkersIsAService) {
    using Words = std::vector<std::string>;
    struct Case {
        Words arguments;
        bool service;
        const char* name;
        const char* log;
        Words rest;
    } cases[] = {
        {{}, false, "", "", {}},
        {{"run", "--config", "a.toml"}, false, "", "", {}},
        {{"poll", "--service", "x", "01K1M1"}, false, "", "", {}},
        {{"run", "--service", "qdxpoll@a", "--config", "a.toml", "--service-log", "a.log"},
         true, "qdxpoll@a", "a.log", {"run", "--config", "a.toml"}},
        // Markers without their values: the process refuses them.
        {{"run", "--service", "--config", "a.toml"}, true, "", "", {"run", "--config", "a.toml"}},
        {{"run", "--config", "a.toml", "--service-log"}, true, "", "", {"run", "--config", "a.toml"}},
    };
    for (const Case& c : cases) {
        const auto markers = TakeServiceMarkers(c.arguments);
        ASSERT_EQ(markers.has_value(), c.service) << (c.arguments.empty() ? "" : c.arguments.front());
        if (!markers) continue;
        EXPECT_EQ(markers->name, c.name);
        EXPECT_EQ(markers->log_file, c.log);
        EXPECT_EQ(markers->arguments, c.rest);
    }
}
