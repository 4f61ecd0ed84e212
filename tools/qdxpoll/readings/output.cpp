#include "readings/output.h"

#include <cmath>

#include <fmt/format.h>

namespace {

std::string RawText(const Reading& r) { return r.raw.empty() ? "" : "  [" + r.raw + "]"; }

std::string ReadingText(const Reading& r) {
    std::string where = fmt::format("{}  unit {:02d} ch {} {}", r.address, r.unit, r.channel, r.identifier);
    std::string what = r.bit ? fmt::format("bit {}", *r.bit) : r.type;
    if (r.ok && r.action == "write")
        return fmt::format("{}  {} := {}  {}  ({} ms)", where, what, r.value.text,
                           r.status == "verified" ? "written and read back" : "written", Millis(r.latency_ms));
    if (r.ok)
        return fmt::format("{}  {} = {}{}  ({} ms{}{})", where, what, r.value.text, RawText(r), Millis(r.latency_ms),
                           r.attempts > 1 ? fmt::format(", {} attempts", r.attempts) : "",
                           r.status == "late" ? ", late" : "");
    return fmt::format("{}  {}: {}", where, r.action, r.error);
}

}  // namespace

void Reporter::Line(const std::string& s) {
    std::fputs(s.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void Reporter::Text(const std::string& line) {
    if (format_ == OutputFormat::kText) Line(line);
}

void Reporter::Json(const nlohmann::json& object) {
    if (format_ == OutputFormat::kJson) Line(JsonText(object));
}

void Reporter::CsvHeader(const CsvTable& table) {
    if (format_ != OutputFormat::kCsv || header_written_ == &table) return;
    header_written_ = &table;
    Line(table.HeaderLine());
}

void Reporter::Csv(const CsvTable& table, const CsvFields& fields) {
    if (format_ != OutputFormat::kCsv) return;
    CsvHeader(table);
    Line(table.Line(fields));
}

void Reporter::Emit(const Reading& r, const std::string& text_prefix) {
    Text(text_prefix + ReadingText(r));
    Json(ReadingJson(r));
    Csv(ReadingsTable(), ReadingCsv(r));
}

void Reporter::Cycle(const std::vector<Reading>& readings) {
    if (format_ != OutputFormat::kText) {
        for (const Reading& r : readings)
            if (r.summary_class != SummaryClass::kSkipped) Emit(r);
        return;
    }
    if (readings.empty()) return;
    std::string line = LocalTime(readings.front().time);
    for (const Reading& r : readings) {
        if (r.summary_class == SummaryClass::kSkipped)
            line += fmt::format("  {} {}", r.address, r.note);
        else if (r.ok)
            line += fmt::format("  {}={} ({} ms{})", r.address, r.value.text, Millis(r.latency_ms),
                                r.status == "late" ? ", late" : "");
        else
            line += fmt::format("  {}=--- ({})", r.address, r.status);
    }
    if (table_columns_ > 0 && DisplayWidth(line) > table_columns_) {
        for (const std::string& row : CycleTable(readings, table_points_, table_columns_)) Line(row);
        return;
    }
    Line(line);
}

void Reporter::UseTable(size_t columns, const std::vector<ConfigPoint>& points) {
    table_columns_ = columns;
    table_points_ = points;
}

void Reporter::Stats(const std::vector<PointStats>& stats, double seconds, bool interrupted,
                     const LineStats* line) {
    const auto now = WallClock::now();
    for (const PointStats& s : stats) {
        nlohmann::json j = StatsJson(s);
        j["time"] = IsoTime(now);
        j["action"] = "summary";
        j["seconds"] = std::round(seconds * 10) / 10;
        j["ended_by_interrupt"] = interrupted;
        Json(j);
        Csv(ReadingsTable(), StatsCsv(s, now, seconds, interrupted));
    }
    if (line != nullptr) {
        nlohmann::json j{{"time", IsoTime(now)},
                         {"action", "summary"},
                         {"address", "line"},
                         {"interval_s", line->interval_s},
                         {"cycle_s", std::round(line->cycle_s * 1000) / 1000},
                         {"cycles", line->cycles},
                         {"outages", line->outages},
                         {"outage_s", std::round(line->outage_s * 10) / 10},
                         {"longest_outage_s", std::round(line->longest_outage_s * 10) / 10}};
        Json(j);
        Csv(ReadingsTable(), CsvFields{{"time", IsoTime(now)},
                                       {"action", "summary"},
                                       {"address", "line"},
                                       {"outages", std::to_string(line->outages)},
                                       {"outage_s", fmt::format("{:.1f}", line->outage_s)},
                                       {"cycle_s", fmt::format("{:.3f}", line->cycle_s)},
                                       {"seconds", fmt::format("{:.1f}", seconds)}});
    }
    if (format_ != OutputFormat::kText) return;
    Line(fmt::format("\nStatistics after {:.1f} s{} (requests; attempts = frames sent):", seconds,
                     interrupted ? ", ended by Ctrl-C" : ""));
    Line(fmt::format("  {:<8} {:>8} {:>8} {:>6} {:>7} {:>9} {:>5} {:>5} {:>7} {:>5} {:>11} {:>7} {:>7} {:>7}",
                     "address", "requests", "attempts", "good", "retried", "no answer", "EOT", "NAK", "refused",
                     "late", "interrupted", "min ms", "avg ms", "max ms"));
    for (const PointStats& s : stats) {
        const std::string lat =
            s.good > 0 ? fmt::format("{:>7} {:>7} {:>7}", Millis(s.min_ms), Millis(s.total_ms / s.good),
                                     Millis(s.max_ms))
                       : fmt::format("{:>7} {:>7} {:>7}", "-", "-", "-");
        Line(fmt::format("  {:<8} {:>8} {:>8} {:>6} {:>7} {:>9} {:>5} {:>5} {:>7} {:>5} {:>11} {}", s.address,
                         s.requests, s.attempts, s.good, s.retried, s.no_answer, s.eot, s.nak, s.refused, s.late,
                         s.interrupted, lat));
    }
    for (const PointStats& s : stats) {
        if (s.missing > 0)
            Line(fmt::format("  {}: {} samples missing (the port was lost)", s.address, s.missing));
        if (s.dead())
            Line(fmt::format("  {}: dead since {} ({}), polled every {} cycles", s.address, LocalTime(s.dead_since),
                             s.dead_cause, s.every));
    }
    if (line == nullptr) return;
    Line(fmt::format("  cycle: every {:g} s configured, {:.3g} s measured (mean of {} cycles)", line->interval_s,
                     line->cycle_s, line->cycles));
    if (line->outages > 0)
        Line(fmt::format("  port lost {} time{}, {:.1f} s in all (longest {:.1f} s){}", line->outages,
                         line->outages == 1 ? "" : "s", line->outage_s, line->longest_outage_s,
                         line->lost ? "; lost at the end" : ""));
}
