// A long run of qdxpoll watch --db against a simulator whose furnace runs
// 60 times faster than real time, with faults turned on and off and a unit
// taken off the line now and then: how qdxpoll's resident memory moves once
// it has settled. Memory that keeps growing under a steady load is a
// container that only grows; a month of polling must not fill the machine.
#ifndef QDXBENCH_SOAK_BENCH_H
#define QDXBENCH_SOAK_BENCH_H

#include <string>
#include <vector>

namespace qdxbench {

// The soak's settling time: the slope is taken over the samples after it.
inline constexpr int kSoakSettleMinutes = 5;

struct SoakFigures {
    double slope_kb_per_hour = 0;  // least squares over the samples after the settling time
    long rss_first_kb = 0, rss_settled_kb = 0, rss_last_kb = 0, rss_peak_kb = 0;
    long cycles_seen = 0;          // samples the history holds at the end
    bool measured = false;
    std::vector<std::string> notes;
};

// Least squares slope of (seconds, kB) pairs, in kB an hour; 0 with fewer
// than two pairs.
double SlopeKbPerHour(const std::vector<double>& seconds, const std::vector<double>& kb);

// Runs `qdxpoll` for `minutes` against a simulator of its own.
SoakFigures MeasureSoak(const std::string& qdxpoll, int minutes, bool verbose);

}  // namespace qdxbench

#endif  // QDXBENCH_SOAK_BENCH_H
