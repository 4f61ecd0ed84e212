// qdxbench's command line: how many rounds of what, and how long.
#ifndef QDXBENCH_BENCH_OPTIONS_H
#define QDXBENCH_BENCH_OPTIONS_H

#include <string>

namespace qdxbench {

struct Options {
    int rounds = 15;
    int round_ms = 300;  // per contender, in kSlicesPerRound slices
    int paced_rounds = 5;
    int paced_round_ms = 1500;
    int silent_reads = 5;
    int save_rounds = 3;
    int history_seconds = 60;
    int mqtt_rounds = 3;
    bool mqtt_only = false;
    int soak_minutes = 20;     // 0: no soak
    std::string soak_qdxpoll;  // "": the qdxpoll built beside qdxbench
    bool soak_only = false;
    bool verbose = false;
};

// The options given; --help prints them and exits 0, a bad one exits 2.
Options ParseOptions(int argc, char** argv);

}  // namespace qdxbench

#endif  // QDXBENCH_BENCH_OPTIONS_H
