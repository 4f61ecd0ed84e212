// log: the points every interval, as poll does, each sample kept in the
// line's history.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "history/history_recording.h"
#include "polling/polling.h"
#include "rexf/line_timing.h"
#include "session/session.h"

void AddLogOptions(CLI::App* log, Options* o) {
    log->add_option("ADDRESS", o->addresses, "Point addresses (default: the --config file's points)");
    AddTypeOption(log, o);
    AddCycleOptions(log, o);
    AddDbOption(log, o);
    AddRetentionOptions(log, o);
}

int RunLog(Session& session) {
    const Options& o = session.options;
    if (const char* why = HistoryUnavailable()) throw ToolError(kExitUsage, why);
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = session.ParsePoints(o.addresses, session.Type());
    std::string what = "log";
    for (const auto& p : points) what += " " + p->address;
    what += fmt::format(" every {:g} s on {}", o.interval_s, o.port);
    // Opened before the first poll: a history that cannot be written stops
    // the log before it starts.
    HistoryRecorder recorder(o, what);
    double seconds = 0;
    bool interrupted = false;
    const auto stats = PollLoop(session, points, o.count, o.interval_s, &seconds, &interrupted, SleepUntil,
                                [&recorder](const std::vector<Reading>& readings, const std::vector<PointStats>&) {
                                    recorder.Cycle(readings);
                                });
    const std::string lost = recorder.End();
    session.driver->Close();
    session.relay.Stop();
    session.reporter.Stats(stats, seconds, interrupted);
    if (!lost.empty()) session.Fail(kExitHistoryUnwritable, lost, "free space for the history, or give another --db");
    if (interrupted) session.Verbose("log ended by Ctrl-C; port closed, history committed");
    return session.Finish();
}
