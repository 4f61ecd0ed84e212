// What the history costs qdxpoll: the bytes an hour of samples takes, the
// CPU of recording them, a retention batch's time, and qdxpoll log against
// qdxpoll poll on the same points.
#ifndef QDXBENCH_HISTORY_BENCH_H
#define QDXBENCH_HISTORY_BENCH_H

#include <string>
#include <vector>

namespace qdxbench {

struct HistoryFigures {
    double bytes_per_hour = 0;     // the file's growth over an hour of 20 samples a second
    double record_cpu_pct = 0;     // CPU of recording them (store alone), % of a core
    double prune_max_ms = 0, prune_avg_ms = 0, prune_p95_ms = 0;  // one retention batch
    double log_cpu_pct = 0, poll_cpu_pct = 0;   // qdxpoll log and poll, user+sys per wall second
    std::vector<std::string> notes;
};

// `qdxpoll` and the simulator's `port` for the run of log and poll over
// `seconds` (0: leave that out).
HistoryFigures MeasureHistory(const std::string& qdxpoll, const std::string& port, int seconds, bool verbose);

}  // namespace qdxbench

#endif  // QDXBENCH_HISTORY_BENCH_H
