#include "history/history_recording.h"

#include <filesystem>
#include <system_error>

#include <fmt/format.h>

#include "base/console.h"
#include "base/exit_codes.h"

HistorySample SampleOf(const Reading& r) {
    HistorySample s;
    s.time_ms = MsSinceEpoch(r.time);
    s.address = r.address;
    if (r.has_value && r.value.numeric)
        s.value = r.value.is_integer ? static_cast<double>(r.value.integer) : r.value.number;
    s.raw = r.raw;
    s.status = r.status;
    s.cause = r.error;  // also a late answer's, whose value was taken
    s.attempts = r.attempts;
    s.latency_ms = r.latency_ms;
    return s;
}

HistoryWrite WriteOf(const Reading& r, const std::string& asked, const std::string& source) {
    HistoryWrite w;
    w.time_ms = MsSinceEpoch(r.time);
    w.address = r.address;
    w.value = asked;
    w.status = r.status;
    w.cause = r.error;
    w.source = source;
    return w;
}

namespace {

// Two names of one port: the same text, or the same device behind them
// (a /dev/serial/by-id link and the tty it points at).
bool SamePort(const std::string& a, const std::string& b) {
    if (a == b) return true;
    std::error_code ea, eb;
    const auto da = std::filesystem::canonical(a, ea), db = std::filesystem::canonical(b, eb);
    return !ea && !eb && da == db;
}

std::string Shown(const HistoryLine& line) { return "line \"" + line.name + "\" on " + line.port; }

}  // namespace

// The file belongs to one line: another is refused, unless the file is given
// to it on purpose. A file of an earlier qdxpoll holds no record: it goes
// to the first line that writes to it again, which is said.
void HistoryRecorder::ClaimFor(const Options& o) {
    const HistoryLine ours{o.line_name, o.port, MsSinceEpoch(WallClock::now())};
    std::string error;
    const std::optional<HistoryLine> owner = store_->Line(&error);
    if (!error.empty()) throw ToolError(kExitHistoryUnwritable, "the history " + path_ + ": " + error);
    if (owner && owner->name == ours.name && SamePort(owner->port, ours.port)) return;
    if (owner && !o.reassign_db)
        throw ToolError(kExitHistoryUnwritable,
                        fmt::format("the history {} belongs to {} (since {}); this run's is {}: their samples would "
                                    "merge under the same addresses; nothing recorded",
                                    path_, Shown(*owner), IsoTime(WallClock::time_point(std::chrono::milliseconds(
                                                                     owner->since_ms))),
                                    Shown(ours)),
                        "give this line a --db file of its own; if it is the same line under a new name or port, "
                        "or the file goes to this line on purpose, add --reassign-db");
    if (!store_->SetLine(ours, &error))
        throw ToolError(kExitHistoryUnwritable, "the history " + path_ + ": " + error);
    if (owner)
        ErrorLine("qdxpoll: note: the history " + path_ + " belongs to " + Shown(ours) + " from now on (it was " +
                  Shown(*owner) + ")");
    else if (!fresh_)
        ErrorLine("qdxpoll: note: the history " + path_ + " held no record of its line (an earlier qdxpoll made "
                  "it): it belongs to " + Shown(ours) + " from now on");
}

// The first line of a run on a file whose previous run lost samples.
void HistoryRecorder::SayPreviousLosses() {
    std::string error;
    const std::optional<HistoryRunLoss> last = store_->PreviousRun(&error);
    if (!last || last->unstored == 0) return;
    const std::string ended = IsoTime(WallClock::time_point(std::chrono::milliseconds(last->run.end_ms)));
    if (last->unstored > 0)
        ErrorLine(fmt::format("qdxpoll: note: the previous run on {} ({}) could not store {} of {} samples; it "
                              "ended {}",
                              path_, last->run.what, last->unstored, last->added, ended));
    else
        ErrorLine(fmt::format("qdxpoll: note: the previous run on {} ({}) recorded no end: it was killed, or the "
                              "file could not be written at its end; its samples after {} are not in the file",
                              path_, last->run.what, ended));
}

HistoryRecorder::HistoryRecorder(const Options& o, const std::string& what) : path_(o.db_file) {
    if (const char* why = HistoryUnavailable()) throw ToolError(kExitUsage, why);
    std::string error;
    std::error_code missing;
    fresh_ = !std::filesystem::exists(o.db_file, missing);
    store_ = HistoryStore::Open(o.db_file, HistoryStore::kWrite, &error);
    if (store_ == nullptr) throw ToolError(kExitHistoryUnwritable, "the history " + error);
    ClaimFor(o);
    store_->SetRetention(o.keep_days, static_cast<int64_t>(o.keep_mb * 1e6));
    if (what.empty()) return;
    SayPreviousLosses();
    if (!store_->BeginRun(what, MsSinceEpoch(WallClock::now()), &error))
        throw ToolError(kExitHistoryUnwritable, "the history " + path_ + ": " + error);
}

HistoryRecorder::~HistoryRecorder() {
    if (!ended_) End();
}

void HistoryRecorder::Failed(const std::string& what) {
    if (first_failure_.empty()) first_failure_ = what;
    if (what == last_said_) return;
    last_said_ = what;
    ErrorLine("qdxpoll: " + what + " (kept in memory; tried again each second)");
}

void HistoryRecorder::Cycle(const std::vector<Reading>& readings) {
    // A dead point left out of a cycle was not polled: no sample. A cycle
    // while the port is lost is one of missing samples.
    for (const Reading& r : readings)
        if (r.summary_class != SummaryClass::kSkipped) store_->Add(SampleOf(r));
    std::string error;
    if (!store_->Tick(MsSinceEpoch(WallClock::now()), &error))
        Failed("the history " + path_ + " could not be written: " + error);
}

void HistoryRecorder::Write(const Reading& r, const std::string& asked, const std::string& source) {
    std::string error;
    if (!store_->AddWrite(WriteOf(r, asked, source), &error))
        Failed("the write of " + r.address + " could not be recorded in " + path_ + ": " + error);
}

std::string HistoryRecorder::End() {
    ended_ = true;
    std::string error;
    if (!store_->EndRun(MsSinceEpoch(WallClock::now()), &error))
        Failed("the history " + path_ + " could not be written: " + error);
    // Whatever still waits when the run ends is lost with the process.
    const int64_t lost = store_->Unstored();
    if (lost > 0 && first_failure_.empty())
        first_failure_ = fmt::format("{} of {} samples could not be recorded in {}", lost, store_->Added(), path_);
    else if (lost > 0)
        first_failure_ += fmt::format("; {} of {} samples were lost", lost, store_->Added());
    return first_failure_;
}
