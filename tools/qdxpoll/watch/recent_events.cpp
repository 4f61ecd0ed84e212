#include "watch/recent_events.h"

void RecentEvents::Add(long number, std::string text) {
    // A number that does not follow the last one starts the list anew.
    if (!events_.empty() && number != events_.back().first + 1) {
        events_.clear();
        bytes_ = 0;
    }
    bytes_ += text.size();
    events_.emplace_back(number, std::move(text));
    // The newest is kept whatever its size: a page that is in step needs it.
    while (events_.size() > 1 && (events_.size() > most_cycles_ || bytes_ > most_bytes_)) {
        bytes_ -= events_.front().second.size();
        events_.pop_front();
    }
}

bool RecentEvents::Since(long sent, long last, std::string* out) const {
    if (last <= sent) {
        out->clear();
        return true;
    }
    if (events_.empty() || events_.front().first > sent + 1 || events_.back().first < last) return false;
    out->clear();
    for (const auto& [number, text] : events_)
        if (number > sent && number <= last) *out += text;
    return true;
}
