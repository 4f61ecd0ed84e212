// The page's ranges from the database.
#include "watch/watch_store.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

#include "history/history_store.h"

namespace {

// Samples read for a range: at most this many a point (the database gives
// the first of each step), cut down after to the page's rows with each
// slice's least and greatest value.
constexpr long long kSamplesAPoint = 4 * 3000;

std::unique_ptr<HistoryStore> OpenForReading(const std::string& path) {
    std::string ignored;
    return HistoryStore::Open(path, HistoryStore::kRead, &ignored);
}

}  // namespace

bool StoredHistory::Span(long long* first, long long* last) const {
    auto store = OpenForReading(path_);
    if (!store) return false;
    std::string error;
    const std::vector<HistoryRun> runs = store->Runs(INT64_MIN, INT64_MAX, &error);
    if (runs.empty()) return false;
    *first = runs.front().start_ms;
    *last = runs.front().end_ms;
    for (const HistoryRun& r : runs) {
        *first = std::min<long long>(*first, r.start_ms);
        *last = std::max<long long>(*last, std::max(r.start_ms, r.end_ms));
    }
    return true;
}

HistoryTable StoredHistory::Read(long long from, long long to, const std::vector<size_t>& columns,
                                 size_t max_rows) const {
    HistoryTable table;
    table.width = columns.size();
    long long first = 0, last = 0;
    if (columns.empty() || !Span(&first, &last)) return table;
    from = std::max(from, first);
    to = std::min(to, last);
    if (from > to) return table;
    auto store = OpenForReading(path_);
    if (!store) return table;
    HistoryQuery query;
    std::vector<long> column_of(columns_.size(), -1);  // a point's column in the table
    for (size_t c = 0; c < columns.size(); ++c)
        if (columns[c] < columns_.size()) {
            query.addresses.push_back(columns_[columns[c]].address);
            column_of[columns[c]] = static_cast<long>(c);
        }
    query.from_ms = from;
    query.to_ms = to;
    if (max_rows == 0) {
        query.limit = static_cast<int64_t>(kEveryRowValues + columns.size());
    } else {
        query.step_ms = (to - from) / kSamplesAPoint;
        query.limit = kSamplesAPoint * static_cast<long long>(columns.size()) * 2;
    }
    std::string error;
    const std::vector<HistorySample> samples = store->Samples(query, &error);

    // One row a cycle: a row ends where a point comes again.
    const size_t stride = columns.size() + 1;
    std::vector<bool> filled(columns.size(), false);
    for (const HistorySample& s : samples) {
        const auto at = std::find_if(columns_.begin(), columns_.end(),
                                     [&](const StoredColumn& c) { return c.address == s.address; });
        if (at == columns_.end()) continue;
        const long c = column_of[static_cast<size_t>(at - columns_.begin())];
        if (c < 0) continue;
        if (table.cells.empty() || filled[static_cast<size_t>(c)]) {
            table.cells.push_back(static_cast<double>(s.time_ms));
            table.cells.insert(table.cells.end(), columns.size(), NAN);
            std::fill(filled.begin(), filled.end(), false);
        }
        filled[static_cast<size_t>(c)] = true;
        if (s.value && std::isfinite(*s.value))
            table.cells[table.cells.size() - stride + 1 + static_cast<size_t>(c)] = *s.value * at->scale + at->offset;
    }
    return Downsample(table, max_rows);
}

std::vector<HistoryGap> StoredHistory::Gaps(long long from, long long to) const {
    std::vector<HistoryGap> gaps;
    auto store = OpenForReading(path_);
    if (!store) return gaps;
    std::string error;
    std::vector<HistoryRun> runs = store->Runs(from, to, &error);
    std::sort(runs.begin(), runs.end(), [](const HistoryRun& a, const HistoryRun& b) { return a.start_ms < b.start_ms; });
    long long covered = LLONG_MIN;  // the end of the runs so far
    for (const HistoryRun& r : runs) {
        if (covered != LLONG_MIN && r.start_ms > covered) gaps.push_back({covered, r.start_ms, ""});
        covered = std::max<long long>(covered, std::max(r.start_ms, r.end_ms));
    }
    return gaps;
}

void StoredHistory::LoadFailures(FailureGroups* groups) const {
    auto store = OpenForReading(path_);
    if (!store) return;
    std::string error;
    std::vector<HistoryFailures> failures = store->Failures(INT64_MIN, INT64_MAX, &error);
    // Oldest first, so that the groups kept are the latest.
    std::reverse(failures.begin(), failures.end());
    for (const HistoryFailures& f : failures)
        groups->AddMany(f.address, f.status, f.cause, "", f.count, f.first_ms, f.last_ms);
}
