// The history of qdxpoll log: the store alone over an hour of samples, its
// retention, then qdxpoll log against poll.
#include "history_bench.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench_support.h"
#include "tools/qdxpoll/history/history_store.h"

namespace qdxbench {
namespace {

constexpr int64_t kStart = 1'765'000'000'000;  // the hour's first sample, ms since 1970
constexpr int kPoints = 20;  // 20 points, a cycle a second: 20 samples a second

double CpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

long long FileBytes(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
}

std::vector<std::string> Points() {
    static const char* const kIdentifiers[] = {"M1", "S1", "O1", "A1", "A2", "P1", "I1"};
    std::vector<std::string> points;
    for (int i = 0; static_cast<int>(points.size()) < kPoints; ++i)
        points.push_back("0" + std::to_string(1 + i / 7) + "K1" + kIdentifiers[i % 7]);
    return points;
}

// A run of qdxpoll to its end: user+sys over the wall time, %.
double ToolCpuPercent(const std::vector<std::string>& args) {
    const ProgramRun run = RunProgram(args);
    if (run.exit_code != 0) {
        std::fprintf(stderr, "qdxbench: %s %s exited %d\n", args[0].c_str(), args[4].c_str(), run.exit_code);
        return -1;
    }
    return 100.0 * run.cpu_seconds / run.seconds;
}

// An hour of samples as log records them: 20 a second, committed each
// second, in simulated time (the store takes the time it is given).
bool RecordHour(const std::string& db, const std::vector<std::string>& points, HistoryFigures* f) {
    std::string error;
    auto store = HistoryStore::Open(db, HistoryStore::kWrite, &error);
    if (store == nullptr) {
        f->notes.push_back("history: " + error);
        return false;
    }
    store->BeginRun("log (benchmark)", kStart, &error);
    const double cpu0 = CpuSeconds();
    for (int s = 0; s < 3600; ++s) {
        const int64_t now = kStart + int64_t{s} * 1000;
        for (int p = 0; p < kPoints; ++p) {
            HistorySample h;
            h.time_ms = now + p * 4;
            h.address = points[static_cast<size_t>(p)];
            const double v = 150.0 + (s % 600) / 10.0 + p;
            h.value = v;
            char raw[16];
            std::snprintf(raw, sizeof raw, "%06.1f", v);
            h.raw = raw;
            h.status = "ok";
            h.attempts = 1;
            h.latency_ms = 11.3 + p % 3;
            store->Add(h);
        }
        store->Tick(now + 900, &error);
    }
    store->EndRun(kStart + 3600 * 1000, &error);
    f->record_cpu_pct = 100.0 * (CpuSeconds() - cpu0) / 3600.0;
    if (!error.empty()) f->notes.push_back("history: " + error);
    return true;
}

// Retention of the hour's file down to half its size, batch by batch.
bool PruneHalf(const std::string& db, bool verbose, HistoryFigures* f) {
    std::string error;
    auto store = HistoryStore::Open(db, HistoryStore::kWrite, &error);
    if (store == nullptr) {
        f->notes.push_back("history: " + error);
        return false;
    }
    store->SetRetention(0, store->UsedBytes() / 2);
    double total = 0;
    std::vector<double> times;
    for (;;) {
        const auto t = Clock::now();
        const int64_t deleted = store->Prune(kStart + 3600 * 1000, &error);
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t).count();
        if (deleted <= 0) break;
        total += ms;
        times.push_back(ms);
    }
    std::sort(times.begin(), times.end());
    const int batches = static_cast<int>(times.size());
    f->prune_max_ms = times.empty() ? 0 : times.back();
    f->prune_avg_ms = batches > 0 ? total / batches : 0;
    if (!times.empty()) f->prune_p95_ms = times[times.size() * 95 / 100];
    if (verbose) {
        std::fprintf(stderr, "  history: %d retention batches, the longest:", batches);
        for (size_t i = times.size() > 5 ? times.size() - 5 : 0; i < times.size(); ++i)
            std::fprintf(stderr, " %.1f", times[i]);
        std::fprintf(stderr, " ms\n");
    }
    return true;
}

// The same points polled by poll and by log, a cycle a second.
void LogAgainstPoll(const std::string& qdxpoll, const std::string& port, int seconds, const std::string& dir,
                    const std::vector<std::string>& points, HistoryFigures* f) {
    std::vector<std::string> common{qdxpoll, "--quiet", "--port", port, "", "-i", "1", "-n",
                                    std::to_string(seconds)};
    common.insert(common.end(), points.begin(), points.end());
    std::vector<std::string> poll = common, log = common;
    poll[4] = "poll";
    log[4] = "log";
    log.insert(log.end(), {"--db", dir + "/log.db"});
    f->poll_cpu_pct = ToolCpuPercent(poll);
    f->log_cpu_pct = ToolCpuPercent(log);
}

void RemoveDirectory(const std::string& dir) {
    for (const char* name : {"/hour.db", "/hour.db-wal", "/hour.db-shm", "/log.db", "/log.db-wal", "/log.db-shm"})
        unlink((dir + name).c_str());
    rmdir(dir.c_str());
}

}  // namespace

HistoryFigures MeasureHistory(const std::string& qdxpoll, const std::string& port, int seconds, bool verbose) {
    HistoryFigures f;
    if (const char* why = HistoryUnavailable()) {
        f.notes.push_back(std::string("history: not measured: ") + why);
        return f;
    }
    char dir_template[] = "/tmp/qdxbench-history-XXXXXX";
    if (mkdtemp(dir_template) == nullptr) return f;
    const std::string dir = dir_template;
    const std::string db = dir + "/hour.db";
    const std::vector<std::string> points = Points();

    // The file of a new history, closed (and so without its write-ahead log).
    std::string error;
    HistoryStore::Open(db, HistoryStore::kWrite, &error);
    const long long empty = FileBytes(db);
    if (RecordHour(db, points, &f)) {
        // Closed, its log is checkpointed into the file: the file alone is the hour.
        f.bytes_per_hour = static_cast<double>(FileBytes(db) + FileBytes(db + "-wal") - empty);
        if (verbose) std::fprintf(stderr, "  history: a new file %lld bytes, after the hour %lld\n", empty, FileBytes(db));
        if (PruneHalf(db, verbose, &f) && seconds > 0 && !qdxpoll.empty())
            LogAgainstPoll(qdxpoll, port, seconds, dir, points, &f);
    }
    RemoveDirectory(dir);
    return f;
}

}  // namespace qdxbench
