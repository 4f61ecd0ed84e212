// Times as qdxpoll shows them.
#ifndef QDXPOLL_TIMES_H
#define QDXPOLL_TIMES_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

using WallClock = std::chrono::system_clock;

std::string IsoTime(WallClock::time_point t);    // 2026-12-08T14:05:01.123Z
std::string LocalTime(WallClock::time_point t);  // 2026-12-08 14:05:01.123
std::string ClockTime(WallClock::time_point t);  // 14:05:01.123
// Milliseconds with one decimal, e.g. "12.3".
std::string Millis(double ms);

// Milliseconds since the epoch, UTC.
int64_t MsSinceEpoch(WallClock::time_point t);
// A time as the user gives it, in ms since the epoch: ISO 8601 in UTC
// (2026-12-08T14:05:01Z, +01:00 and the like) or local time without a zone
// (2026-12-08 14:05, 2026-12-08T14:05:01.5, 2026-12-08), or relative to now
// (-90s, -10m, -1h, -2d; "now"). Empty when it is none of these.
std::optional<int64_t> ParseUserTime(const std::string& text, WallClock::time_point now);

#endif  // QDXPOLL_TIMES_H
