#include "polling.h"

#include <algorithm>
#include <thread>

#include <fmt/format.h>

#include "exit_codes.h"
#include "line_config.h"
#include "line_settings.h"
#include "platform.h"
#include "rexf/unit_model.h"
#include "write_policy.h"

// Sleeps until the time point, in short steps so that Ctrl-C is seen soon.
void SleepUntil(std::chrono::steady_clock::time_point until) {
    while (!Interrupted()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(20)));
    }
}

std::vector<PointStats> PollLoop(Session& session, PointList& points, int count, double interval_s,
                                 double* seconds, bool* interrupted, const CycleWait& wait,
                                 const CycleDone& done) {
    std::vector<PointStats> stats(points.size());
    for (size_t i = 0; i < points.size(); ++i) stats[i].address = points[i]->address;
    const auto start = std::chrono::steady_clock::now();
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(interval_s));
    auto next = start;
    for (long cycle = 1; count == 0 || cycle <= count; ++cycle) {
        if (cycle > 1) {
            next += interval;
            const auto now = std::chrono::steady_clock::now();
            if (next < now) next = now;  // a late cycle starts at once, never twice
            wait(next);
        }
        if (Interrupted()) break;
        std::vector<Reading> readings;
        for (size_t i = 0; i < points.size() && !Interrupted(); ++i) {
            Reading r = session.ReadPoint(points[i].get(), std::nullopt);
            r.cycle = cycle;
            stats[i].Add(r);
            readings.push_back(r);
        }
        session.reporter.Cycle(readings);
        if (done) done(readings, stats);
        if (Interrupted()) break;
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *interrupted = Interrupted();
    return stats;
}

namespace {

// A write the page asks for, with the checks and the read-back of `write`.
// Its outcome goes to the page (and to the output, as a write); it leaves
// the exit code to the polling.
PageWriteAnswer WriteFromPage(Session& session, const PageWrite& w) {
    const uint32_t type = session.Type();
    ValueCell cell{};
    std::string why;
    if (!EncodeValue(type, w.value, &cell, &why)) return {400, {{"ok", false}, {"error", why}}};
    std::unique_ptr<Point> point;
    try {
        point = session.ParsePoint(w.address, type);
    } catch (const ToolError& e) {
        return {400, {{"ok", false}, {"error", e.what()}}};
    }
    point->cell = cell;
    const int exit_code = session.exit_code;
    const std::string first_failure = session.first_failure, first_hint = session.first_hint;
    session.last_code = kExitOk;
    const Reading r = WritePoint(session, point.get(), w.verify, w.value);
    nlohmann::json body = ReadingJson(r);
    body["ok"] = session.last_code == kExitOk && r.status != CauseCode(Cause::kInterrupted);
    body["exit_code"] = session.last_code;  // what 'qdxpoll write' would end with
    if (session.last_code != kExitOk) body["hint"] = session.last_hint;
    session.exit_code = exit_code;
    session.first_failure = first_failure;
    session.first_hint = first_hint;
    session.reporter.Emit(r, "write from the page: ");
    return {200, body};
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
    auto watched = [](const Point& p) {
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(p.identifier());
        return WatchPoint{p.address, p.unit(), p.channel(), p.identifier(), m != nullptr ? m->meaning : ""};
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

    std::string url, error;
    if (!server.Start(setup, &url, &error))
        throw ToolError(kExitUsage, error + (session.options.http_port != 0 ? "; choose another --http PORT, or "
                                                                          "leave it out for a free one"
                                                                        : ""));
    serving(url);
    const auto stats = PollLoop(
        session, points, count, interval_s, seconds, interrupted,
        [&](std::chrono::steady_clock::time_point until) {
            server.WaitRunningWrites(until, [&session](const PageWrite& w) { return WriteFromPage(session, w); });
        },
        [&server](const std::vector<Reading>& readings, const std::vector<PointStats>& s) {
            server.Publish(readings, s);
        });
    server.Stop();
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
