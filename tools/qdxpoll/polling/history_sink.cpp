// Every cycle's samples into the history.
#include "polling/history_sink.h"

#include <fmt/format.h>

#include "base/exit_codes.h"

namespace {

// "log 01K1M1 01K1S1 every 1 s on ttyUSB0": what the run was.
std::string RunWhat(const Options& o, const char* command, const PointList& points) {
    std::string what = command;
    for (const auto& p : points) what += " " + p->address;
    return what + fmt::format(" every {:g} s on {}", o.interval_s, o.port);
}

}  // namespace

HistorySink::HistorySink(Session& session, const char* command, const PointList& points)
    : session_(session), recorder_(session.options, RunWhat(session.options, command, points)) {}

void HistorySink::Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>&) {
    recorder_.Cycle(readings);
}

void HistorySink::End() {
    const std::string lost = recorder_.End();
    if (!lost.empty()) session_.Fail(kExitHistoryUnwritable, lost, "free space for the history, or give another --db");
}
