// Where qdxpoll's results go, in the form asked for: readable text, JSON
// lines, or CSV with a header row. Summaries go where the readings go: JSON
// objects with "action":"summary", CSV rows of the same table with action
// "summary".
#ifndef QDXPOLL_OUTPUT_H
#define QDXPOLL_OUTPUT_H

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/csv.h"
#include "base/json_text.h"
#include "base/times.h"
#include "config/options.h"
#include "readings/cycle_table.h"
#include "readings/reading.h"

class Reporter {
public:
    Reporter(OutputFormat format, std::FILE* out) : format_(format), out_(out) {}

    OutputFormat format() const { return format_; }
    // A line of prose for the text form only (headings, notes).
    void Text(const std::string& line);
    // One JSON object, for the JSON form only.
    void Json(const nlohmann::json& object);
    // One CSV row of a table, for the CSV form only; the table's header row
    // comes before its first row.
    void Csv(const CsvTable& table, const CsvFields& fields);
    // The table's header row alone, for a table that may have no rows.
    void CsvHeader(const CsvTable& table);

    // A reading of read, write or scan; the text form may carry a prefix.
    void Emit(const Reading& r, const std::string& text_prefix = "");
    // On a terminal this wide: a cycle whose line would not fit is shown as
    // a table with the points' names, units and scaling.
    void UseTable(size_t columns, const std::vector<ConfigPoint>& points);
    // One poll cycle: one line of text, or one record a reading. Dead points
    // the cycle left out (status "skipped") are named in the text only:
    // they are no samples.
    void Cycle(const std::vector<Reading>& readings);
    // The statistics per address, and with `line` the outages and the pace
    // of the cycles.
    void Stats(const std::vector<PointStats>& stats, double seconds, bool interrupted,
               const LineStats* line = nullptr);

private:
    void Line(const std::string& s);

    OutputFormat format_;
    std::FILE* out_;
    const CsvTable* header_written_ = nullptr;
    size_t table_columns_ = 0;  // 0: one line a cycle always
    std::vector<ConfigPoint> table_points_;
};

#endif  // QDXPOLL_OUTPUT_H
