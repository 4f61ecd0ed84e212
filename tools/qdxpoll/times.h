// Times as qdxpoll shows them.
#ifndef QDXPOLL_TIMES_H
#define QDXPOLL_TIMES_H

#include <chrono>
#include <string>

using WallClock = std::chrono::system_clock;

std::string IsoTime(WallClock::time_point t);    // 2026-12-08T14:05:01.123Z
std::string LocalTime(WallClock::time_point t);  // 2026-12-08 14:05:01.123
std::string ClockTime(WallClock::time_point t);  // 14:05:01.123
// Milliseconds with one decimal, e.g. "12.3".
std::string Millis(double ms);

#endif  // QDXPOLL_TIMES_H
