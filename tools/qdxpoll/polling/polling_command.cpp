// The start and the end of poll, watch, log and mqtt.
#include "polling/polling_command.h"

#include <algorithm>

#include "platform/platform.h"
#include "rexf/line_timing.h"

PointList StartPolling(Session& session) {
    session.OpenPort(session.RequirePort(), rexf::kMaxIntervalTimeMs);
    return session.ParsePoints(session.options.addresses, session.Type());
}

int RunPolling(Session& session, const char* command, PointList& points, const CycleSinks& sinks,
               const CycleWait& wait) {
    const Options& o = session.options;
    // Many points on a terminal: a table that fits it. Pipes keep the line.
    if (session.reporter.format() == OutputFormat::kText && StdoutIsTerminal())
        session.reporter.UseTable(static_cast<size_t>(std::max(StdoutColumns(), 40)), o.config_points);
    ReporterSink lines(session.reporter);
    CycleSinks all{&lines};
    all.insert(all.end(), sinks.begin(), sinks.end());
    double seconds = 0;
    bool interrupted = false;
    const auto stats = PollLoop(session, points, o.count, o.interval_s, &seconds, &interrupted, wait, all);
    for (auto sink = all.rbegin(); sink != all.rend(); ++sink) (*sink)->End();
    // Close the port before the statistics, as the user asked to stop.
    session.port.Close();
    session.reporter.Stats(stats, seconds, interrupted, &session.line_stats);
    if (interrupted) session.Verbose(std::string(command) + " ended by Ctrl-C; port closed");
    return session.Finish();
}
