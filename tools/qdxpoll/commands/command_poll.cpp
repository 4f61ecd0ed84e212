// poll and watch: the points every interval, on the terminal and, with
// watch, live in a browser.
#include <CLI/CLI.hpp>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "platform/platform.h"
#include "polling/polling.h"
#include "rexf/line_timing.h"
#include "session/driver_log.h"
#include "session/session.h"
#include "watch/watch_server.h"

void AddPollOptions(CLI::App* poll, Options* o) {
    poll->add_option("ADDRESS", o->addresses, "Point addresses (default: the --config file's points)");
    AddTypeOption(poll, o);
    AddCycleOptions(poll, o);
}

void AddWatchOptions(CLI::App* watch, Options* o) {
    watch->add_option("ADDRESS", o->addresses, "Point addresses (default: the --config file's points)");
    AddTypeOption(watch, o);
    AddCycleOptions(watch, o);
    AddPageOptions(watch, o);
    AddDbOption(watch, o);
    AddRetentionOptions(watch, o);
}

int RunPoll(Session& session) {
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = session.ParsePoints(session.options.addresses, session.Type());
    double seconds = 0;
    bool interrupted = false;
    const auto stats = PollLoop(session, points, session.options.count, session.options.interval_s, &seconds, &interrupted);
    // Close the port before the statistics, as the user asked to stop.
    session.ClosePort();
    session.reporter.Stats(stats, seconds, interrupted, &session.line_stats);
    if (interrupted) session.Verbose("poll ended by Ctrl-C; port closed");
    return session.Finish();
}

int RunWatch(Session& session) {
    if (const char* why = WatchServer::Unavailable()) throw ToolError(kExitUsage, why);
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = session.ParsePoints(session.options.addresses, session.Type());
    WatchServer server;
    double seconds = 0;
    bool interrupted = false;
    const Options& o = session.options;
    const auto stats = WatchLoop(session, points, o.count, o.interval_s, o.allow_writes, server,
                                 [&](const std::string& url) {
                                     ErrorLine(PageNote(url, o.allow_writes) + " Ctrl-C ends.");
                                     if (o.listen_address == "0.0.0.0" || o.listen_address == "::")
                                         ErrorLine("  (served on every network this machine is on: open it "
                                                   "with the machine's address in place of " +
                                                   o.listen_address + ")");
                                 },
                                 &seconds, &interrupted);
    session.ClosePort();
    session.reporter.Stats(stats, seconds, interrupted, &session.line_stats);
    if (interrupted) session.Verbose("watch ended by Ctrl-C; port closed");
    return session.Finish();
}
