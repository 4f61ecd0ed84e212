// write: one point, with --verify read back.

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "history/history_recording.h"
#include "rexf/line_timing.h"
#include "session/session.h"
#include "session/write_policy.h"

int RunWrite(Session& session) {
    const uint32_t type = session.Type();
    ValueCell cell{};
    std::string why;
    if (!EncodeValue(type, session.options.value, &cell, &why)) throw ToolError(kExitUsage, why);
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kMaxIntervalTimeMs);
    auto point = session.ParsePoint(session.options.write_address, type);
    point->cell = cell;
    // Opened before the write: a write that cannot be recorded is not made.
    std::unique_ptr<HistoryRecorder> history;
    if (!session.options.db_file.empty())
        history = std::make_unique<HistoryRecorder>(session.options, "");
    const Reading r = WritePoint(session, point.get(), session.options.verify, session.options.value);
    if (history) {
        history->Write(r, session.options.value, "command line");
        const std::string lost = history->End();
        if (!lost.empty()) session.Fail(kExitHistoryUnwritable, lost);
    }
    if (r.status == CauseCode(Cause::kInterrupted))
        session.Fail(kExitInterrupted, r.error.empty() ? "interrupted: the write was cut short" : r.error,
                 "the port is closed");
    else if (r.ok || session.reporter.format() != OutputFormat::kText)
        session.reporter.Emit(r);  // a failure is named once, on stderr
    return session.Finish();
}
