// One reading (or write) of one point, the statistics of a poll, and their
// JSON and CSV forms: readings and summaries share one CSV table.
#ifndef QDXPOLL_READING_H
#define QDXPOLL_READING_H

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "base/csv.h"
#include "base/times.h"
#include "diagnosis/causes.h"
#include "readings/values.h"

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
    std::string note;               // a skipped point: why ("dead since ... (silent)")
    double latency_ms = 0;
    int attempts = 0;
    SummaryClass summary_class = SummaryClass::kGood;
};

// Per-address statistics of a poll. Each request counts once, in good or in
// the column of its failure's cause; retried counts the good ones that
// needed more than one attempt.
struct PointStats {
    std::string address;
    long requests = 0, attempts = 0, good = 0, retried = 0, no_answer = 0, eot = 0, nak = 0, refused = 0,
         late = 0, interrupted = 0;
    long missing = 0;  // samples not taken while the port was lost: no request
    double min_ms = 0, max_ms = 0, total_ms = 0;
    // A dead point (3 failed cycles in a row) is polled every `every` cycles.
    long every = 1;
    WallClock::time_point dead_since{};
    std::string dead_cause;
    bool dead() const { return every > 1; }
    void Add(const Reading& r);
};

// The line as a whole over a poll: its outages and the pace of its cycles.
struct LineStats {
    double interval_s = 0;   // as configured
    double cycle_s = 0;      // measured: the mean time from one cycle's start to the next
    double recent_cycle_s = 0;  // the same over the last 10 cycles
    long cycles = 0;
    long outages = 0;        // each time the port was lost
    double outage_s = 0, longest_outage_s = 0;  // their length, all in all and the longest
    bool lost = false;       // lost now
};

// The JSON forms of a reading and of one address's statistics, as --json
// prints them (the statistics without time and end).
nlohmann::json ReadingJson(const Reading& r);
nlohmann::json StatsJson(const PointStats& s);

// The one CSV table of readings and summaries, and the rows of each.
const CsvTable& ReadingsTable();
CsvFields ReadingCsv(const Reading& r);
CsvFields StatsCsv(const PointStats& s, WallClock::time_point time, double seconds, bool interrupted);

#endif  // QDXPOLL_READING_H
