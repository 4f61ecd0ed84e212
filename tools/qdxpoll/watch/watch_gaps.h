// The times within one run of watch when the line gave no samples: the port
// was lost, or no unit answered. The page shades them and lists them, as it
// does the times between two runs.
#ifndef QDXPOLL_WATCH_GAPS_H
#define QDXPOLL_WATCH_GAPS_H

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include "watch/watch_history.h"

class RunGaps {
public:
    explicit RunGaps(size_t kept) : kept_(kept) {}

    // One cycle at `ms`: why it gave no samples, or "" when it gave some. A
    // gap runs from the last cycle before it to the first one after.
    void Cycle(long long ms, const std::string& why);
    // The gaps that overlap from..to, oldest first.
    std::vector<HistoryGap> Within(long long from, long long to) const;

private:
    size_t kept_;
    std::deque<HistoryGap> gaps_;
    bool open_ = false;
    bool any_ = false;
    long long last_ms_ = 0;
};

#endif  // QDXPOLL_WATCH_GAPS_H
