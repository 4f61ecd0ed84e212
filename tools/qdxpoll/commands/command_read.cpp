// read: one or more points, or one bit of one.
#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "platform/platform.h"
#include "rexf/line_timing.h"
#include "session/session.h"

namespace {

void CheckBitOptions(const Options& o, uint32_t type) {
    if (!o.bit) {
        if (o.width) throw ToolError(kExitUsage, "--width goes with --bit");
        return;
    }
    const int width = o.width.value_or(IsWideType(type) ? 32 : 16);
    if (width == 32 && !IsWideType(type))
        throw ToolError(kExitUsage, "--width 32 needs a 32-bit type (--type s32, u32 or float): a " +
                                        std::string(TypeName(type)) + " read fills only the 16-bit value");
    if (*o.bit >= width)
        throw ToolError(kExitUsage,
                        fmt::format("bit {} is beyond the {}-bit value: --width 16 takes bits 0-15 of the 16-bit "
                                    "value, --width 32 bits 0-31 of a 32-bit type (--type s32, u32 or float)",
                                    *o.bit, width));
}

}  // namespace

int RunRead(Session& session) {
    CheckBitOptions(session.options, session.Type());
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = session.ParsePoints(session.options.addresses, session.Type());
    for (auto& p : points) {
        if (Interrupted()) break;
        const Reading r = session.ReadPoint(p.get(), session.options.bit);
        if (r.status == CauseCode(Cause::kInterrupted)) {
            session.Fail(kExitInterrupted, r.error, "the port is closed");
            break;
        }
        // Each failure is named once, on stderr with its hint; the text on
        // stdout is the values.
        if (!r.error.empty() && !r.ok) session.SayFailure(r);
        if (r.ok || session.reporter.format() != OutputFormat::kText) session.reporter.Emit(r);
    }
    return session.Finish();
}
