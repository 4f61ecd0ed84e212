// log: the points every interval, as poll does, each sample kept in the
// line's history.
#include <CLI/CLI.hpp>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "polling/history_sink.h"
#include "polling/polling_command.h"
#include "session/session.h"

void AddLogOptions(CLI::App* log, Options* o) {
    log->add_option("ADDRESS", o->addresses, "Point addresses (default: the --config file's points)");
    AddTypeOption(log, o);
    AddCycleOptions(log, o);
    AddDbOption(log, o);
    AddRetentionOptions(log, o);
}

int RunLog(Session& session) {
    if (const char* why = HistoryUnavailable()) throw ToolError(kExitUsage, why);
    session.Load();
    PointList points = StartPolling(session);
    HistorySink history(session, "log", points);
    return RunPolling(session, "log", points, {&history});
}
