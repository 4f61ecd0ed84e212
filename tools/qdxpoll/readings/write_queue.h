// The writes asked from outside the polling (the page's form, MQTT's set
// topics) wait for a gap between two cycles in one kind of queue with one
// set of limits: at most kMaxWaiting wait (one more is refused at once),
// and one still waiting after kWithdrawnAfter is withdrawn unsent. The
// polling runs one of them between two cycles, so that however many come
// the cycles keep their pace. Not locked: where threads share a queue its
// owner guards it.
#ifndef QDXPOLL_WRITE_QUEUE_H
#define QDXPOLL_WRITE_QUEUE_H

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <utility>

namespace write_limits {

inline constexpr size_t kMaxWaiting = 4;
inline constexpr auto kWithdrawnAfter = std::chrono::seconds(30);

}  // namespace write_limits

template <class Write>
class WriteQueue {
public:
    using Clock = std::chrono::steady_clock;

    // Queues a write asked at `asked`; false when kMaxWaiting wait already.
    bool Offer(Write write, Clock::time_point asked = Clock::now()) {
        if (waiting_.size() >= write_limits::kMaxWaiting) return false;
        waiting_.push_back({std::move(write), asked});
        return true;
    }
    // The next write to run, or none.
    std::optional<Write> TakeNext() {
        if (waiting_.empty()) return std::nullopt;
        Write next = std::move(waiting_.front().write);
        waiting_.pop_front();
        return next;
    }
    // Hands each write that has waited too long to withdrawn(write), oldest
    // first, and drops it.
    template <class F>
    void WithdrawStale(F withdrawn, Clock::time_point now = Clock::now()) {
        while (!waiting_.empty() && now - waiting_.front().asked > write_limits::kWithdrawnAfter) {
            withdrawn(waiting_.front().write);
            waiting_.pop_front();
        }
    }
    // Drops a write its asker gave up on; false when it is no longer here.
    bool Withdraw(const Write& write) {
        const auto at = std::find_if(waiting_.begin(), waiting_.end(), [&](const Waiting& w) { return w.write == write; });
        if (at == waiting_.end()) return false;
        waiting_.erase(at);
        return true;
    }
    // Every write that waits, taken out (at the end).
    std::deque<Write> TakeAll() {
        std::deque<Write> all;
        for (Waiting& w : waiting_) all.push_back(std::move(w.write));
        waiting_.clear();
        return all;
    }
    bool empty() const { return waiting_.empty(); }

private:
    struct Waiting {
        Write write;
        Clock::time_point asked;
    };
    std::deque<Waiting> waiting_;
};

#endif  // QDXPOLL_WRITE_QUEUE_H
