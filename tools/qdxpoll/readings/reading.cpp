#include "readings/reading.h"

#include <cmath>

#include <fmt/format.h>

using nlohmann::json;

namespace {

json ValueJson(const CellValue& v) {
    if (!v.numeric) return v.text;
    if (v.is_integer) return v.integer;
    return v.number;
}

double Tenths(double v) { return std::round(v * 10) / 10; }

}  // namespace

void PointStats::Add(const Reading& r) {
    if (r.summary_class == SummaryClass::kMissing) ++missing;
    if (r.summary_class == SummaryClass::kMissing || r.summary_class == SummaryClass::kSkipped) return;
    ++requests;
    attempts += r.attempts;
    switch (r.summary_class) {
        case SummaryClass::kGood:
            ++good;
            if (r.attempts > 1) ++retried;
            if (good == 1 || r.latency_ms < min_ms) min_ms = r.latency_ms;
            if (good == 1 || r.latency_ms > max_ms) max_ms = r.latency_ms;
            total_ms += r.latency_ms;
            break;
        case SummaryClass::kNoAnswer: ++no_answer; break;
        case SummaryClass::kEot: ++eot; break;
        case SummaryClass::kNak: ++nak; break;
        case SummaryClass::kRefused: ++refused; break;
        case SummaryClass::kLate: ++late; break;
        case SummaryClass::kInterrupted: ++interrupted; break;
        case SummaryClass::kMissing:
        case SummaryClass::kSkipped: break;
    }
}

json ReadingJson(const Reading& r) {
    json j;
    j["time"] = IsoTime(r.time);
    if (r.cycle > 0) j["cycle"] = r.cycle;
    j["action"] = r.action;
    j["address"] = r.address;
    j["unit"] = r.unit;
    j["channel"] = r.channel;
    j["identifier"] = r.identifier;
    j["type"] = r.type;
    if (r.bit) j["bit"] = *r.bit;
    if (r.has_value) {
        j["value"] = ValueJson(r.value);
        j["text"] = r.value.text;
    } else {
        j["value"] = nullptr;
    }
    if (!r.raw.empty()) j["raw"] = r.raw;
    j["status"] = r.status;
    if (!r.error.empty()) j["error"] = r.error;
    j["latency_ms"] = Tenths(r.latency_ms);
    if (r.attempts > 0) j["attempts"] = r.attempts;
    return j;
}

json StatsJson(const PointStats& s) {
    json j;
    j["address"] = s.address;
    j["requests"] = s.requests;
    j["attempts"] = s.attempts;
    j["good"] = s.good;
    j["retried"] = s.retried;
    j["no_answer"] = s.no_answer;
    j["eot"] = s.eot;
    j["nak"] = s.nak;
    j["refused"] = s.refused;
    j["late"] = s.late;
    j["interrupted"] = s.interrupted;
    j["missing"] = s.missing;
    if (s.dead()) {
        j["dead_since"] = IsoTime(s.dead_since);
        j["dead_cause"] = s.dead_cause;
        j["polled_every"] = s.every;
    }
    if (s.good > 0) {
        j["latency_min_ms"] = Tenths(s.min_ms);
        j["latency_avg_ms"] = Tenths(s.total_ms / s.good);
        j["latency_max_ms"] = Tenths(s.max_ms);
    }
    return j;
}

const CsvTable& ReadingsTable() {
    static const CsvTable table({"time", "cycle", "action", "address", "unit", "channel", "identifier", "type",
                                 "bit", "value", "raw", "status", "latency_ms", "attempts", "error", "requests",
                                 "good", "retried", "no_answer", "eot", "nak", "refused", "late", "interrupted",
                                 "latency_min_ms", "latency_avg_ms", "latency_max_ms", "seconds", "missing",
                                 "outages", "outage_s", "cycle_s"});
    return table;
}

CsvFields ReadingCsv(const Reading& r) {
    CsvFields f{{"time", IsoTime(r.time)},
                {"action", r.action},
                {"address", r.address},
                {"unit", std::to_string(r.unit)},
                {"channel", std::to_string(r.channel)},
                {"identifier", r.identifier},
                {"type", r.type},
                {"raw", r.raw},
                {"status", r.status},
                {"latency_ms", Millis(r.latency_ms)},
                {"attempts", std::to_string(r.attempts)},
                {"error", r.error}};
    if (r.cycle > 0) f["cycle"] = std::to_string(r.cycle);
    if (r.bit) f["bit"] = std::to_string(*r.bit);
    if (r.has_value) f["value"] = r.value.text;
    return f;
}

CsvFields StatsCsv(const PointStats& s, WallClock::time_point time, double seconds, bool interrupted) {
    CsvFields f{{"time", IsoTime(time)},
                {"action", "summary"},
                {"address", s.address},
                {"status", interrupted ? "interrupted" : "ended"},
                {"attempts", std::to_string(s.attempts)},
                {"requests", std::to_string(s.requests)},
                {"good", std::to_string(s.good)},
                {"retried", std::to_string(s.retried)},
                {"no_answer", std::to_string(s.no_answer)},
                {"eot", std::to_string(s.eot)},
                {"nak", std::to_string(s.nak)},
                {"refused", std::to_string(s.refused)},
                {"late", std::to_string(s.late)},
                {"interrupted", std::to_string(s.interrupted)},
                {"missing", std::to_string(s.missing)},
                {"seconds", fmt::format("{:.1f}", seconds)}};
    if (s.good > 0) {
        f["latency_min_ms"] = Millis(s.min_ms);
        f["latency_avg_ms"] = Millis(s.total_ms / s.good);
        f["latency_max_ms"] = Millis(s.max_ms);
    }
    return f;
}
