#include "times.h"

#include <ctime>

#include <fmt/chrono.h>
#include <fmt/format.h>

namespace {

// The whole seconds of t and its milliseconds (0..999, also before 1970).
std::time_t Seconds(WallClock::time_point t, int* ms) {
    const auto since = std::chrono::floor<std::chrono::milliseconds>(t).time_since_epoch();
    const auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    *ms = static_cast<int>((since - seconds).count());
    return static_cast<std::time_t>(seconds.count());
}

}  // namespace

std::string IsoTime(WallClock::time_point t) {
    int ms = 0;
    return fmt::format("{:%Y-%m-%dT%H:%M:%S}.{:03d}Z", fmt::gmtime(Seconds(t, &ms)), ms);
}

std::string LocalTime(WallClock::time_point t) {
    int ms = 0;
    return fmt::format("{:%Y-%m-%d %H:%M:%S}.{:03d}", fmt::localtime(Seconds(t, &ms)), ms);
}

std::string ClockTime(WallClock::time_point t) {
    int ms = 0;
    return fmt::format("{:%H:%M:%S}.{:03d}", fmt::localtime(Seconds(t, &ms)), ms);
}

std::string Millis(double ms) { return fmt::format("{:.1f}", ms); }
