// The gaps of one run.
#include "watch/watch_gaps.h"

void RunGaps::Cycle(long long ms, const std::string& why) {
    if (why.empty()) {
        if (open_) gaps_.back().to = ms;
        open_ = false;
    } else if (open_ && gaps_.back().why == why) {
        gaps_.back().to = ms;
    } else {
        if (open_) gaps_.back().to = ms;
        gaps_.push_back({any_ && !open_ ? last_ms_ : ms, ms, why});
        open_ = true;
        while (gaps_.size() > kept_) gaps_.pop_front();
    }
    any_ = true;
    last_ms_ = ms;
}

std::vector<HistoryGap> RunGaps::Within(long long from, long long to) const {
    std::vector<HistoryGap> out;
    for (const HistoryGap& g : gaps_)
        if (g.to >= from && g.from <= to) out.push_back(g);
    return out;
}
