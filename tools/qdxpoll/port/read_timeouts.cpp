// The read timeouts as a COM port applies them.
#include "port/read_timeouts.h"

#include <algorithm>

ReadClock::ReadClock(const ReadTimeouts& t, uint32_t count) : count_(count) {
    // MAXDWORD, 0, 0: return at once with what is there.
    if (t.interval == kTimeoutMaxValue && t.multiplier == 0 && t.constant == 0) {
        kind_ = Kind::kAtOnce;
        return;
    }
    // MAXDWORD, MAXDWORD, c (0 < c < MAXDWORD): what is there, else the first
    // byte to come within c.
    if (t.interval == kTimeoutMaxValue && t.multiplier == kTimeoutMaxValue && t.constant > 0 &&
        t.constant < kTimeoutMaxValue) {
        kind_ = Kind::kFirstByte;
        total_ms_ = t.constant;
        return;
    }
    // Otherwise the total (multiplier a byte plus the constant, none when
    // both are 0) and the interval between bytes (none when 0) both hold;
    // the product is taken in 64 bits, so no count overflows it.
    if (t.multiplier != 0 || t.constant != 0)
        total_ms_ = static_cast<int64_t>(t.multiplier) * count + static_cast<int64_t>(t.constant);
    if (t.interval != 0) interval_ms_ = t.interval;
}

int64_t ReadClock::WaitMs(uint32_t got, int64_t now_ms, int64_t last_byte_ms) const {
    if (got >= count_ || kind_ == Kind::kAtOnce) return 0;
    if (kind_ == Kind::kFirstByte) return got > 0 ? 0 : std::max<int64_t>(0, total_ms_ - now_ms);
    int64_t wait = -1;
    if (total_ms_ >= 0) wait = std::max<int64_t>(0, total_ms_ - now_ms);
    if (interval_ms_ >= 0 && got > 0) {
        const int64_t gap = std::max<int64_t>(0, last_byte_ms + interval_ms_ - now_ms);
        wait = wait < 0 ? gap : std::min(wait, gap);
    }
    return wait;
}
