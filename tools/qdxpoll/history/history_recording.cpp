#include "history/history_recording.h"

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

HistoryRecorder::HistoryRecorder(const Options& o, const std::string& what) : path_(o.db_file) {
    if (const char* why = HistoryUnavailable()) throw ToolError(kExitUsage, why);
    std::string error;
    store_ = HistoryStore::Open(o.db_file, HistoryStore::kWrite, &error);
    if (store_ == nullptr) throw ToolError(kExitHistoryUnwritable, "the history " + error);
    store_->SetRetention(o.keep_days, static_cast<int64_t>(o.keep_mb * 1e6));
    if (!what.empty() && !store_->BeginRun(what, MsSinceEpoch(WallClock::now()), &error))
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
