#include "polling/polling.h"

#include <algorithm>
#include <cmath>
#include <deque>
#include <thread>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "config/line_config.h"
#include "config/line_settings.h"
#include "history/history_recording.h"
#include "platform/platform.h"
#include "rexf/unit_model.h"
#include "session/driver_log.h"
#include "session/write_policy.h"

// Sleeps until the time point, in short steps so that Ctrl-C is seen soon.
void SleepUntil(std::chrono::steady_clock::time_point until) {
    while (!Interrupted()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(20)));
    }
}

namespace {

// A point that failed this many cycles in a row is dead: it is polled every
// 2nd, 4th, 8th ... cycle, so that it no longer slows the others.
constexpr int kDeadAfter = 3;
// A dead point is still polled at least this often.
constexpr auto kDeadPollAtLeast = std::chrono::seconds(60);
// Waits between attempts to reopen a lost port.
constexpr double kFirstReopenS = 0.5, kLastReopenS = 30.0;

using Clock = std::chrono::steady_clock;

Clock::duration Seconds(double s) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

// How one point fares over the cycles.
struct PointPace {
    int failed_in_row = 0;
    long next_cycle = 1;  // a dead point's next cycle
    Clock::time_point last_polled{};
    WallClock::time_point first_failed{};
};

Reading PlaceOf(const Point& p, long cycle) {
    Reading r;
    r.time = WallClock::now();
    r.cycle = cycle;
    r.address = p.address;
    r.unit = p.unit();
    r.channel = p.channel();
    r.identifier = p.identifier();
    r.type = TypeName(p.type);
    return r;
}

// A sample that could not be taken: the port was lost. It holds no value.
Reading MissingReading(const Point& p, long cycle, const std::string& cause) {
    Reading r = PlaceOf(p, cycle);
    r.status = "port_lost";
    r.tally = Tally::kMissing;
    r.error = "port lost: " + cause;
    return r;
}

// A dead point left out of this cycle: no request, no sample.
Reading SkippedReading(const Point& p, long cycle, const PointStats& st) {
    Reading r = PlaceOf(p, cycle);
    r.status = "skipped";
    r.tally = Tally::kSkipped;
    r.note = fmt::format("dead since {} ({})", LocalTime(st.dead_since), st.dead_cause);
    return r;
}

// The port's outages: noticed once, reopened with a growing wait.
class PortWatch {
public:
    explicit PortWatch(Session& session) : session_(session) {}

    bool lost() const { return lost_; }
    const std::string& cause() const { return cause_; }
    Clock::time_point next_try() const { return next_try_; }

    // The port was found gone: says so once, with its cause, and closes it
    // so that the device is free to come back under its name.
    void Lose(const std::string& cause) {
        lost_ = true;
        cause_ = cause;
        since_ = Clock::now();
        wait_s_ = kFirstReopenS;
        next_try_ = since_ + Seconds(wait_s_);
        ++session_.line_stats.outages;
        session_.line_stats.lost = true;
        session_.ClosePort();
        const std::string& port = session_.user_port;
        ErrorLine(fmt::format("qdxpoll: port {} lost ({}); its samples are missing until it is back; reopening it "
                              "after {:g} s, then at waits doubling up to {:g} s",
                              port, cause, kFirstReopenS, kLastReopenS));
        session_.Fail(kExitPortUnavailable, "port " + port + " was lost (" + cause + ")",
                      "polling went on by itself once it was back: the statistics count each outage; check the "
                      "cable, the adapter or the device server if it happens again");
    }

    // Tries the port again; true when it is back.
    bool TryReopen() {
        std::string error;
        if (session_.ReopenPort(&error)) {
            const double s = std::chrono::duration<double>(Clock::now() - since_).count();
            LineStats& line = session_.line_stats;
            line.outage_s += s;
            line.longest_outage_s = std::max(line.longest_outage_s, s);
            line.lost = false;
            lost_ = false;
            ErrorLine(fmt::format("qdxpoll: port {} back after {:.1f} s; polling resumes", session_.user_port, s));
            return true;
        }
        session_.Verbose("port " + session_.user_port + " not back yet: " + error);
        wait_s_ = std::min(wait_s_ * 2, kLastReopenS);
        next_try_ = Clock::now() + Seconds(wait_s_);
        return false;
    }

    // Ends the outage's count at the end of the poll.
    void Finish() {
        if (!lost_) return;
        const double s = std::chrono::duration<double>(Clock::now() - since_).count();
        session_.line_stats.outage_s += s;
        session_.line_stats.longest_outage_s = std::max(session_.line_stats.longest_outage_s, s);
    }

private:
    Session& session_;
    bool lost_ = false;
    std::string cause_;
    Clock::time_point since_{}, next_try_{};
    double wait_s_ = kFirstReopenS;
};

}  // namespace

std::vector<PointStats> PollLoop(Session& session, PointList& points, int count, double interval_s,
                                 double* seconds, bool* interrupted, const CycleWait& wait,
                                 const CycleDone& done) {
    std::vector<PointStats> stats(points.size());
    for (size_t i = 0; i < points.size(); ++i) stats[i].address = points[i]->address;
    std::vector<PointPace> pace(points.size());
    PortWatch port(session);
    LineStats& line = session.line_stats;
    line = LineStats{};
    line.interval_s = interval_s;
    const auto start = Clock::now();
    const auto interval = Seconds(interval_s);
    const long most_every =
        std::max<long>(2, interval_s > 0 ? static_cast<long>(std::min(60.0 / interval_s, 1e6)) : 2);
    auto next = start;
    Clock::time_point first_cycle{}, last_cycle{};
    bool lagging = false;
    std::deque<Clock::time_point> recent_starts;
    std::string named_openers = session.OtherOpenersNamed();  // said at the start already
    for (long cycle = 1; count == 0 || cycle <= count; ++cycle) {
        if (cycle > 1) {
            next += interval;
            const auto now = Clock::now();
            if (next < now) next = now;  // a late cycle starts at once, never twice
            // A lost port is tried again at its own pace, between cycles.
            while (port.lost() && port.next_try() < next && !Interrupted()) {
                wait(port.next_try());
                if (!Interrupted()) port.TryReopen();
            }
            wait(next);
        }
        if (Interrupted()) break;
        const auto cycle_start = Clock::now();
        if (cycle == 1) first_cycle = cycle_start;
        last_cycle = cycle_start;
        line.cycles = cycle;
        if (cycle > 1) line.cycle_s = std::chrono::duration<double>(last_cycle - first_cycle).count() / (cycle - 1);
        recent_starts.push_back(cycle_start);
        if (recent_starts.size() > 11) recent_starts.pop_front();
        if (recent_starts.size() > 1)
            line.recent_cycle_s = std::chrono::duration<double>(recent_starts.back() - recent_starts.front()).count() /
                                  static_cast<double>(recent_starts.size() - 1);
        if (port.lost() && cycle_start >= port.next_try()) port.TryReopen();
        std::string cause;
        if (!port.lost() && session.PortLost(false, &cause)) port.Lose(cause);

        std::vector<Reading> readings;
        for (size_t i = 0; i < points.size() && !Interrupted(); ++i) {
            Point* p = points[i].get();
            PointPace& pp = pace[i];
            PointStats& st = stats[i];
            if (port.lost()) {
                readings.push_back(MissingReading(*p, cycle, port.cause()));
                st.Add(readings.back());
                continue;
            }
            const auto now = Clock::now();
            if (st.dead() && cycle < pp.next_cycle && now - pp.last_polled < kDeadPollAtLeast) {
                readings.push_back(SkippedReading(*p, cycle, st));
                continue;
            }
            // A failure that turns out to be the port's loss is not the unit's.
            const int exit_code = session.exit_code;
            const std::string first_failure = session.first_failure, first_hint = session.first_hint;
            Reading r = session.ReadPoint(p, std::nullopt);
            r.cycle = cycle;
            pp.last_polled = now;
            const bool interrupted_read = r.tally == Tally::kInterrupted;
            if (!r.ok && !interrupted_read && session.PortLost(true, &cause)) {
                session.exit_code = exit_code;
                session.first_failure = first_failure;
                session.first_hint = first_hint;
                port.Lose(cause);
                readings.push_back(MissingReading(*p, cycle, cause));
                st.Add(readings.back());
                continue;
            }
            if (!r.ok && !interrupted_read) {
                // Another reader of the device is named once, as it appears.
                const std::string others = session.OtherOpenersNamed();
                if (!others.empty() && others != named_openers)
                    ErrorLine("qdxpoll: note: " + session.user_port + " is also open in " + others +
                              ", which may take the units' replies");
                named_openers = others;
            }
            if (r.ok) {
                if (st.dead())
                    ErrorLine(fmt::format("qdxpoll: {} answers again; polled every cycle", p->address));
                pp.failed_in_row = 0;
                st.every = 1;
                st.dead_cause.clear();
            } else if (!interrupted_read) {
                if (pp.failed_in_row++ == 0) pp.first_failed = r.time;
                if (pp.failed_in_row >= kDeadAfter) {
                    if (!st.dead()) {
                        st.dead_since = pp.first_failed;
                        ErrorLine(fmt::format("qdxpoll: {} dead since {} ({}): polled every 2nd, 4th, 8th ... "
                                              "cycle, at least once a minute, until it answers",
                                              p->address, LocalTime(st.dead_since), r.status));
                    }
                    st.dead_cause = r.status;
                    st.every = std::min(st.dead() ? st.every * 2 : 2, most_every);
                    pp.next_cycle = cycle + st.every;
                }
            }
            st.Add(r);
            readings.push_back(r);
        }
        session.reporter.Cycle(readings);
        if (done) done(readings, stats);
        // A cycle that keeps taking longer than the interval is said once.
        if (interval_s > 0 && cycle >= 3) {
            const double took = std::chrono::duration<double>(Clock::now() - cycle_start).count();
            if (!lagging && took > 1.1 * interval_s && line.recent_cycle_s > 1.1 * interval_s) {
                lagging = true;
                ErrorLine(fmt::format("qdxpoll: note: a cycle takes {:.2f} s, longer than the interval of {:g} s",
                                      took, interval_s));
            } else if (lagging && line.recent_cycle_s <= 1.1 * interval_s) {
                lagging = false;
            }
        }
        if (Interrupted()) break;
    }
    port.Finish();
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *interrupted = Interrupted();
    return stats;
}

namespace {

// A write the page asks for, with the checks and the read-back of `write`.
// Its outcome goes to the page (and to the output, as a write); it leaves
// the exit code to the polling.
PageWriteAnswer WriteFromPage(Session& session, HistoryRecorder* recorder, const PageWrite& w) {
    if (session.line_stats.lost)
        return {503, {{"ok", false}, {"error", "port " + session.user_port + " is lost: nothing is written until it "
                                               "is back (polling reopens it by itself)"}}};
    const ClientWrite c = WriteForClient(session, w.address, w.value, w.verify);
    if (!c.sent) return {400, {{"ok", false}, {"error", c.refusal}}};
    nlohmann::json body = ReadingJson(c.reading);
    body["ok"] = c.ok;
    body["exit_code"] = c.exit_code;  // what 'qdxpoll write' would end with
    if (c.exit_code != kExitOk) body["hint"] = c.hint;
    session.reporter.Emit(c.reading, "write from the page: ");
    if (recorder != nullptr) recorder->Write(c.reading, w.value, "page " + w.from);
    return {200, body};
}

// The places a scaled value needs to show the unit's last decimal.
int ScaledDecimals(int decimals, double scale) {
    const double step = std::pow(10.0, -decimals) * std::fabs(scale);
    return step > 0 ? std::clamp(static_cast<int>(std::ceil(-std::log10(step) - 1e-9)), 0, 6) : decimals;
}

}  // namespace

// Polls the points as poll does and serves the page while it runs. `serving`
// is told the page's address once it is served.
std::vector<PointStats> WatchLoop(Session& session, PointList& points, int count, double interval_s,
                                  bool allow_writes,
                                  WatchServer& server, const std::function<void(const std::string&)>& serving,
                                  double* seconds, bool* interrupted) {
    WatchSetup setup;
    setup.listen_address = session.options.listen_address;
    setup.port = session.options.http_port;
    setup.allow_writes = allow_writes;
    setup.type = TypeName(session.Type());
    setup.heading = fmt::format("{} at {}, a cycle every {:g} s", session.options.port.empty() ? "the simulator"
                                                                                           : session.options.port,
                                LineText(session.line), interval_s);
    auto watched = [&session](const Point& p) {
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(p.identifier());
        WatchPoint w;
        w.address = p.address;
        w.unit = p.unit();
        w.channel = p.channel();
        w.identifier = p.identifier();
        w.meaning = m != nullptr ? m->meaning : "";
        w.engineering_unit = DefaultEngineeringUnit(p.identifier());
        w.decimals = m != nullptr ? m->decimals : 1;
        if (const ConfigPoint* c = session.options.ConfigPointOf(p.address)) {
            w.name = c->name;
            w.engineering_unit = c->unit;
            w.scale = c->scale;
            w.offset = c->offset;
            w.decimals = ScaledDecimals(w.decimals, c->scale);
        }
        return w;
    };
    // The form offers the configuration's writable points, or without such
    // a list the writable points polled and the set value of every unit and
    // channel polled.
    std::vector<std::string> polled;
    for (const auto& p : points) {
        setup.points.push_back(watched(*p));
        polled.push_back(p->address);
    }
    for (const std::string& a : PageWritable(polled, session.options.writable)) {
        auto w = std::make_unique<Point>();
        if (session.driver->Parse(a, session.Type(), w.get())) setup.writable.push_back(watched(*w));
    }

    // watch --db: every sample and every write from the page kept in the
    // line's history, from which the page reads its time ranges.
    std::unique_ptr<HistoryRecorder> recorder;
    if (!session.options.db_file.empty()) {
        std::string what = "watch";
        for (const auto& p : points) what += " " + p->address;
        recorder = std::make_unique<HistoryRecorder>(
            session.options, what + fmt::format(" every {:g} s on {}", interval_s, session.options.port));
        setup.database = session.options.db_file;
    }

    std::string url, error;
    if (!server.Start(setup, &url, &error))
        throw ToolError(kExitUsage, error + (session.options.http_port != 0 ? "; choose another --http PORT, or "
                                                                          "leave it out for a free one"
                                                                        : ""));
    serving(url);
    const auto stats = PollLoop(
        session, points, count, interval_s, seconds, interrupted,
        [&](std::chrono::steady_clock::time_point until) {
            server.WaitRunningWrites(until, [&](const PageWrite& w) {
                return WriteFromPage(session, recorder.get(), w);
            });
        },
        [&](const std::vector<Reading>& readings, const std::vector<PointStats>& s) {
            if (recorder) recorder->Cycle(readings);
            server.Publish(readings, s, &session.line_stats);
        });
    server.Stop();
    if (recorder) {
        const std::string lost = recorder->End();
        if (!lost.empty()) session.Fail(kExitHistoryUnwritable, lost, "free space for the history, or give another --db");
    }
    return stats;
}

std::string PageNote(const std::string& url, bool allow_writes) {
    std::string note = "Open " + url + " in a browser: the chart, the statistics and the last failures, live; " +
                       (allow_writes ? "its form writes values (each confirmed first)."
                                     : "read-only (--allow-writes lets its form write values).");
    if (url.find("#token=") != std::string::npos)
        note += " Served beyond this machine, the page writes only with the token at the end of this address: "
                "give it only to whom may write.";
    return note;
}
