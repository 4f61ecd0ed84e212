// The page's history of readings and its text forms.
#include "watch/watch_history.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>

#include "base/json_text.h"
#include "base/times.h"

namespace {

// A value as JSON writes it: the shortest text that reads back as the same
// number, with ".0" on a whole one (24.0, as the readings' JSON shows it);
// null for none.
void AppendNumber(std::string* out, double v) {
    if (!std::isfinite(v)) {
        *out += "null";
        return;
    }
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, v).ptr;
    out->append(text, end);
    if (std::find_if(text, end, [](char c) { return c == '.' || c == 'e' || c == 'n' || c == 'i'; }) == end)
        *out += ".0";
}

void AppendRowJson(std::string* out, const double* row, size_t width) {
    *out += '[';
    *out += std::to_string(static_cast<long long>(row[0]));
    for (size_t c = 1; c <= width; ++c) {
        *out += ',';
        AppendNumber(out, row[c]);
    }
    *out += ']';
}

}  // namespace

WatchHistory::WatchHistory(size_t points, size_t capacity)
    : points_(points), capacity_(capacity), cells_(capacity * (points + 1)) {}

const double* WatchHistory::Row(size_t i) const { return &cells_[((first_ + i) % capacity_) * (points_ + 1)]; }

void WatchHistory::Add(long long ms, const std::vector<double>& values) {
    if (capacity_ == 0) return;
    size_t slot;
    if (count_ < capacity_) {
        slot = (first_ + count_) % capacity_;
        ++count_;
    } else {
        slot = first_;
        first_ = (first_ + 1) % capacity_;
    }
    double* row = &cells_[slot * (points_ + 1)];
    row[0] = static_cast<double>(ms);
    for (size_t p = 0; p < points_; ++p) row[p + 1] = p < values.size() && std::isfinite(values[p]) ? values[p] : NAN;
}

size_t WatchHistory::CountRows(long long from, long long to) const {
    size_t n = 0;
    for (size_t i = 0; i < count_; ++i) {
        const double ms = Row(i)[0];
        n += ms >= static_cast<double>(from) && ms <= static_cast<double>(to);
    }
    return n;
}

HistoryTable WatchHistory::Copy(long long from, long long to, const std::vector<size_t>& columns) const {
    HistoryTable t;
    t.width = columns.size();
    t.cells.reserve(CountRows(from, to) * (t.width + 1));
    for (size_t i = 0; i < count_; ++i) {
        const double* row = Row(i);
        if (row[0] < static_cast<double>(from) || row[0] > static_cast<double>(to)) continue;
        t.cells.push_back(row[0]);
        for (size_t c : columns) t.cells.push_back(c < points_ ? row[c + 1] : NAN);
    }
    return t;
}

bool WatchHistory::Span(long long* first, long long* last) const {
    if (count_ == 0) return false;
    *first = static_cast<long long>(Row(0)[0]);
    *last = static_cast<long long>(Row(count_ - 1)[0]);
    return true;
}

HistoryTable WatchHistory::Read(long long from, long long to, const std::vector<size_t>& columns,
                                size_t max_rows) const {
    return Downsample(Copy(from, to, columns), max_rows);
}

HistoryTable Downsample(const HistoryTable& table, size_t max_rows) {
    if (max_rows == 0) return table;
    max_rows = std::max<size_t>(max_rows, 4);
    const size_t rows = table.rows(), stride = table.width + 1;
    if (rows <= max_rows) return table;
    const double first = table.cells[0], last = table.cells[(rows - 1) * stride];
    const size_t slices = max_rows / 2;
    const double width = (last - first) / static_cast<double>(slices);
    HistoryTable out;
    out.width = table.width;
    out.cells.reserve(max_rows * stride);
    std::vector<double> low(stride), high(stride);
    for (size_t r = 0; r < rows;) {
        // The slice of row r: its rows share the slice's number.
        const double offset = width > 0 ? (table.cells[r * stride] - first) / width : 0;
        const size_t slice = std::min(slices - 1, static_cast<size_t>(offset));
        const double* row = &table.cells[r * stride];
        std::copy(row, row + stride, low.begin());
        std::copy(row, row + stride, high.begin());
        size_t end = r + 1;
        for (; end < rows; ++end) {
            const double* next = &table.cells[end * stride];
            const double next_offset = width > 0 ? (next[0] - first) / width : 0;
            if (std::min(slices - 1, static_cast<size_t>(next_offset)) != slice) break;
            high[0] = next[0];
            for (size_t c = 1; c < stride; ++c) {
                // NaN stays only where the slice has no value at all.
                if (std::isnan(low[c]) || next[c] < low[c]) low[c] = next[c];
                if (std::isnan(high[c]) || next[c] > high[c]) high[c] = next[c];
            }
        }
        out.cells.insert(out.cells.end(), low.begin(), low.end());
        if (end - r > 1) out.cells.insert(out.cells.end(), high.begin(), high.end());
        r = end;
    }
    return out;
}

HistoryTable WatchHistory::CopyAll() const {
    HistoryTable t;
    t.width = points_;
    t.cells.reserve(count_ * (points_ + 1));
    for (size_t i = 0; i < count_; ++i) t.cells.insert(t.cells.end(), Row(i), Row(i) + points_ + 1);
    return t;
}

std::string HistoryJson(const HistoryTable& table) {
    std::string out = "[";
    for (size_t r = 0; r < table.rows(); ++r) {
        if (r > 0) out += ',';
        AppendRowJson(&out, &table.cells[r * (table.width + 1)], table.width);
    }
    return out + "]";
}

std::string GapsJson(const std::vector<HistoryGap>& gaps) {
    std::string out = "[";
    for (const HistoryGap& g : gaps)
        out += (out.size() > 1 ? ",[" : "[") + std::to_string(g.from) + "," + std::to_string(g.to) +
               (g.why.empty() ? "" : "," + JsonText(g.why)) + "]";
    return out + "]";
}

std::string RowJson(long long ms, const std::vector<double>& values) {
    std::vector<double> row{static_cast<double>(ms)};
    row.insert(row.end(), values.begin(), values.end());
    std::string out;
    AppendRowJson(&out, row.data(), values.size());
    return out;
}

void AppendCsvRows(const HistoryTable& table, size_t first, size_t count, std::string* out) {
    for (size_t r = first; r < first + count && r < table.rows(); ++r) {
        const double* row = &table.cells[r * (table.width + 1)];
        *out += IsoTime(WallClock::time_point(std::chrono::milliseconds(static_cast<long long>(row[0]))));
        for (size_t c = 1; c <= table.width; ++c) {
            *out += ',';
            if (!std::isnan(row[c])) AppendNumber(out, row[c]);
        }
        *out += '\n';
    }
}
