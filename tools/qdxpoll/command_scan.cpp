// scan: which unit addresses answer an identifier, and how.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"
#include "driver_log.h"
#include "exit_codes.h"
#include "line_settings.h"
#include "platform.h"
#include "rexf/line_timing.h"
#include "rexf/unit_list.h"
#include "rexf/wire.h"
#include "session.h"

namespace {

// The quiet a confirmation waits for at least: the end of the hit's answer.
constexpr int kShortestPauseMs = 30;

// What a scan found.
struct ScanTotals {
    std::string identifier;
    int channel = 1;
    int tried = 0;
    std::vector<int> good;
    std::vector<int> eot;                          // answer EOT: no such identifier
    std::vector<std::pair<int, std::string>> bad;  // answer badly, and how
    int silent = 0;
    bool interrupted = false;
    double seconds = 0;
};

// An address that answers badly: the cause in a few words.
std::string ScanWords(const Diagnosis& d) {
    const CauseInfo& info = InfoOf(d.cause);
    if (*info.scan_words == '\0') return info.code;
    return fmt::format(fmt::runtime(info.scan_words), d.late_ms);
}

std::string BadList(const ScanTotals& t) {
    std::string list;
    for (const auto& b : t.bad) list += fmt::format("{}{:02d} ({})", list.empty() ? "" : ", ", b.first, b.second);
    return list;
}

void Summary(Reporter& out, const ScanTotals& t) {
    auto units = [](const std::vector<int>& list) {
        std::string text;
        for (int u : list) text += fmt::format(" {:02d}", u);
        return text;
    };
    const auto now = WallClock::now();
    nlohmann::json bad = nlohmann::json::array();
    for (const auto& b : t.bad) bad.push_back({{"unit", b.first}, {"cause", b.second}});
    out.Json({{"time", IsoTime(now)},
              {"action", "summary"},
              {"identifier", t.identifier},
              {"channel", t.channel},
              {"tried", t.tried},
              {"answering", t.good},
              {"answering_eot", t.eot},
              {"answering_badly", bad},
              {"silent", t.silent},
              {"seconds", std::round(t.seconds * 10) / 10},
              {"ended_by_interrupt", t.interrupted}});
    // A row of the readings' table: the counts in the summary's columns.
    out.Csv(ReadingsTable(), {{"time", IsoTime(now)},
                              {"action", "summary"},
                              {"channel", std::to_string(t.channel)},
                              {"identifier", t.identifier},
                              {"status", t.interrupted ? "interrupted" : "ended"},
                              {"error", BadList(t)},
                              {"requests", std::to_string(t.tried)},
                              {"good", std::to_string(t.good.size())},
                              {"no_answer", std::to_string(t.silent)},
                              {"eot", std::to_string(t.eot.size())},
                              {"refused", std::to_string(t.bad.size())},
                              {"seconds", fmt::format("{:.1f}", t.seconds)}});
    out.Text(fmt::format("\n{} of {} unit addresses answer {} on channel {}{}", t.good.size(), t.tried, t.identifier,
                         t.channel, t.good.empty() ? "." : ":" + units(t.good)));
    if (!t.eot.empty())
        out.Text(fmt::format("{} answer{} EOT (the unit lacks {}, or its option):{}", t.eot.size(),
                             t.eot.size() == 1 ? "s" : "", t.identifier, units(t.eot)));
    if (!t.bad.empty())
        out.Text(fmt::format("{} answer{} badly: {}", t.bad.size(), t.bad.size() == 1 ? "s" : "", BadList(t)));
    out.Text(fmt::format("{} silent{}, in {:.1f} s", t.silent, t.interrupted ? " (ended by Ctrl-C)" : "", t.seconds));
}

}  // namespace

void AddScanOptions(CLI::App* scan, Options* o) {
    scan->add_option("IDENTIFIER", o->identifier, "Parameter identifier, e.g. M1")->required();
    scan->add_option("-c,--channel", o->channel, "Channel 0..8")->check(CLI::Range(0, 8))->capture_default_str();
    scan->add_option("--units", o->units, "Unit addresses to try, e.g. 0-99 or 1,3,5-9 (default 0-99)");
    AddTypeOption(scan, o);
}

int RunScan(Session& session) {
    std::vector<int> units;
    std::string why;
    if (!rexf::ParseUnitList(session.options.units.empty() ? "0-99" : session.options.units, &units, &why))
        throw ToolError(kExitUsage, "--units: " + why);
    const std::string& id = session.options.identifier;
    const int channel = session.options.channel;
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kFactoryIntervalTimeMs);
    // The driver checks the identifier when it parses the first address.
    PointList points;
    for (int unit : units) {
        const std::string address = fmt::format("{:02d}K{}{}", unit, channel, id);
        try {
            points.push_back(session.ParsePoint(address, session.Type()));
        } catch (const ToolError&) {
            throw ToolError(kExitBadAddress, "invalid identifier \"" + id + "\" (the driver refuses " + address +
                                                 "); identifiers are two characters such as M1, S1, SL "
                                                 "('qdxpoll identifiers' lists them)");
        }
    }
    const int quick = session.timeout_ms, generous = std::max(session.safe_timeout_ms, session.timeout_ms);
    // Watching the wire, qdxpoll polls each address once itself; without a
    // view of the wire the driver does, with its three attempts.
    const bool raw = session.relay.running();
    ErrorLine(fmt::format("Scanning {} unit address{} for {} on channel {} at a {} ms reply timeout: up to {:.1f} s "
                          "when none answers ({} each); every hit is confirmed at {} ms after a quiet pause",
                          units.size(), units.size() == 1 ? "" : "es", id, channel, quick,
                          units.size() * (raw ? 1.0 : 3.0) * quick / 1000.0, raw ? "one poll" : "3 attempts",
                          generous));
    const bool progress = StderrIsTerminal();
    const auto start = std::chrono::steady_clock::now();
    ScanTotals totals;
    std::string bad_hint;  // the next step for the first address that answers badly
    totals.identifier = id;
    totals.channel = channel;
    auto clear_progress = [&] {
        if (progress) std::fprintf(stderr, "\r%*s\r", 60, "");
    };
    // Confirms a hit through the driver, as a host meets the unit: after a
    // quiet pause, a read at the generous timeout. A late answer from an
    // address polled before is met by no confirming read.
    auto confirm = [&](Point* p, int quiet_ms) {
        session.relay.ListenQuiet(quiet_ms, 4 * generous);
        session.driver->SetReplyTimeout(session.module_port, TimeoutUnits(generous));
        const int saved = session.timeout_ms;
        session.timeout_ms = generous;
        Done c = session.Request(RequestKind::kRead, p);
        session.timeout_ms = saved;
        session.driver->SetReplyTimeout(session.module_port, TimeoutUnits(quick));
        return c;
    };
    std::vector<bool> settled(points.size(), false);  // found answering (well, EOT or badly)
    auto record = [&](size_t i, const Done& c) {
        Point* p = points[i].get();
        const Diagnosis& d = c.diagnosis;
        if (d.cause == Cause::kGood) {
            totals.good.push_back(p->unit());
        } else if (d.cause == Cause::kEot) {
            totals.eot.push_back(p->unit());
        } else if (d.cause == Cause::kSilent || d.cause == Cause::kNoValidReply) {
            return false;
        } else {
            totals.bad.emplace_back(p->unit(), ScanWords(d));
            if (bad_hint.empty()) bad_hint = d.hint;
        }
        settled[i] = true;
        clear_progress();
        Reading r = session.MakeReading(*p, c, false, "read");
        if (d.cause == Cause::kEot) r.error = "answers EOT: the unit lacks " + p->identifier() + ", or its option";
        session.reporter.Emit(r);
        return true;
    };
    // When the addresses were polled, for answers that came too late to be
    // told apart.
    std::vector<SteadyClock::time_point> polled(points.size());
    // An answer that belongs to no confirmed address came at `when`: it is a
    // late one from an address polled before, which is looked for among the
    // unsettled ones polled shortly before it (latest first) and confirmed.
    auto trace_late_answer = [&](size_t upto, SteadyClock::time_point when) {
        const auto window = std::chrono::milliseconds(4 * generous);
        for (size_t j = upto; j-- > 0;) {
            if (when - polled[j] > window) break;
            if (settled[j] || Interrupted()) continue;
            const Done b = confirm(points[j].get(), generous);
            if (record(j, b)) return;
        }
    };
    auto first_from_unit = [](const std::vector<WireChunk>& wire, SteadyClock::time_point* when) {
        for (const WireChunk& c : wire)
            if (c.direction == Direction::kFromUnit && !c.bytes.empty()) {
                *when = c.time;
                return true;
            }
        return false;
    };
    for (size_t i = 0; i < points.size(); ++i) {
        Point* p = points[i].get();
        if (Interrupted()) break;
        if (progress)
            std::fprintf(stderr, "\rscanning unit %02d (%zu of %zu), %zu answered ", p->unit(), i + 1, points.size(),
                         totals.good.size());
        polled[i] = SteadyClock::now();
        bool hit = false;
        SteadyClock::time_point answered = polled[i];
        if (raw) {
            const auto wire = session.relay.Poll(rexf::PollFrame(p->unit(), channel, id), rexf::kReplyBytes, quick);
            hit = first_from_unit(wire, &answered);
        } else {
            const Done first = session.Request(RequestKind::kRead, p, "", false);
            if (first.diagnosis.cause == Cause::kInterrupted) break;
            hit = first.diagnosis.cause != Cause::kSilent &&
                  !(first.diagnosis.cause == Cause::kNoValidReply && !first.outcome.ok());
        }
        ++totals.tried;
        if (Interrupted()) break;
        if (!hit) continue;
        // A late answer to an earlier poll comes at the latest the generous
        // timeout after the poll before this one: the pause lasts until then.
        const int since_before =
            i == 0 ? generous
                   : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() -
                                                                                           polled[i - 1])
                                          .count());
        const Done c = confirm(p, std::max(kShortestPauseMs, generous - since_before));
        if (c.diagnosis.cause == Cause::kInterrupted) break;
        if (!record(i, c)) trace_late_answer(i, answered);
    }
    // An answer still on its way after the last poll.
    if (raw && !Interrupted() && totals.tried > 0) {
        session.relay.ListenQuiet(generous, 4 * generous);
        SteadyClock::time_point when;
        if (first_from_unit(session.relay.Take(), &when)) trace_late_answer(totals.tried, when);
    }
    totals.silent = totals.tried - static_cast<int>(totals.good.size() + totals.eot.size() + totals.bad.size());
    clear_progress();
    totals.interrupted = Interrupted();
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    Summary(session.reporter, totals);
    const std::string bad_list = BadList(totals);
    const std::string tried = fmt::format("{} addresses at {} ms", totals.tried, quick);
    if (totals.interrupted)
        session.Fail(kExitInterrupted, fmt::format("interrupted: the scan ended after {} of {} addresses", totals.tried,
                                               points.size()),
                 "the port is closed");
    else if (totals.good.empty() && !totals.bad.empty())
        session.Fail(kExitNoReply,
                 fmt::format("no unit answers {} properly on channel {}, but {} address{} answer{} badly: {}", id,
                             channel, totals.bad.size(), totals.bad.size() == 1 ? "" : "es",
                             totals.bad.size() == 1 ? "s" : "", bad_list),
                 "units are there, but their answers fail; " + bad_hint);
    else if (!totals.bad.empty())
        session.Fail(kExitNoReply, fmt::format("{} address{} answer{} {} badly: {}", totals.bad.size(),
                                           totals.bad.size() == 1 ? "" : "es", totals.bad.size() == 1 ? "s" : "", id,
                                           bad_list),
                 bad_hint);
    else if (totals.good.empty() && !totals.eot.empty())
        session.Fail(kExitNoReply,
                 fmt::format("no unit has {} on channel {}: {} answer EOT", id, channel, totals.eot.size()),
                 "the units are there: scan an identifier every unit has, such as M1");
    else if (totals.good.empty())
        session.Fail(kExitNoReply, fmt::format("no unit answers {} on channel {} ({})", id, channel, tried),
                 "check the line settings ('qdxpoll probe'), the channel, the wiring and its termination");
    return session.Finish();
}
