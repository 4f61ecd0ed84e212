// qdxbench: what the module costs and how fast it drives a line, measured on
// pseudo-terminals against the controller simulator, side by side in one run
// with a bare poll()/read()/write() loop doing the same byte exchanges and
// with libmodbus RTU as a peer.
//
// The benchmark is the host: it loads the built module with dlopen and calls
// QdxMain with the host's records. Every counterpart (rexfsim, the libmodbus
// server) is a separate process, so that the CPU time of this process is the
// host's own cost.
//
// Every figure is the median of several rounds that alternate between the
// contenders, shown with its min and max. The output ends with one KEY=VALUE
// line per figure.
//
//   qdxbench [--rounds N] [--round-ms MS] [--paced-rounds N] [--paced-round-ms MS] [--verbose]
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#ifdef QDXBENCH_HAVE_MODBUS
#include <modbus.h>

#include <cerrno>
#endif

#include "bench_options.h"
#include "bench_support.h"
#include "figures.h"
#include "module_host.h"
#include "raw_line.h"
#include "rexf/wire.h"
#include "save_scan_bench.h"
#ifdef QDXBENCH_HAVE_HISTORY
#include "history_bench.h"
#endif
#ifdef QDXBENCH_HAVE_MQTT
#include "mqtt_bench.h"
#endif
#ifdef QDXBENCH_HAVE_SOAK
#include "soak_bench.h"
#endif

namespace qdxbench {
namespace {

constexpr int kPacedDelayMs = 2;        // controller response delay of the paced run
constexpr int kSilentTimeoutUnits = 10; // 100 ms
constexpr int kSlicesPerRound = 10;     // turns each contender takes in a round

using rexf::kAck;
using rexf::kEot;
using rexf::kEtx;
using rexf::kStx;

// ---------------------------------------------------------------------------
// Rounds and figures.

struct Round {
    long ops = 0;
    long failures = 0;
    double seconds = 0;
    double rate() const { return seconds > 0 ? ops / seconds : 0; }
};

// Runs op until round_ms have passed (at least one op); the time is taken
// after the last op ends.
Round RunRound(int round_ms, const std::function<bool()>& op) {
    Round r;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(round_ms);
    Clock::time_point now;
    do {
        if (op())
            ++r.ops;
        else
            ++r.failures;
        now = Clock::now();
    } while (now < end);
    r.seconds = Seconds(now - start);
    return r;
}

// Every figure of the report, in the order it prints them.
void AddFigures(Report* report) {
    Report& r = *report;
    auto at_least = [](double goal) { return [goal](double v) { return v >= goal; }; };
    auto at_most = [](double goal) { return [goal](double v) { return v <= goal; }; };
    r.Add("module_reads_per_s", "1/s", 1);
    r.Add("floor_reads_per_s", "1/s", 1);
    r.Add("ratio_floor_reads", "", 3, ">= 0.90", at_least(0.90));
    r.Add("module_writes_per_s", "1/s", 1);
    r.Add("floor_writes_per_s", "1/s", 1);
    r.Add("ratio_floor_writes", "", 3, ">= 0.90", at_least(0.90));
    r.Add("libmodbus_reads_per_s", "1/s", 1);
    r.Add("ratio_libmodbus", "", 3, ">= 1.2", at_least(1.2));
    // The most any driver can show against libmodbus here: the bare loop's
    // REX-F exchange over libmodbus's Modbus exchange.
    r.Add("ratio_floor_libmodbus", "", 3);
    r.Add("paced_reads_per_s", "1/s", 2);
    r.Add("line_efficiency", "", 3, ">= 0.97", at_least(0.97));
    r.Add("cpu_us_per_read", "us", 2);
    r.Add("floor_cpu_us_per_read", "us", 2);
    r.Add("paced_cpu_us_per_read", "us", 2);
    r.Add("peak_rss_kb", "KiB", 0);
    const double silent_limit = 3 * kSilentTimeoutUnits * 10 + 10;
    r.Add("silent_read_ms", "ms", 1, "<= " + std::to_string(static_cast<int>(silent_limit)), at_most(silent_limit));
    r.Add("save_line_limit_s", "s", 2);
    r.Add("save_driver_s", "s", 2);
    r.Add("save_qdxpoll_s", "s", 2);
    r.Add("save_qdxpoll_t100_s", "s", 2);
    r.Add("save_data_link_limit_s", "s", 2);
    r.Add("save_data_link_s", "s", 2);
    // The history of qdxpoll log: 20 samples a second.
    r.Add("history_mb_per_hour", "MB", 2);
    r.Add("history_record_cpu_pct", "%", 3, "< 2", [](double v) { return v < 2.0; });
    r.Add("history_prune_p95_ms", "ms", 1, "<= 10", at_most(10));
    r.Add("history_prune_max_ms", "ms", 1);
    r.Add("history_prune_avg_ms", "ms", 1);
    r.Add("log_cpu_pct", "%", 2);
    r.Add("poll_cpu_pct", "%", 2);
    r.Add("log_over_poll_cpu_pct", "%", 2, "< 2", [](double v) { return v < 2.0; });
    r.Add("scan_100_qdxpoll_s", "s", 1, "<= 12", [](double v) { return v <= 12.0; });
    r.Add("mqtt_latency_ms", "ms", 1);
    r.Add("mqtt_latency_p99_ms", "ms", 1);
    r.Add("poll_cpu_percent_20_per_s", "%", 2);
    r.Add("mqtt_cpu_percent_20_per_s", "%", 2);
    r.Add("poll_unpaced_per_s", "1/s", 0);
    r.Add("mqtt_unpaced_msgs_per_s", "1/s", 0);
    r.Add("ratio_mqtt_poll", "", 3);
    // qdxpoll's resident memory once settled, over a long watch --db with faults.
    r.Add("rss_slope_kb_per_hour", "KiB/h", 1, "< 100", [](double v) { return v < 100.0; });
}

// One contender of an interleaved round: it takes the line (open) for each
// of its slices and gives it back (close) after, outside the timing.
struct Contender {
    std::function<void()> open, close;
    std::function<bool()> op;
    Round total;
    double cpu_us = 0;

    double CpuPerOp() const { return cpu_us / std::max(1L, total.ops); }
};

// A round runs its contenders in short slices that take turns (in
// alternating order), so that each meets the same load of the machine; a
// contender's round figure is over all of its slices. Returns the failures.
long InterleavedRound(const std::vector<Contender*>& contenders, int round_ms) {
    for (Contender* c : contenders) c->total = Round{}, c->cpu_us = 0;
    const int slice_ms = std::max(10, round_ms / kSlicesPerRound);
    for (int slice = 0; slice < kSlicesPerRound; ++slice) {
        for (size_t i = 0; i < contenders.size(); ++i) {
            Contender* c = contenders[slice % 2 == 0 ? i : contenders.size() - 1 - i];
            c->open();
            const double cpu0 = CpuMicros();
            const Round r = RunRound(slice_ms, c->op);
            c->cpu_us += CpuMicros() - cpu0;
            c->close();
            c->total.ops += r.ops;
            c->total.failures += r.failures;
            c->total.seconds += r.seconds;
        }
    }
    long failures = 0;
    for (Contender* c : contenders) failures += c->total.failures;
    return failures;
}

#ifdef QDXBENCH_HAVE_MODBUS
// libmodbus RTU reading one register from its own server on a pty.
class ModbusPeer {
public:
    ModbusPeer() {
        std::string error;
        if (!server_.Start({QDXBENCH_MODBUS_SERVER_PATH}, "qdxbench-modbus-server: listening on ", &error))
            Fail(error);
        mb_ = modbus_new_rtu(server_.announced().c_str(), 9600, 'N', 8, 1);
        if (mb_ == nullptr || modbus_set_slave(mb_, 1) != 0 || modbus_connect(mb_) != 0)
            Fail(std::string("libmodbus client: ") + modbus_strerror(errno));
    }
    ~ModbusPeer() {
        modbus_close(mb_);
        modbus_free(mb_);
        server_.Stop();
    }
    ModbusPeer(const ModbusPeer&) = delete;
    ModbusPeer& operator=(const ModbusPeer&) = delete;

    bool Read() { return modbus_read_registers(mb_, 0, 1, &register_) == 1; }

private:
    ChildProcess server_;
    modbus_t* mb_ = nullptr;
    uint16_t register_ = 0;
};
#endif

// The unpaced simulator's contenders: the module and the floor reading and
// writing the same points with the same bytes, and libmodbus reading.
class UnpacedContenders {
public:
    UnpacedContenders(Module* module, const std::string& path, int round_ms);
    UnpacedContenders(const UnpacedContenders&) = delete;
    UnpacedContenders& operator=(const UnpacedContenders&) = delete;

    // Every path once, untimed.
    void WarmUp();
    // One round of reads, then one of writes, in `round`'s order.
    void ReadRound(int round, bool verbose, Report* report);
    void WriteRound(int round, bool verbose, Report* report);

    long failures() const { return failures_; }

private:
    bool FloorRead();
    bool FloorWrite();

    Module* module_;
    int round_ms_;
    HostPort host_;
    RawLine raw_;
    // The floor's frames, the same bytes the module sends.
    const std::string poll_frame_ = rexf::PollFrame(1, 1, "M1");
    const std::string select_frame_ = rexf::SelectFrame(1, 1, "S1", "150.00");
#ifdef QDXBENCH_HAVE_MODBUS
    ModbusPeer modbus_;
    Contender modbus_reader_;
#endif
    Contender module_reader_, floor_reader_, module_writer_, floor_writer_;
    long failures_ = 0;
};

UnpacedContenders::UnpacedContenders(Module* module, const std::string& path, int round_ms)
    : module_(module), round_ms_(round_ms) {
    StartPort(module_, &host_, path, 100);
    ParsePoint(module_, &host_, "01K1M1", &host_.read_point, &host_.read_cell);
    ParsePoint(module_, &host_, "01K1S1", &host_.write_point, &host_.write_cell);
    const float written = 150.0f;
    std::memcpy(host_.write_cell.bytes, &written, sizeof written);
    ClosePort(module_, &host_);

    auto open_module = [this] { OpenPort(module_, &host_); };
    auto close_module = [this] { ClosePort(module_, &host_); };
    auto open_raw = [this, path] { raw_.Open(path); };
    auto close_raw = [this] { raw_.Close(); };
    module_reader_ = {open_module, close_module,
                      [this] { return module_->Call(kRequestReadValue, &host_.port, &host_.read_point) == kResultOk; },
                      Round{}, 0};
    floor_reader_ = {open_raw, close_raw, [this] { return FloorRead(); }, Round{}, 0};
    module_writer_ = {open_module, close_module,
                      [this] { return module_->Call(kRequestWriteValue, &host_.port, &host_.write_point) == kResultOk; },
                      Round{}, 0};
    floor_writer_ = {open_raw, close_raw, [this] { return FloorWrite(); }, Round{}, 0};
#ifdef QDXBENCH_HAVE_MODBUS
    modbus_reader_ = {[] {}, [] {}, [this] { return modbus_.Read(); }, Round{}, 0};
#endif
}

bool UnpacedContenders::FloorRead() {
    uint8_t reply[11];
    const uint8_t eot = kEot;
    if (!raw_.Write(poll_frame_)) return false;
    if (!raw_.ReadExact(reply, sizeof reply, 1000)) return false;
    const bool good = reply[0] == kStx && reply[9] == kEtx;
    raw_.Write(&eot, 1);
    return good;
}

bool UnpacedContenders::FloorWrite() {
    if (!raw_.Write(select_frame_)) return false;
    uint8_t answer = 0;
    return raw_.ReadExact(&answer, 1, 1000) && answer == kAck;
}

void UnpacedContenders::WarmUp() {
    std::vector<Contender*> all{&module_reader_, &floor_reader_, &module_writer_, &floor_writer_};
#ifdef QDXBENCH_HAVE_MODBUS
    all.push_back(&modbus_reader_);
#endif
    InterleavedRound(all, round_ms_);
}

void UnpacedContenders::ReadRound(int round, bool verbose, Report* report) {
    Report& r = *report;
    std::vector<Contender*> readers{&module_reader_, &floor_reader_};
#ifdef QDXBENCH_HAVE_MODBUS
    readers.push_back(&modbus_reader_);
#endif
    if (round % 2 != 0) std::reverse(readers.begin(), readers.end());
    failures_ += InterleavedRound(readers, round_ms_);
    const double m = module_reader_.total.rate();
    const double floor = floor_reader_.total.rate();
    r["module_reads_per_s"].samples.push_back(m);
    r["floor_reads_per_s"].samples.push_back(floor);
    r["ratio_floor_reads"].samples.push_back(m / floor);
    r["cpu_us_per_read"].samples.push_back(module_reader_.CpuPerOp());
    r["floor_cpu_us_per_read"].samples.push_back(floor_reader_.CpuPerOp());
#ifdef QDXBENCH_HAVE_MODBUS
    const double modbus = modbus_reader_.total.rate();
    r["libmodbus_reads_per_s"].samples.push_back(modbus);
    r["ratio_libmodbus"].samples.push_back(m / modbus);
    r["ratio_floor_libmodbus"].samples.push_back(floor / modbus);
#endif
    if (!verbose) return;
    std::fprintf(stderr, "  reads/s module %.0f floor %.0f", m, floor);
#ifdef QDXBENCH_HAVE_MODBUS
    std::fprintf(stderr, " libmodbus %.0f", modbus);
#endif
    std::fprintf(stderr, "; cpu us/read module %.2f floor %.2f\n", module_reader_.CpuPerOp(),
                 floor_reader_.CpuPerOp());
}

void UnpacedContenders::WriteRound(int round, bool verbose, Report* report) {
    Report& r = *report;
    std::vector<Contender*> writers{&module_writer_, &floor_writer_};
    if (round % 2 != 0) std::reverse(writers.begin(), writers.end());
    failures_ += InterleavedRound(writers, round_ms_);
    r["module_writes_per_s"].samples.push_back(module_writer_.total.rate());
    r["floor_writes_per_s"].samples.push_back(floor_writer_.total.rate());
    r["ratio_floor_writes"].samples.push_back(module_writer_.total.rate() / floor_writer_.total.rate());
    if (verbose)
        std::fprintf(stderr, "  writes/s module %.0f floor %.0f\n", module_writer_.total.rate(),
                     floor_writer_.total.rate());
}

// What the whole run counts beside its figures.
struct RunTotals {
    long failures = 0;          // failed operations in the timed rounds
    int module_log_lines = 0;   // the module's log lines during the unpaced rounds
    std::string sim_stats;      // the unpaced simulator's own count
};

// A read of a unit nobody answers for: three reply timeouts.
void MeasureSilentReads(Module* module, const std::string& path, const Options& opt, Report* report,
                        std::vector<std::string>* notes) {
    std::fprintf(stderr, "qdxbench: silent reads\n");
    HostPort silent;
    StartPort(module, &silent, path, kSilentTimeoutUnits);
    ParsePoint(module, &silent, "99K1M1", &silent.read_point, &silent.read_cell);
    for (int i = 0; i < opt.silent_reads; ++i) {
        const auto t0 = Clock::now();
        const int32_t result = module->Call(kRequestReadValue, &silent.port, &silent.read_point);
        const double ms = Seconds(Clock::now() - t0) * 1e3;
        if (result != kResultFailed) notes->push_back("warning: a silent read did not fail");
        (*report)["silent_read_ms"].samples.push_back(ms);
    }
    ClosePort(module, &silent);
}

// The unpaced simulator: the module, the floor and libmodbus in rounds,
// then the silent reads.
void MeasureUnpaced(Module* module, const Options& opt, Report* report, std::vector<std::string>* notes,
                    RunTotals* totals) {
    ChildProcess sim;
    const std::string path = StartSimulator(&sim, {});
    std::fprintf(stderr, "qdxbench: rexfsim on %s\n", path.c_str());
    {
        UnpacedContenders contenders(module, path, opt.round_ms);
        std::fprintf(stderr, "qdxbench: warming up\n");
        contenders.WarmUp();
        const long warm_up_failures = contenders.failures();
        const int module_log_before = module->log().lines;
        for (int round = 0; round < opt.rounds; ++round) {
            std::fprintf(stderr, "qdxbench: round %d of %d\n", round + 1, opt.rounds);
            contenders.ReadRound(round, opt.verbose, report);
            contenders.WriteRound(round, opt.verbose, report);
        }
        totals->module_log_lines = module->log().lines - module_log_before;
        totals->failures += contenders.failures() - warm_up_failures;
        MeasureSilentReads(module, path, opt, report, notes);
        totals->sim_stats = sim.Command("stats");
        sim.Stop();
    }
#ifndef QDXBENCH_HAVE_MODBUS
    notes->push_back("libmodbus was not found at build time: its figures are not measured");
#endif
}

// The paced simulator: a real line's speed and a controller's delay.
void MeasurePaced(Module* module, const Options& opt, Report* report, RunTotals* totals) {
    std::fprintf(stderr, "qdxbench: paced rounds\n");
    ChildProcess paced_sim;
    const std::string paced_path =
        StartSimulator(&paced_sim, {"--pace", "9600", "--response-delay", std::to_string(kPacedDelayMs)});
    const double line_max = 1.0 / (kReadChars * kCharSeconds + kPacedDelayMs / 1000.0);
    HostPort paced;
    StartPort(module, &paced, paced_path, 100);
    ParsePoint(module, &paced, "01K1M1", &paced.read_point, &paced.read_cell);
    auto paced_read = [&] { return module->Call(kRequestReadValue, &paced.port, &paced.read_point) == kResultOk; };
    RunRound(opt.paced_round_ms / 3, paced_read);  // warm-up
    for (int round = 0; round < opt.paced_rounds; ++round) {
        const double cpu0 = CpuMicros();
        const Round r = RunRound(opt.paced_round_ms, paced_read);
        const double cpu1 = CpuMicros();
        totals->failures += r.failures;
        (*report)["paced_reads_per_s"].samples.push_back(r.rate());
        (*report)["line_efficiency"].samples.push_back(r.rate() / line_max);
        (*report)["paced_cpu_us_per_read"].samples.push_back((cpu1 - cpu0) / std::max(1L, r.ops));
    }
    ClosePort(module, &paced);
    paced_sim.Stop();
}

// qdxpoll mqtt, where qdxpoll is built with it.
void MeasureMqttIfBuilt(const Options& opt, Report* report, std::vector<std::string>* notes) {
#ifdef QDXBENCH_HAVE_MQTT
    if (opt.mqtt_rounds > 0) MeasureMqtt(opt, report, notes);
#else
    (void)opt;
    (void)report;
    notes->push_back("qdxpoll is built without mqtt: its figures are not measured");
#endif
}

// The history of qdxpoll log, where qdxpoll is built with it.
void MeasureHistoryIfBuilt(const Options& opt, Report* report, std::vector<std::string>* notes) {
#ifdef QDXBENCH_HAVE_HISTORY
    std::fprintf(stderr, "qdxbench: the history (an hour of samples, then log and poll for %d s each)\n",
                 opt.history_seconds);
    ChildProcess history_sim;
    const std::string history_path = StartSimulator(&history_sim, {});
    const HistoryFigures h = MeasureHistory(QDX_QDXPOLL_PATH, history_path, opt.history_seconds, opt.verbose);
    history_sim.Stop();
    Report& r = *report;
    if (h.bytes_per_hour > 0) {
        r["history_mb_per_hour"].samples.push_back(h.bytes_per_hour / 1e6);
        r["history_record_cpu_pct"].samples.push_back(h.record_cpu_pct);
        r["history_prune_p95_ms"].samples.push_back(h.prune_p95_ms);
        r["history_prune_max_ms"].samples.push_back(h.prune_max_ms);
        r["history_prune_avg_ms"].samples.push_back(h.prune_avg_ms);
    }
    if (h.log_cpu_pct > 0 && h.poll_cpu_pct > 0) {
        r["log_cpu_pct"].samples.push_back(h.log_cpu_pct);
        r["poll_cpu_pct"].samples.push_back(h.poll_cpu_pct);
        r["log_over_poll_cpu_pct"].samples.push_back(h.log_cpu_pct - h.poll_cpu_pct);
    }
    notes->insert(notes->end(), h.notes.begin(), h.notes.end());
    notes->push_back(
        "History: an hour of 20 points a second (72,000 samples, a commit a second) recorded by the store\n"
        "  alone (the file's growth, its CPU over the hour's 3600 s, then retention down to half the size\n"
        "  in batches: the longest are those that meet SQLite's checkpoint of its write-ahead log, every\n"
        "  4 MB written, about once an hour of logging); then qdxpoll poll and log of the same 20 points,\n"
        "  a cycle a second (user+sys per wall second of each run; log_over_poll is the recording's share).");
#else
    (void)opt;
    (void)report;
    notes->push_back("the history (SQLite) is not built here: its figures are not measured");
#endif
}

// The soak of qdxpoll watch --db, where qdxpoll is built with the history.
void MeasureSoakIfBuilt(const Options& opt, Report* report, std::vector<std::string>* notes) {
#ifdef QDXBENCH_HAVE_SOAK
    if (opt.soak_minutes == 0) return;
    std::fprintf(stderr, "qdxbench: soak of qdxpoll watch --db, %d min\n", opt.soak_minutes);
    const SoakFigures f =
        MeasureSoak(opt.soak_qdxpoll.empty() ? QDX_QDXPOLL_PATH : opt.soak_qdxpoll, opt.soak_minutes, opt.verbose);
    if (f.measured) (*report)["rss_slope_kb_per_hour"].samples.push_back(f.slope_kb_per_hour);
    notes->insert(notes->end(), f.notes.begin(), f.notes.end());
#else
    (void)opt;
    (void)report;
    notes->push_back("qdxpoll is built without the history: the soak is not run");
#endif
}

// The line's limits and the rounds first, the failures and the module's
// log last.
void AddRunNotes(const Options& opt, const Module& module, const RunTotals& totals,
                 std::vector<std::string>* notes) {
    const double line_max = 1.0 / (kReadChars * kCharSeconds + kPacedDelayMs / 1000.0);
    char line[256];
    std::snprintf(line, sizeof line,
                  "Line limits at 9600 baud, 7 data bits, parity, 2 stop bits (11 bits a character):\n"
                  "  %.1f reads/s (%d characters), %.1f writes/s (%d characters); with a %d ms\n"
                  "  response delay %.2f reads/s, the line_efficiency reference.",
                  1.0 / (kReadChars * kCharSeconds), kReadChars, 1.0 / (kWriteChars * kCharSeconds),
                  kWriteChars, kPacedDelayMs, line_max);
    notes->insert(notes->begin(), line);
    std::snprintf(line, sizeof line,
                  "Unpaced: %d rounds of %d ms a contender, in %d slices that take turns; paced: %d rounds of %d ms.",
                  opt.rounds, opt.round_ms, kSlicesPerRound, opt.paced_rounds, opt.paced_round_ms);
    notes->insert(notes->begin() + 1, line);
    std::snprintf(line, sizeof line, "Failed operations in the timed rounds: %ld; module log lines: %d.",
                  totals.failures, totals.module_log_lines);
    notes->push_back(line);
    if (!totals.sim_stats.empty()) notes->push_back("rexfsim (unpaced) " + totals.sim_stats);
    if (totals.module_log_lines > 0) notes->push_back("last module log line: " + module.log().last);
}

int Main(int argc, char** argv) {
    const Options opt = ParseOptions(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Report report;
    AddFigures(&report);
    std::vector<std::string> notes;
#ifdef QDXBENCH_HAVE_MQTT
    if (opt.mqtt_only) {
        MeasureMqtt(opt, &report, &notes);
        report.Print("qdxbench: qdxpoll mqtt (median of rounds, min and max)", notes);
        return 0;
    }
#endif
    if (opt.soak_only) {
        MeasureSoakIfBuilt(opt, &report, &notes);
        report.Print("qdxbench: qdxpoll's memory over a soak", notes);
        return 0;
    }
    Module module;
    module.Load(QDX_MODULE_PATH);
    RunTotals totals;
    MeasureUnpaced(&module, opt, &report, &notes, &totals);
    MeasurePaced(&module, opt, &report, &totals);
    MeasureSave(&module, opt, &report, &notes);
    MeasureScan(opt, &report, &notes);
    MeasureMqttIfBuilt(opt, &report, &notes);
    MeasureHistoryIfBuilt(opt, &report, &notes);
    MeasureSoakIfBuilt(opt, &report, &notes);

    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    report["peak_rss_kb"].samples.push_back(static_cast<double>(ru.ru_maxrss));
    AddRunNotes(opt, module, totals, &notes);
    report.Print("qdxbench: QDXTLMV on pseudo-terminals (median of rounds, min and max)", notes);
    return 0;
}

}  // namespace
}  // namespace qdxbench

int main(int argc, char** argv) { return qdxbench::Main(argc, argv); }
