#include "polling/poll_loop.h"

#include <algorithm>
#include <deque>
#include <map>
#include <thread>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "config/line_settings.h"
#include "platform/platform.h"
#include "session/driver_log.h"
#include "session/failure_record.h"

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
    bool unit_silent = false;  // its latest failure was the unit's silence
};

Reading EmptyReading(const Point& p, long cycle) {
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
    Reading r = EmptyReading(p, cycle);
    r.status = "port_lost";
    r.summary_class = SummaryClass::kMissing;
    r.error = "port lost: " + cause;
    return r;
}

// A dead point left out of this cycle: no request, no sample.
Reading SkippedReading(const Point& p, long cycle, const PointStats& st) {
    Reading r = EmptyReading(p, cycle);
    r.status = "skipped";
    r.summary_class = SummaryClass::kSkipped;
    r.note = fmt::format("dead since {} ({})", LocalTime(st.dead_since), st.dead_cause);
    return r;
}

// The port's outages: noticed once, reopened with a growing wait. An outage
// lasts from the first loss to the first good answer: a device server that
// accepts the connection while its serial side is still gone is not back, and
// its next loss is the same outage, with the wait growing across it.
class PortWatch {
public:
    explicit PortWatch(Session& session) : session_(session) {}

    // Whether the port is closed, waiting to be reopened.
    bool lost() const { return lost_; }
    // Whether an outage is open: closed, or reopened without an answer yet.
    bool in_outage() const { return lost_ || reopened_; }
    const std::string& cause() const { return cause_; }
    Clock::time_point next_try() const { return next_try_; }

    // The port was found gone: a new outage is said once, with its cause;
    // the port is closed so that the device is free to come back under its
    // name.
    void Lose(const std::string& cause) {
        lost_ = true;
        cause_ = cause;
        session_.port.Close();
        if (reopened_) {
            // Reopened, then gone again before any answer: the same outage.
            reopened_ = false;
            wait_s_ = std::min(wait_s_ * 2, kLastReopenS);
            next_try_ = Clock::now() + Seconds(wait_s_);
            session_.Verbose(fmt::format("port {} gone again before any answer ({}); next try in {:g} s",
                                         session_.port.user_port, cause, wait_s_));
            return;
        }
        since_ = Clock::now();
        wait_s_ = kFirstReopenS;
        next_try_ = since_ + Seconds(wait_s_);
        ++session_.line_stats.outages;
        session_.line_stats.lost = true;
        const std::string& port = session_.port.user_port;
        ErrorLine(fmt::format("qdxpoll: port {} lost ({}); its samples are missing until it is back; reopening it "
                              "after {:g} s, then at waits doubling up to {:g} s",
                              port, cause, kFirstReopenS, kLastReopenS));
        session_.Fail(kExitPortUnavailable, "port " + port + " was lost (" + cause + ")",
                      "polling went on by itself once it was back: the statistics count each outage; check the "
                      "cable, the adapter or the device server if it happens again");
    }

    // A poll that starts on a port lost before it (run's reload in an
    // outage): closed, and tried again at once.
    void StillLost() {
        lost_ = true;
        cause_ = "lost before this poll began";
        since_ = next_try_ = Clock::now();
        wait_s_ = kFirstReopenS;
        ++session_.line_stats.outages;
        session_.line_stats.lost = true;
    }

    // Opens the port again; the outage goes on until an answer comes.
    void TryReopen() {
        std::string error;
        if (session_.port.Reopen(&error)) {
            lost_ = false;
            reopened_ = true;
            session_.Verbose("port " + session_.port.user_port + " open again; waiting for an answer");
            return;
        }
        session_.Verbose("port " + session_.port.user_port + " not back yet: " + error);
        wait_s_ = std::min(wait_s_ * 2, kLastReopenS);
        next_try_ = Clock::now() + Seconds(wait_s_);
    }

    // After a cycle on the reopened port: a good answer ends the outage; so
    // does a cycle that kept the port although nothing answered (the units'
    // silence is then theirs, and counted as theirs).
    void CycleDone(bool answered) {
        if (!reopened_) return;
        reopened_ = false;
        const double s = std::chrono::duration<double>(Clock::now() - since_).count();
        LineStats& line = session_.line_stats;
        line.outage_s += s;
        line.longest_outage_s = std::max(line.longest_outage_s, s);
        line.lost = false;
        ErrorLine(fmt::format("qdxpoll: port {} back after {:.1f} s; polling resumes{}", session_.port.user_port, s,
                              answered ? "" : " (no unit answered its first cycle)"));
    }

    // Ends the outage's count at the end of the poll.
    void Finish() {
        if (!in_outage()) return;
        const double s = std::chrono::duration<double>(Clock::now() - since_).count();
        session_.line_stats.outage_s += s;
        session_.line_stats.longest_outage_s = std::max(session_.line_stats.longest_outage_s, s);
    }

private:
    Session& session_;
    bool lost_ = false;
    bool reopened_ = false;
    std::string cause_;
    Clock::time_point since_{}, next_try_{};
    double wait_s_ = kFirstReopenS;
};

// One poll from its first cycle to its last: the points' statistics and
// pace, the port's outages and the pace of the cycles.
class PollRun {
public:
    PollRun(Session& session, PointList& points, double interval_s)
        : session_(session),
          points_(points),
          stats_(points.size()),
          pace_(points.size()),
          port_(session),
          line_(session.line_stats),
          interval_s_(interval_s),
          most_every_(std::max<long>(2, interval_s > 0 ? static_cast<long>(std::min(60.0 / interval_s, 1e6)) : 2)),
          next_(Clock::now()),
          named_openers_(session.port.OtherOpenersNamed()) {  // said at the start already
        for (size_t i = 0; i < points.size(); ++i) stats_[i].address = points[i]->address;
        const bool was_lost = line_.lost;
        line_ = LineStats{};
        line_.interval_s = interval_s;
        if (was_lost) port_.StillLost();
    }

    const std::vector<PointStats>& stats() const { return stats_; }

    // Waits for the next cycle's start; a late cycle starts at once, never
    // twice. A lost port is tried again meanwhile at its own pace.
    void WaitForNext(const CycleWait& wait) {
        next_ += Seconds(interval_s_);
        const auto now = Clock::now();
        if (next_ < now) next_ = now;
        while (port_.lost() && port_.next_try() < next_ && !Interrupted()) {
            wait(port_.next_try());
            if (!Interrupted()) port_.TryReopen();
        }
        wait(next_);
    }

    // The cycle starts: its pace measured, the port looked at.
    void Begin(long cycle, Clock::time_point start) {
        if (cycle == 1) first_cycle_ = start;
        line_.cycles = cycle;
        if (cycle > 1) line_.cycle_s = std::chrono::duration<double>(start - first_cycle_).count() / (cycle - 1);
        recent_starts_.push_back(start);
        if (recent_starts_.size() > 11) recent_starts_.pop_front();
        if (recent_starts_.size() > 1)
            line_.recent_cycle_s = std::chrono::duration<double>(recent_starts_.back() - recent_starts_.front()).count() /
                                   static_cast<double>(recent_starts_.size() - 1);
        if (port_.lost() && start >= port_.next_try()) port_.TryReopen();
        std::string cause;
        if (!port_.lost() && session_.port.Lost(false, &cause)) port_.Lose(cause);
    }

    // Every point's reading of this cycle (none after Ctrl-C).
    std::vector<Reading> ReadPoints(long cycle) {
        std::vector<Reading> readings;
        for (size_t i = 0; i < points_.size() && !Interrupted(); ++i) {
            Point& p = *points_[i];
            PointStats& st = stats_[i];
            if (port_.lost()) {
                readings.push_back(MissingReading(p, cycle, port_.cause()));
                st.Add(readings.back());
            } else if (st.dead() && cycle < pace_[i].next_cycle && Clock::now() - pace_[i].last_polled < kDeadPollAtLeast) {
                readings.push_back(SkippedReading(p, cycle, st));
            } else {
                readings.push_back(ReadPoint(i, cycle));
            }
        }
        if (!port_.lost() && !Interrupted()) port_.CycleDone(false);
        return readings;
    }

    // Cycles that keep taking longer than the interval are said once a run:
    // the summary gives the measured cycle.
    void NoteLag(long cycle, Clock::time_point start) {
        if (interval_s_ <= 0 || cycle < 3 || lag_said_) return;
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        if (took > 1.1 * interval_s_ && line_.recent_cycle_s > 1.1 * interval_s_) {
            lag_said_ = true;
            ErrorLine(fmt::format("qdxpoll: note: a cycle takes {:.2f} s, longer than the interval of {:g} s", took,
                                  interval_s_));
        }
    }

    // Ends the count of an outage still open.
    void Finish() { port_.Finish(); }

private:
    // One read of point i, which counts in its statistics: a failure that
    // turns out to be the port's loss is a missing sample, not the unit's.
    Reading ReadPoint(size_t i, long cycle) {
        Point& p = *points_[i];
        PointStats& st = stats_[i];
        const auto now = Clock::now();
        Reading r;
        std::string cause;
        bool lost_now = false;
        {
            FailureRecordScope record(session_);
            r = session_.ReadPoint(&p, std::nullopt);
            lost_now = !r.ok && r.summary_class != SummaryClass::kInterrupted && session_.port.Lost(true, &cause);
            if (!lost_now) record.Keep();
        }
        r.cycle = cycle;
        pace_[i].last_polled = now;
        if (lost_now) {
            port_.Lose(cause);
            r = MissingReading(p, cycle, cause);
        } else if (r.summary_class != SummaryClass::kInterrupted) {
            if (r.ok) port_.CycleDone(true);
            if (!r.ok) NameOtherOpeners();
            Pace(i, r, cycle);
        }
        st.Add(r);
        return r;
    }

    // Another reader of the device is named once, as it appears.
    void NameOtherOpeners() {
        const std::string others = session_.port.OtherOpenersNamed();
        if (!others.empty() && others != named_openers_)
            ErrorLine("qdxpoll: note: " + session_.port.user_port + " is also open in " + others +
                      ", which may take the units' replies");
        named_openers_ = others;
    }

    // A point that failed kDeadAfter cycles in a row is dead and rests,
    // polled every 2nd, 4th, 8th ... cycle; an answer ends that.
    void Pace(size_t i, const Reading& r, long cycle) {
        PointPace& pp = pace_[i];
        PointStats& st = stats_[i];
        if (r.ok) {
            if (st.dead()) ErrorLine(fmt::format("qdxpoll: {} answers again; polled every cycle", st.address));
            WakeSilentPointsOfUnit(points_[i]->unit(), cycle);
            pp.failed_in_row = 0;
            pp.unit_silent = false;
            st.every = 1;
            st.dead_cause.clear();
            return;
        }
        pp.unit_silent = r.summary_class == SummaryClass::kNoAnswer;
        if (pp.failed_in_row++ == 0) pp.first_failed = r.time;
        if (pp.failed_in_row < kDeadAfter) return;
        if (!st.dead()) {
            st.dead_since = pp.first_failed;
            ErrorLine(fmt::format("qdxpoll: {} dead since {} ({}): polled every 2nd, 4th, 8th ... cycle, at least "
                                  "once a minute, until it answers",
                                  st.address, LocalTime(st.dead_since), r.status));
        }
        st.dead_cause = r.status;
        st.every = std::min(st.dead() ? st.every * 2 : 2, most_every_);
        pp.next_cycle = cycle + st.every;
    }

    // A unit that answers again after a cycle without answers: its points
    // resting for its silence may answer too, and each is polled at once
    // (later in this cycle, or in the next), its backoff kept should it
    // still fail.
    void WakeSilentPointsOfUnit(int unit, long cycle) {
        long& last_ok = unit_last_ok_[unit];
        const bool was_answering = last_ok >= cycle - 1;
        last_ok = cycle;
        if (was_answering) return;
        for (size_t j = 0; j < points_.size(); ++j)
            if (points_[j]->unit() == unit && stats_[j].dead() && pace_[j].unit_silent)
                pace_[j].next_cycle = std::min(pace_[j].next_cycle, cycle);
    }

    Session& session_;
    PointList& points_;
    std::vector<PointStats> stats_;
    std::vector<PointPace> pace_;
    PortWatch port_;
    LineStats& line_;
    const double interval_s_;
    const long most_every_;
    Clock::time_point next_, first_cycle_{};
    std::deque<Clock::time_point> recent_starts_;
    std::string named_openers_;
    std::map<int, long> unit_last_ok_;  // the cycle of each unit's latest good answer
    bool lag_said_ = false;
};

bool AnyEnds(const CycleSinks& sinks) {
    return std::any_of(sinks.begin(), sinks.end(), [](CycleSink* s) { return s->Ends(); });
}

}  // namespace

std::vector<PointStats> PollLoop(Session& session, PointList& points, int count, double interval_s,
                                 double* seconds, bool* interrupted, const CycleWait& wait,
                                 const CycleSinks& sinks) {
    PollRun run(session, points, interval_s);
    const auto start = Clock::now();
    for (long cycle = 1; count == 0 || cycle <= count; ++cycle) {
        if (cycle > 1) run.WaitForNext(wait);
        if (Interrupted() || AnyEnds(sinks)) break;
        const auto cycle_start = Clock::now();
        run.Begin(cycle, cycle_start);
        const std::vector<Reading> readings = run.ReadPoints(cycle);
        for (CycleSink* sink : sinks) sink->Cycle(readings, run.stats());
        run.NoteLag(cycle, cycle_start);
        if (Interrupted() || AnyEnds(sinks)) break;
    }
    run.Finish();
    *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *interrupted = Interrupted();
    return run.stats();
}
