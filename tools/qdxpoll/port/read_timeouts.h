// When a read of a serial port ends under the port's read timeouts (the
// three read fields of Win32's COMMTIMEOUTS, with their special values), so
// that qdxpoll's layer answers the driver's reads as a COM port would.
#ifndef QDXPOLL_READ_TIMEOUTS_H
#define QDXPOLL_READ_TIMEOUTS_H

#include <cstdint>

struct ReadTimeouts {
    uint32_t interval = 0;    // ReadIntervalTimeout: ms between two bytes, after the first
    uint32_t multiplier = 0;  // ReadTotalTimeoutMultiplier: ms a byte asked for
    uint32_t constant = 0;    // ReadTotalTimeoutConstant: ms added to the total
};

constexpr uint32_t kTimeoutMaxValue = 0xFFFFFFFFu;  // MAXDWORD

// One read of `count` bytes under timeouts. Times are ms since the read
// began; a byte that came before the read counts as come at 0.
class ReadClock {
public:
    ReadClock(const ReadTimeouts& timeouts, uint32_t count);

    // How long the read may still wait for more with `got` bytes in hand, the
    // last come at last_byte_ms, now at now_ms: 0 when it ends now, -1 when
    // it waits without limit.
    int64_t WaitMs(uint32_t got, int64_t now_ms, int64_t last_byte_ms) const;

private:
    enum class Kind { kAtOnce, kFirstByte, kTimed };
    Kind kind_ = Kind::kTimed;
    uint32_t count_ = 0;
    int64_t total_ms_ = -1;     // -1: no total limit
    int64_t interval_ms_ = -1;  // -1: no interval limit
};

#endif  // QDXPOLL_READ_TIMEOUTS_H
