// Output of readings, statistics and descriptions in the three forms:
// readable text, JSON lines, CSV with a header row. Summaries go where the
// readings go: JSON objects with "action":"summary", CSV rows of the same
// table with action "summary".
#ifndef QDXPOLL_OUTPUT_H
#define QDXPOLL_OUTPUT_H

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "diagnosis.h"
#include "options.h"
#include "platform.h"
#include "session.h"
#include "values.h"

using WallClock = std::chrono::system_clock;

// One reading (or write) of one point.
struct Reading {
    WallClock::time_point time;
    long cycle = 0;                 // poll cycle, from 1; 0 outside a poll
    std::string address;
    int unit = 0, channel = 0;
    std::string identifier;
    std::string type;
    std::optional<int> bit;
    std::string action = "read";    // read, write
    bool ok = false;                // the request did what was asked
    bool has_value = false;         // value holds what the unit gave (also when not ok)
    CellValue value;
    std::string raw;                // the unit's six data characters, as they came
    std::string status;             // ok, late, silent, eot, nak, ... (CauseCode), or a write's outcome
    std::string error;              // one-line reason when not ok, or a warning when late
    std::string hint;               // the next step, with error
    double latency_ms = 0;
    int attempts = 0;
    Tally tally = Tally::kGood;
};

// Per-address statistics of a poll. Each request counts once, in good or in
// the column of its failure's cause; retried counts the good ones that
// needed more than one attempt.
struct PointStats {
    std::string address;
    long requests = 0, attempts = 0, good = 0, retried = 0, no_answer = 0, eot = 0, nak = 0, refused = 0,
         late = 0, interrupted = 0;
    double min_ms = 0, max_ms = 0, total_ms = 0;
    void Add(const Reading& r);
};

// What a scan found.
struct ScanTotals {
    std::string identifier;
    int channel = 1;
    int tried = 0;
    std::vector<int> good;
    std::vector<int> eot;                              // answer EOT: no such identifier
    std::vector<std::pair<int, std::string>> bad;      // answer badly, and how
    int silent = 0;
    bool interrupted = false;
    double seconds = 0;
};

// The JSON forms of a reading and of one address's statistics, as --json
// prints them (the statistics without time and end).
nlohmann::json ReadingJson(const Reading& r);
nlohmann::json StatsJson(const PointStats& s);

// The text of j; bytes that are not UTF-8 (from a garbled line) become
// U+FFFD instead of an error.
std::string JsonText(const nlohmann::json& j);

std::string IsoTime(WallClock::time_point t);    // 2026-12-08T14:05:01.123Z
std::string LocalTime(WallClock::time_point t);  // 2026-12-08 14:05:01.123
std::string ClockTime(WallClock::time_point t);  // 14:05:01.123
// Milliseconds with one decimal, e.g. "12.3".
std::string Millis(double ms);

class Reporter {
public:
    Reporter(OutputFormat format, std::FILE* out) : format_(format), out_(out) {}

    OutputFormat format() const { return format_; }
    // A line of prose for the text form only (headings, notes).
    void Text(const std::string& line);
    // A reading of read, write or scan; the text form may carry a prefix.
    void Emit(const Reading& r, const std::string& text_prefix = "");
    // One poll cycle: one line of text, or one record a reading.
    void Cycle(const std::vector<Reading>& readings);
    void Stats(const std::vector<PointStats>& stats, double seconds, bool interrupted);
    void Info(const DriverDescription& d, const std::string& module_path);
    void Ports(const std::vector<SerialDevice>& ports);
    void Identifiers();
    void ScanSummary(const ScanTotals& totals);

private:
    void CsvHeader();
    void Line(const std::string& s);

    OutputFormat format_;
    std::FILE* out_;
    bool csv_header_done_ = false;
};

#endif  // QDXPOLL_OUTPUT_H
