// Timing of a REX-F line: how long characters take at given line settings,
// and the rule for a reply timeout that a unit's answer always meets.
//
// A unit starts its answer after its processing time plus its interval time
// (0 to 250 ms, factory setting 10 ms). The reply timeout starts when the
// host's frame has been handed to the port, not when it has left the wire, so
// a safe timeout covers: the longest request still on the wire (a selecting
// frame, 16 characters), the interval time, the whole reply (11 characters;
// the Windows port layer waits for the reply as a whole), and a margin for the
// unit's processing time and the latency of USB serial adapters.
//
// A shorter timeout lets an answer arrive after its request has given up; the
// reply carries no unit address, so it can then be taken for the reply to the
// next request, from another unit.
#ifndef REXF_LINE_TIMING_H
#define REXF_LINE_TIMING_H

#include "rexf/line_format.h"

namespace rexf {

constexpr int kMaxIntervalTimeMs = 250;     // largest interval time a unit takes
constexpr int kFactoryIntervalTimeMs = 10;  // the units' factory setting
constexpr int kReplyMarginMs = 50;          // processing time and adapter latency
constexpr int kRequestChars = 16;           // a selecting frame, the longer request
constexpr int kReplyChars = 11;             // a data reply

// Bits one character takes: start bit, data bits, parity bit, stop bits
// (1.5 stop bits count as 1.5).
constexpr double CharacterBits(int data_bits, bool parity, double stop_bits) {
    return 1.0 + data_bits + (parity ? 1.0 : 0.0) + stop_bits;
}

// Milliseconds one character takes on the line.
constexpr double CharacterMs(long baud, int data_bits, bool parity, double stop_bits) {
    return baud > 0 ? CharacterBits(data_bits, parity, stop_bits) * 1000.0 / static_cast<double>(baud) : 0.0;
}

// The shortest reply timeout, in whole 10 ms steps, that an answer from a unit
// with this interval time always meets at these line settings.
constexpr int SafeReplyTimeoutMs(int interval_ms, long baud, int data_bits, bool parity, double stop_bits) {
    const double ms = interval_ms + kReplyMarginMs +
                      (kRequestChars + kReplyChars) * CharacterMs(baud, data_bits, parity, stop_bits);
    const int whole = static_cast<int>(ms);
    const int up = whole < ms ? whole + 1 : whole;
    return (up + 9) / 10 * 10;
}

// The same for a line format.
inline double CharacterBits(const LineFormat& line) {
    return CharacterBits(line.data_bits, line.parity != kParityNone, StopBitsCount(line.stop_bits));
}
inline int SafeReplyTimeoutMs(int interval_ms, const LineFormat& line) {
    return SafeReplyTimeoutMs(interval_ms, line.baud, line.data_bits, line.parity != kParityNone,
                              StopBitsCount(line.stop_bits));
}

}  // namespace rexf

#endif
