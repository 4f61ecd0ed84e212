// log: the points every interval, as poll does, each sample kept in the
// line's history.

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "polling/history_sink.h"
#include "polling/polling_command.h"
#include "session/session.h"

int RunLog(Session& session) {
    if (const char* why = HistoryUnavailable()) throw ToolError(kExitUsage, why);
    session.Load();
    PointList points = StartPolling(session);
    HistorySink history(session, "log", points);
    return RunPolling(session, "log", points, {&history});
}
