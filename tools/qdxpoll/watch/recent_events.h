// The page's stream of the latest cycles' events, kept for pages that fall
// a little behind: at most a number of cycles and a number of bytes (an
// event carries the grouped failures, which grow with a sick line), the
// oldest dropped first. A page further behind than what is kept starts
// again from a fresh first event, so that it never misses one unawares.
#ifndef QDXPOLL_RECENT_EVENTS_H
#define QDXPOLL_RECENT_EVENTS_H

#include <cstddef>
#include <deque>
#include <string>
#include <utility>

class RecentEvents {
public:
    RecentEvents(size_t cycles, size_t bytes) : most_cycles_(cycles), most_bytes_(bytes) {}

    // Cycle `number`'s event, the numbers rising by one.
    void Add(long number, std::string text);
    // The events after cycle `sent`, up to `last`, in order into *out; false
    // (and *out untouched) when some of them are no longer kept.
    bool Since(long sent, long last, std::string* out) const;

    size_t size() const { return events_.size(); }
    size_t bytes() const { return bytes_; }

private:
    size_t most_cycles_, most_bytes_;
    std::deque<std::pair<long, std::string>> events_;
    size_t bytes_ = 0;
};

#endif  // QDXPOLL_RECENT_EVENTS_H
