// The readings the page of `qdxpoll watch` keeps: one row a cycle, its time
// and one value a point, the oldest dropped past the capacity. Kept as plain
// numbers in one block, so that what a request needs is copied under the
// server's lock in one quick pass, and its text (JSON for the page, CSV for a
// chart) is made from the copy outside it, where the polling never waits.
#ifndef QDXPOLL_WATCH_HISTORY_H
#define QDXPOLL_WATCH_HISTORY_H

#include <cstddef>
#include <string>
#include <vector>

// Rows copied out of the history: each its time in ms since the epoch, then
// its values (NaN: none) of the columns copied.
struct HistoryTable {
    size_t width = 0;  // values a row
    std::vector<double> cells;
    size_t rows() const { return cells.size() / (width + 1); }
};

// What a caller that asks for every row may get at most (a chart's CSV).
inline constexpr size_t kEveryRowValues = 8 * 36000;

// A time when nothing was recorded (ms since the epoch, the last row before
// and the first after): qdxpoll was not running, or `why` says what
// happened on the line.
struct HistoryGap {
    long long from = 0, to = 0;
    std::string why;  // "": qdxpoll was not running
};

// Where the page's time ranges are read from: the rows kept in memory, or
// the database of `watch --db`.
class HistoryReader {
public:
    virtual ~HistoryReader() = default;
    // The times of the first and the last row; false when there is none.
    virtual bool Span(long long* first, long long* last) const = 0;
    // The rows in from..to (ms, both included) of the columns given, oldest
    // first, cut down to at most max_rows (Downsample); max_rows 0: every
    // row, or past kEveryRowValues values at least that many (for the
    // caller to refuse).
    virtual HistoryTable Read(long long from, long long to, const std::vector<size_t>& columns,
                              size_t max_rows) const = 0;
    // The times in from..to when nothing was recorded, oldest first.
    virtual std::vector<HistoryGap> Gaps(long long from, long long to) const = 0;
};

// The table cut down to at most max_rows (at least 4; 0: no bound): all of
// it when it is no longer, else the time split into max_rows / 2 equal slices, each given
// as two rows, the least of each column at the slice's first time and the
// greatest at its last, so that no spike is lost. A slice where a column
// has no value keeps it none, so that gaps stay gaps.
HistoryTable Downsample(const HistoryTable& table, size_t max_rows);

class WatchHistory : public HistoryReader {
public:
    WatchHistory(size_t points, size_t capacity);

    bool Span(long long* first, long long* last) const override;
    HistoryTable Read(long long from, long long to, const std::vector<size_t>& columns,
                      size_t max_rows) const override;
    // One run of qdxpoll: never a gap.
    std::vector<HistoryGap> Gaps(long long, long long) const override { return {}; }

    // One cycle's row: one value a point, NaN for none.
    void Add(long long ms, const std::vector<double>& values);
    size_t rows() const { return count_; }

    // How many rows lie in from..to (ms, both included).
    size_t CountRows(long long from, long long to) const;
    // The rows in from..to of the columns given (point indexes), oldest
    // first.
    HistoryTable Copy(long long from, long long to, const std::vector<size_t>& columns) const;
    // Every row of every point.
    HistoryTable CopyAll() const;

private:
    const double* Row(size_t i) const;  // i = 0: the oldest

    size_t points_, capacity_;
    std::vector<double> cells_;  // capacity_ rows of 1 + points_
    size_t first_ = 0, count_ = 0;
};

// The rows as the page's JSON: [[ms, value or null, ...], ...].
std::string HistoryJson(const HistoryTable& table);
// The gaps as JSON: [[from ms, to ms], ...], a gap with a why as [from ms,
// to ms, why].
std::string GapsJson(const std::vector<HistoryGap>& gaps);
// One row as JSON, as HistoryJson writes it.
std::string RowJson(long long ms, const std::vector<double>& values);
// Rows first..first+count as CSV lines: the time in ISO-8601 UTC, then one
// value a column (empty for none).
void AppendCsvRows(const HistoryTable& table, size_t first, size_t count, std::string* out);

#endif  // QDXPOLL_WATCH_HISTORY_H
