// The page's history read from the database of `watch --db`: the whole
// night, across restarts, with the times between two runs as its gaps. Each
// call opens the database for reading on the thread that asks (a store is
// never shared between threads), and never waits for the polling, which
// writes to it meanwhile.
#ifndef QDXPOLL_WATCH_STORE_H
#define QDXPOLL_WATCH_STORE_H

#include <string>
#include <vector>

#include "watch/watch_history.h"
#include "watch/watch_summary.h"

// A point of the page: its address and how its values are shown.
struct StoredColumn {
    std::string address;
    double scale = 1, offset = 0;
};

class StoredHistory : public HistoryReader {
public:
    // columns: the points, in the order of the page's columns.
    StoredHistory(std::string path, std::vector<StoredColumn> columns)
        : path_(std::move(path)), columns_(std::move(columns)) {}

    bool Span(long long* first, long long* last) const override;
    HistoryTable Read(long long from, long long to, const std::vector<size_t>& columns,
                      size_t max_rows) const override;
    std::vector<HistoryGap> Gaps(long long from, long long to) const override;

    // The failures recorded before this run, into groups.
    void LoadFailures(FailureGroups* groups) const;

private:
    std::string path_;
    std::vector<StoredColumn> columns_;
};

#endif  // QDXPOLL_WATCH_STORE_H
