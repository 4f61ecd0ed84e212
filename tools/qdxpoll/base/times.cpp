#include "base/times.h"

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

int64_t MsSinceEpoch(WallClock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

namespace {

// Reads exactly `digits` digits at *at.
bool Digits(const std::string& s, size_t* at, int digits, int* value) {
    if (*at + static_cast<size_t>(digits) > s.size()) return false;
    int v = 0;
    for (int i = 0; i < digits; ++i) {
        const char c = s[*at + static_cast<size_t>(i)];
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *at += static_cast<size_t>(digits);
    *value = v;
    return true;
}

bool Take(const std::string& s, size_t* at, char c) {
    if (*at < s.size() && s[*at] == c) {
        ++*at;
        return true;
    }
    return false;
}

// Days from 1970-01-01 to the civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

int DaysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// The local wall-clock time in ms since the epoch; empty where the clock
// never showed it (a day past the month's end, the hour skipped when summer
// time begins), which mktime would quietly move elsewhere.
std::optional<int64_t> LocalWallTime(int year, int month, int day, int hour, int minute, int second, int ms) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return std::nullopt;
    if (tm.tm_mday != day || tm.tm_hour != hour || tm.tm_min != minute) return std::nullopt;
    return int64_t{t} * 1000 + ms;
}

std::optional<int64_t> Relative(const std::string& s, WallClock::time_point now) {
    if (s == "now") return MsSinceEpoch(now);
    if (s.size() < 3 || s[0] != '-') return std::nullopt;
    int64_t n = 0;
    size_t i = 1;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        n = n * 10 + (s[i] - '0');
        if (n > 100000000) return std::nullopt;
    }
    if (i == 1 || i + 1 != s.size()) return std::nullopt;
    static const struct {
        char unit;
        int64_t ms;
    } kUnits[] = {{'s', 1000}, {'m', 60000}, {'h', 3600000}, {'d', 86400000}};
    for (const auto& u : kUnits)
        if (s[i] == u.unit) return MsSinceEpoch(now) - n * u.ms;
    return std::nullopt;
}

}  // namespace

std::optional<int64_t> ParseUserTime(const std::string& s, WallClock::time_point now) {
    if (auto r = Relative(s, now)) return r;
    size_t at = 0;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
    if (!Digits(s, &at, 4, &year) || !Take(s, &at, '-') || !Digits(s, &at, 2, &month) || !Take(s, &at, '-') ||
        !Digits(s, &at, 2, &day))
        return std::nullopt;
    if (Take(s, &at, 'T') || Take(s, &at, ' ')) {
        if (!Digits(s, &at, 2, &hour) || !Take(s, &at, ':') || !Digits(s, &at, 2, &minute)) return std::nullopt;
        if (Take(s, &at, ':')) {
            if (!Digits(s, &at, 2, &second)) return std::nullopt;
            if (Take(s, &at, '.') || Take(s, &at, ',')) {
                int scale = 100, digits = 0;
                for (; at < s.size() && s[at] >= '0' && s[at] <= '9'; ++at, ++digits, scale /= 10)
                    ms += (s[at] - '0') * scale;
                if (digits == 0) return std::nullopt;
            }
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 ||
        second > 60)
        return std::nullopt;
    const int64_t fields_ms =
        ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60000 + int64_t{second} * 1000 + ms;
    if (at == s.size()) return LocalWallTime(year, month, day, hour, minute, second, ms);
    if (Take(s, &at, 'Z') || Take(s, &at, 'z')) return at == s.size() ? std::optional<int64_t>(fields_ms) : std::nullopt;
    const bool plus = Take(s, &at, '+');
    if (!plus && !Take(s, &at, '-')) return std::nullopt;
    int oh = 0, om = 0;
    if (!Digits(s, &at, 2, &oh)) return std::nullopt;
    Take(s, &at, ':');
    if (!Digits(s, &at, 2, &om) || at != s.size() || oh > 23 || om > 59) return std::nullopt;
    const int64_t offset_ms = (int64_t{oh} * 60 + om) * 60000;
    return plus ? fields_ms - offset_ms : fields_ms + offset_ms;
}
