// scan: which unit addresses answer an identifier, and how.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "base/times.h"
#include "commands/commands.h"
#include "commands/scan_units.h"
#include "config/line_settings.h"
#include "platform/platform.h"
#include "rexf/line_timing.h"
#include "rexf/unit_list.h"
#include "rexf/unit_model.h"
#include "rexf/wire.h"
#include "session/driver_log.h"
#include "session/session.h"

// The quiet a confirmation waits for at least: the end of the hit's answer.
constexpr int kShortestPauseMs = 30;


namespace {

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

namespace {

// The points of the scan, one a unit address; the driver checks the
// identifier when it parses the first.
PointList ScanPoints(Session& session, const std::vector<int>& units, const std::string& id, int channel) {
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
    return points;
}

// One scan of the points: each polled quickly once, every hit confirmed at
// the generous timeout, late answers traced back to their address.
class Scanner {
public:
    Scanner(Session& session, PointList& points, const std::string& id, int channel)
        : session_(session),
          points_(points),
          id_(id),
          channel_(channel),
          quick_(session.port.timeout_ms),
          generous_(std::max(session.port.safe_timeout_ms, session.port.timeout_ms)),
          // Watching the wire, qdxpoll polls each address once itself;
          // without a view of the wire the driver does, with its three
          // attempts.
          raw_(session.port.relay.running()),
          progress_(StderrIsTerminal()),
          settled_(points.size(), false),
          polled_(points.size()) {
        totals_.identifier = id;
        totals_.channel = channel;
    }

    void Announce() const {
        const size_t n = points_.size();
        ErrorLine(fmt::format("Scanning {} unit address{} for {} on channel {} at a {} ms reply timeout: up to {:.1f} "
                              "s when none answers ({} each); every hit is confirmed at {} ms after a quiet pause",
                              n, n == 1 ? "" : "es", id_, channel_, quick_, n * (raw_ ? 1.0 : 3.0) * quick_ / 1000.0,
                              raw_ ? "one poll" : "3 attempts", generous_));
    }

    ScanTotals Run() {
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < points_.size() && !Interrupted(); ++i)
            if (!Try(i)) break;
        // An answer still on its way after the last poll.
        if (raw_ && !Interrupted() && totals_.tried > 0) {
            session_.port.relay.ListenQuiet(generous_, 4 * generous_);
            SteadyClock::time_point when;
            if (FirstFromUnit(session_.port.relay.Take(), &when)) TraceLateAnswer(totals_.tried, when);
        }
        totals_.silent =
            totals_.tried - static_cast<int>(totals_.good.size() + totals_.eot.size() + totals_.bad.size());
        ClearProgress();
        totals_.interrupted = Interrupted();
        totals_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        totals_.tried_points = points_.size();
        return totals_;
    }

private:
    // Polls address i once and confirms a hit; false when Ctrl-C ends the
    // scan.
    bool Try(size_t i) {
        Point* p = points_[i].get();
        if (progress_)
            std::fprintf(stderr, "\rscanning unit %02d (%zu of %zu), %zu answered ", p->unit(), i + 1, points_.size(),
                         totals_.good.size());
        polled_[i] = SteadyClock::now();
        bool hit = false;
        SteadyClock::time_point answered = polled_[i];
        if (raw_) {
            const auto wire = session_.port.relay.Poll(rexf::PollFrame(p->unit(), channel_, id_), rexf::kReplyBytes, quick_);
            hit = FirstFromUnit(wire, &answered);
        } else {
            const RequestResult first = session_.Request(RequestKind::kRead, p, "", false);
            if (first.diagnosis.cause == Cause::kInterrupted) return false;
            hit = first.diagnosis.cause != Cause::kSilent &&
                  !(first.diagnosis.cause == Cause::kNoValidReply && !first.outcome.ok());
        }
        ++totals_.tried;
        if (Interrupted()) return false;
        if (!hit) return true;
        // A late answer to an earlier poll comes at the latest the generous
        // timeout after the poll before this one: the pause lasts until then.
        const int since_before =
            i == 0 ? generous_
                   : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() -
                                                                                           polled_[i - 1])
                                          .count());
        const RequestResult c = Confirm(p, std::max(kShortestPauseMs, generous_ - since_before));
        if (c.diagnosis.cause == Cause::kInterrupted) return false;
        if (!Record(i, c)) TraceLateAnswer(i, answered);
        return true;
    }

    // Confirms a hit through the driver, as a host meets the unit: after a
    // quiet pause, a read at the generous timeout. A late answer from an
    // address polled before is met by no confirming read.
    RequestResult Confirm(Point* p, int quiet_ms) {
        session_.port.relay.ListenQuiet(quiet_ms, 4 * generous_);
        session_.port.UseReplyTimeout(generous_);
        RequestResult c = session_.Request(RequestKind::kRead, p);
        session_.port.UseReplyTimeout(quick_);
        return c;
    }

    // Counts a confirmed answer (well, EOT or badly) and shows it; false for
    // none.
    bool Record(size_t i, const RequestResult& c) {
        Point* p = points_[i].get();
        const Diagnosis& d = c.diagnosis;
        if (d.cause == Cause::kGood) {
            totals_.good.push_back(p->unit());
        } else if (d.cause == Cause::kEot) {
            totals_.eot.push_back(p->unit());
        } else if (d.cause == Cause::kSilent || d.cause == Cause::kNoValidReply) {
            return false;
        } else {
            totals_.bad.emplace_back(p->unit(), ScanWords(d));
            if (totals_.bad_hint.empty()) totals_.bad_hint = d.hint;
        }
        settled_[i] = true;
        ClearProgress();
        Reading r = session_.MakeReading(*p, c, false, "read");
        if (d.cause == Cause::kEot) r.error = "answers EOT: the unit lacks " + p->identifier() + ", or its option";
        session_.reporter.Emit(r);
        return true;
    }

    // An answer that belongs to no confirmed address came at `when`: it is a
    // late one from an address polled before, which is looked for among the
    // unsettled ones polled shortly before it (latest first) and confirmed.
    void TraceLateAnswer(size_t upto, SteadyClock::time_point when) {
        const auto window = std::chrono::milliseconds(4 * generous_);
        for (size_t j = upto; j-- > 0;) {
            if (when - polled_[j] > window) break;
            if (settled_[j] || Interrupted()) continue;
            const RequestResult b = Confirm(points_[j].get(), generous_);
            if (Record(j, b)) return;
        }
    }

    static bool FirstFromUnit(const std::vector<WireChunk>& wire, SteadyClock::time_point* when) {
        for (const WireChunk& c : wire)
            if (c.direction == Direction::kFromUnit && !c.bytes.empty()) {
                *when = c.time;
                return true;
            }
        return false;
    }

    void ClearProgress() const {
        if (progress_) std::fprintf(stderr, "\r%*s\r", 60, "");
    }

    Session& session_;
    PointList& points_;
    const std::string id_;
    const int channel_;
    const int quick_, generous_;
    const bool raw_, progress_;
    ScanTotals totals_;
    std::vector<bool> settled_;  // found answering (well, EOT or badly)
    // When the addresses were polled, for answers that came too late to be
    // told apart.
    std::vector<SteadyClock::time_point> polled_;
};

}  // namespace

ScanTotals ScanUnits(Session& session, const std::string& id, int channel) {
    std::vector<int> units;
    std::string why;
    if (!rexf::ParseUnitList(session.options.units.empty() ? "0-99" : session.options.units, &units, &why))
        throw ToolError(kExitUsage, "--units: " + why);
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kFactoryIntervalTimeMs);
    PointList points = ScanPoints(session, units, id, channel);
    Scanner scanner(session, points, id, channel);
    scanner.Announce();
    return scanner.Run();
}

int RunScan(Session& session) {
    const std::string& id = session.options.identifier;
    const int channel = session.options.channel;
    const ScanTotals totals = ScanUnits(session, id, channel);
    const std::string& bad_hint = totals.bad_hint;
    const int quick = session.port.timeout_ms;
    Summary(session.reporter, totals);
    const std::string bad_list = BadList(totals);
    const std::string tried = fmt::format("{} addresses at {} ms", totals.tried, quick);
    if (totals.interrupted)
        session.Fail(kExitInterrupted, fmt::format("interrupted: the scan ended after {} of {} addresses", totals.tried,
                                               totals.tried_points),
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
