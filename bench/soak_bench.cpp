// qdxpoll's resident memory over a long watch --db with faults.
#include "soak_bench.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <thread>

#include "bench_support.h"
#include "support/mqtt_broker.h"

namespace qdxbench {
namespace {

// 10 points at 0.2 s over four units; unit 04 is the one taken off the line.
const char* const kPoints[] = {"01K1M1", "01K1S1", "01K1A1", "02K1M1", "02K1S1",
                               "02K1A1", "03K1M1", "03K1S1", "04K1M1", "04K1S1"};
const char* const kInterval = "0.2";
const char* const kMutedUnit = "4";
// Faults come and go in phases of this length: every other phase has three
// of them at a few percent each; in every ten phases the muted unit is off
// the line for two (60 s).
constexpr int kPhaseSeconds = 30;
constexpr int kSampleSeconds = 10;
const char* const kFaults[] = {"silence:0.02", "bad-bcc:0.02",       "no-stx:0.02", "no-etx:0.02",
                               "wrong-id:0.02", "garbage-answer:0.02", "nak:0.02",    "split:4:0.02",
                               "extra:0.02",    "delay:45:0.01"};

// VmRSS of a process in kB; -1 when it is gone.
long RssKb(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    long kb = -1;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> kb;
            break;
        }
        status.ignore(4096, '\n');
    }
    return kb;
}

// The faults of one phase: none in even phases, three others in odd ones,
// and the muted unit off the line in phases 4 and 5 of every ten.
void StartPhase(ChildProcess* sim, int phase, std::mt19937* rng) {
    sim->Command("fault clear");
    if (phase % 2 == 1) {
        const int kinds = static_cast<int>(sizeof kFaults / sizeof kFaults[0]);
        for (int i = 0; i < 3; ++i) sim->Command(std::string("fault ") + kFaults[(*rng)() % kinds]);
    }
    if (phase % 10 == 4) sim->Command(std::string("mute ") + kMutedUnit + " on");
    if (phase % 10 == 6) sim->Command(std::string("mute ") + kMutedUnit + " off");
}

void RemoveHistory(const std::string& dir) {
    for (const char* name : {"/soak.db", "/soak.db-wal", "/soak.db-shm"}) unlink((dir + name).c_str());
    rmdir(dir.c_str());
}

}  // namespace

double SlopeKbPerHour(const std::vector<double>& seconds, const std::vector<double>& kb) {
    const size_t n = std::min(seconds.size(), kb.size());
    if (n < 2) return 0;
    double mean_t = 0, mean_kb = 0;
    for (size_t i = 0; i < n; ++i) mean_t += seconds[i] / n, mean_kb += kb[i] / n;
    double cov = 0, var = 0;
    for (size_t i = 0; i < n; ++i) {
        cov += (seconds[i] - mean_t) * (kb[i] - mean_kb);
        var += (seconds[i] - mean_t) * (seconds[i] - mean_t);
    }
    return var > 0 ? cov / var * 3600.0 : 0;
}

SoakFigures MeasureSoak(const std::string& qdxpoll, int minutes, bool verbose) {
    SoakFigures f;
    char dir_template[] = "/tmp/qdxbench-soak-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) Fail("soak: no temporary folder");
    const std::string dir = dir_template;
    ChildProcess sim;
    // The furnace runs, 60 times faster than real time: values keep moving.
    const std::string path = StartSimulator(&sim, {"--speed", "60", "--units", "1-4", "--seed", "20261210"}, false);
    std::vector<std::string> args{qdxpoll, "--port", path, "watch"};
    args.insert(args.end(), std::begin(kPoints), std::end(kPoints));
    args.insert(args.end(), {"--interval", kInterval, "--db", dir + "/soak.db", "--keep-mb", "2"});
    support::Background tool;
    if (!tool.Start(args)) Fail("soak: qdxpoll did not start");

    std::mt19937 rng(20261210);
    std::vector<double> at_s, kb;
    // Measured from its first cycles on, not from the fork before its exec.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const auto start = Clock::now();
    const auto end = start + std::chrono::minutes(minutes);
    int phase = 0;
    for (int sample = 0;; ++sample) {
        const auto when = start + std::chrono::seconds(sample * kSampleSeconds);
        if (when > end) break;
        std::this_thread::sleep_until(when);
        const double s = Seconds(Clock::now() - start);
        if (static_cast<int>(s) / kPhaseSeconds != phase) StartPhase(&sim, phase = static_cast<int>(s) / kPhaseSeconds, &rng);
        const long rss = RssKb(tool.pid());
        if (rss < 0) {
            f.notes.push_back("soak: qdxpoll ended early: " + tool.err().substr(0, 400));
            break;
        }
        if (sample == 0) f.rss_first_kb = rss;
        f.rss_last_kb = rss;
        f.rss_peak_kb = std::max(f.rss_peak_kb, rss);
        if (s >= kSoakSettleMinutes * 60.0) {
            if (at_s.empty()) f.rss_settled_kb = rss;
            at_s.push_back(s);
            kb.push_back(static_cast<double>(rss));
        }
        if (verbose && sample % 6 == 0) std::fprintf(stderr, "  soak: %5.0f s, qdxpoll RSS %ld kB\n", s, rss);
    }
    tool.Signal(SIGINT);
    const int exit_code = tool.Wait(std::chrono::seconds(30));
    sim.Stop();
    RemoveHistory(dir);
    f.measured = at_s.size() >= 2;
    f.slope_kb_per_hour = SlopeKbPerHour(at_s, kb);
    char line[320];
    std::snprintf(line, sizeof line,
                  "Soak: qdxpoll watch --db of %zu points every %s s for %d min (the simulator's furnace at 60x,\n"
                  "  faults on every other %d s, unit %s off the line 60 s in every 5 min): RSS %ld kB at the start,\n"
                  "  %ld kB after %d min, %ld kB at the end (peak %ld kB); qdxpoll exited %d.",
                  sizeof kPoints / sizeof kPoints[0], kInterval, minutes, kPhaseSeconds, kMutedUnit, f.rss_first_kb,
                  f.rss_settled_kb, kSoakSettleMinutes, f.rss_last_kb, f.rss_peak_kb, exit_code);
    f.notes.push_back(line);
    return f;
}

}  // namespace qdxbench
