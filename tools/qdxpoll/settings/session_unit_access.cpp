#include "settings/session_unit_access.h"

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "config/line_settings.h"
#include "readings/values.h"
#include "rexf/line_timing.h"
#include "session/failure_record.h"
#include "session/write_policy.h"

namespace {

std::string Address(int unit, int channel, const std::string& ident) {
    return fmt::format("{:02d}K{}{}", unit, channel, ident);
}

}  // namespace

void SessionUnitAccess::Open() {
    if (session_.driver && session_.driver->started()) return;
    session_.Load();
    session_.OpenPort(session_.RequirePort(), rexf::kMaxIntervalTimeMs);
}

Reading SessionUnitAccess::Read(int unit, int channel, const std::string& ident) {
    auto point = session_.ParsePoint(Address(unit, channel, ident), kTypeFloat);
    return session_.MakeReading(*point, session_.Request(RequestKind::kRead, point.get()), false, "read");
}

Reading SessionUnitAccess::Write(int unit, int channel, const std::string& ident, const std::string& text,
                           int* exit_code) {
    auto point = session_.ParsePoint(Address(unit, channel, ident), kTypeFloat);
    std::string why;
    if (!EncodeValue(kTypeFloat, text, &point->cell, &why)) throw ToolError(kExitUsage, why);
    // The command decides its own exit code: the session's record of the
    // first failure is left as it was.
    FailureRecordScope record(session_);
    session_.last_code = kExitOk;
    session_.last_hint.clear();
    Reading r = WritePoint(session_, point.get(), true, text);
    *exit_code = r.status == CauseCode(Cause::kInterrupted) ? kExitInterrupted : session_.last_code;
    r.hint = session_.last_hint;
    return r;
}

bool SessionUnitAccess::Lost(std::string* cause) { return session_.port.Lost(true, cause); }

std::string SessionUnitAccess::Port() const { return session_.options.port; }

std::string SessionUnitAccess::Line() const { return LineText(session_.port.line); }
