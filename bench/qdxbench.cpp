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
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <string>
#include <vector>

#ifdef QDXBENCH_HAVE_MODBUS
#include <modbus.h>
#endif

#include <sys/wait.h>

#include "host/records.h"
#include "rexf/line_timing.h"
#include "rexf/unit_model.h"
#include "rexf/wire.h"
#include "support/child_process.h"
#ifdef QDXBENCH_HAVE_HISTORY
#include "history_bench.h"
#endif
#include "support/mqtt_broker.h"

namespace qdxbench {
namespace {

using Clock = std::chrono::steady_clock;
using support::ChildProcess;

// The line the figures are held against: 9600 baud, 7 data bits, parity and
// 2 stop bits, 11 bits a character.
constexpr double kBaud = 9600.0;
constexpr double kBitsPerChar = 11.0;
constexpr double kCharSeconds = kBitsPerChar / kBaud;
constexpr int kReadChars = 8 + 11 + 1;  // poll, data reply, closing EOT
constexpr int kWriteChars = 16 + 1;     // select, answer
constexpr int kPacedDelayMs = 2;        // controller response delay of the paced run
constexpr int kSilentTimeoutUnits = 10; // 100 ms
constexpr int kSlicesPerRound = 10;     // turns each contender takes in a round

using rexf::kAck;
using rexf::kEtx;
using rexf::kEot;
using rexf::kStx;

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
    bool verbose = false;
};

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "qdxbench: %s\n", message.c_str());
    std::exit(2);
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuMicros() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return (ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 + ru.ru_utime.tv_usec + ru.ru_stime.tv_usec;
}

// ---------------------------------------------------------------------------
// The module, loaded like a host loads it.

typedef int32_t (*EntryFn)(RequestBlock*);
typedef void (*SinkFn)(void*, int, const char*);
typedef void (*SetSinkFn)(SinkFn, void*);

struct LogCount {
    int lines = 0;
    std::string last;
};

void CountLine(void* context, int, const char* line) {
    LogCount* log = static_cast<LogCount*>(context);
    ++log->lines;
    log->last = line;
}

class Module {
public:
    void Load(const char* path) {
        handle_ = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        if (handle_ == nullptr) Fail(std::string("cannot load the module: ") + dlerror());
        entry_ = reinterpret_cast<EntryFn>(dlsym(handle_, "QdxMain"));
        if (entry_ == nullptr) Fail("the module has no QdxMain");
        // The module's log lines are counted, not printed: a line during the
        // rounds means a damaged reply, which the report shows.
        SetSinkFn set_sink = reinterpret_cast<SetSinkFn>(dlsym(handle_, "TelvorSetSink"));
        if (set_sink != nullptr) set_sink(CountLine, &log_);
    }

    int32_t Call(uint32_t code, PortRecord* port, void* parameter) {
        RequestBlock request{};
        request.port = port;
        request.request_code = code;
        request.instance = 1;
        request.parameter = parameter;
        return entry_(&request);
    }

    const LogCount& log() const { return log_; }

private:
    void* handle_ = nullptr;
    EntryFn entry_ = nullptr;
    LogCount log_;
};

// One port of the host with one read point and one write point on it.
struct HostPort {
    PortRecord port{};
    ValueCell read_cell{};
    ValueCell write_cell{};
    PointRecord read_point{};
    PointRecord write_point{};
};

void StartPort(Module* module, HostPort* host, const std::string& path, int32_t timeout_units) {
    StartParams start{};
    std::memcpy(start.port_name, path.c_str(), path.size() + 1);
    start.enable = 1;
    start.reply_timeout = timeout_units;
    start.line = LineValues{9600, 7, 2, 1};
    if (module->Call(kRequestStart, &host->port, &start) != kResultOk)
        Fail("the module cannot start a port on " + path);
}

void ParsePoint(Module* module, HostPort* host, const char* address, PointRecord* point,
                ValueCell* cell) {
    char text[16];
    std::snprintf(text, sizeof text, "%s", address);
    PointAddressBlock block{};
    block.address_text = text;
    if (module->Call(kRequestParse, &host->port, &block) != kResultOk)
        Fail(std::string("the module refuses the address ") + address);
    *point = block.point;
    point->data_type = kTypeFloat;
    point->bit_number = kNoBit;
    point->value = cell;
}

void ClosePort(Module* module, HostPort* host) {
    if (module->Call(kRequestClose, &host->port, nullptr) != kResultOk) Fail("close failed");
}

void OpenPort(Module* module, HostPort* host) {
    if (module->Call(kRequestOpen, &host->port, nullptr) != kResultOk) Fail("open failed");
}

// ---------------------------------------------------------------------------
// The floor: the same byte exchanges through a bare non-blocking descriptor.

class RawLine {
public:
    ~RawLine() { Close(); }

    void Open(const std::string& path) {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) Fail("cannot open " + path + ": " + std::strerror(errno));
        termios t{};
        if (tcgetattr(fd_, &t) == 0) {
            cfmakeraw(&t);
            cfsetispeed(&t, B9600);
            cfsetospeed(&t, B9600);
            tcsetattr(fd_, TCSANOW, &t);
        }
        tcflush(fd_, TCIFLUSH);
    }

    void Close() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

    bool Write(const uint8_t* bytes, size_t count) {
        return write(fd_, bytes, count) == static_cast<ssize_t>(count);
    }
    bool Write(const std::string& bytes) {
        return Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    }

    bool ReadExact(uint8_t* buffer, size_t count, int timeout_ms) {
        size_t got = 0;
        while (got < count) {
            pollfd p{fd_, POLLIN, 0};
            const int r = poll(&p, 1, timeout_ms);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) return false;
            const ssize_t n = read(fd_, buffer + got, count - got);
            if (n > 0) {
                got += static_cast<size_t>(n);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                return false;
            }
        }
        return true;
    }

private:
    int fd_ = -1;
};

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

struct Figure {
    std::string key;
    std::string unit;
    std::string goal_text;  // "" when the figure has no goal
    std::function<bool(double)> goal;
    std::vector<double> samples;
    int decimals = 1;

    double median() const {
        std::vector<double> s(samples);
        std::sort(s.begin(), s.end());
        if (s.empty()) return NAN;
        const size_t n = s.size();
        return n % 2 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
    }
    double min() const { return samples.empty() ? NAN : *std::min_element(samples.begin(), samples.end()); }
    double max() const { return samples.empty() ? NAN : *std::max_element(samples.begin(), samples.end()); }
};

class Report {
public:
    Figure& Add(const std::string& key, const std::string& unit, int decimals,
                const std::string& goal_text = "", std::function<bool(double)> goal = nullptr) {
        order_.push_back(key);
        Figure& f = figures_[key];
        f.key = key;
        f.unit = unit;
        f.decimals = decimals;
        f.goal_text = goal_text;
        f.goal = std::move(goal);
        return f;
    }
    Figure& operator[](const std::string& key) { return figures_.at(key); }
    bool Has(const std::string& key) const { return figures_.count(key) != 0; }

    void Print(const std::string& title, const std::vector<std::string>& notes) const {
        std::printf("\n%s\n\n", title.c_str());
        std::printf("%-26s %12s %12s %12s  %-8s %-10s %s\n", "figure", "median", "min", "max", "unit",
                    "goal", "");
        std::printf("%s\n", std::string(96, '-').c_str());
        for (const std::string& key : order_) {
            const Figure& f = figures_.at(key);
            if (f.samples.empty()) {
                std::printf("%-26s %12s %12s %12s  %-8s %-10s %s\n", key.c_str(), "n/a", "", "",
                            f.unit.c_str(), f.goal_text.c_str(), "not measured");
                continue;
            }
            const char* verdict = !f.goal ? "" : (f.goal(f.median()) ? "met" : "MISSED");
            std::printf("%-26s %12.*f %12.*f %12.*f  %-8s %-10s %s\n", key.c_str(), f.decimals, f.median(),
                        f.decimals, f.min(), f.decimals, f.max(), f.unit.c_str(), f.goal_text.c_str(),
                        verdict);
        }
        std::printf("\n");
        for (const std::string& note : notes) std::printf("%s\n", note.c_str());
        std::printf("\n");
        for (const std::string& key : order_) {
            const Figure& f = figures_.at(key);
            if (f.samples.empty())
                std::printf("%s=nan\n", key.c_str());
            else
                std::printf("%s=%.*f\n", key.c_str(), std::max(f.decimals, 1) + 2, f.median());
        }
    }

private:
    std::vector<std::string> order_;
    std::map<std::string, Figure> figures_;
};

// ---------------------------------------------------------------------------

std::string StartSimulator(ChildProcess* sim, const std::vector<std::string>& extra) {
    std::vector<std::string> argv{QDX_REXFSIM_PATH, "--no-drift"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::string error;
    if (!sim->Start(argv, "rexfsim: listening on ", &error)) Fail(error);
    std::string path = sim->announced();
    if (path.size() > kPortNameMax) {
        // A port name holds 11 characters: reach a long pty path by a link.
        const std::string link = "/tmp/qb" + std::to_string(getpid() % 10000);
        argv.push_back("--link");
        argv.push_back(link);
        if (!sim->Start(argv, "rexfsim: listening on ", &error)) Fail(error);
        path = link;
    }
    return path;
}

// ---------------------------------------------------------------------------
// Saving a whole unit (qdxpoll save): every identifier of unit 01 of the
// default table (77 answer, the current transformer inputs M2 and M3 of the
// option it lacks answer EOT) on a line paced at 9600 baud whose units wait
// the factory interval time of 10 ms before every answer.

// Runs a program with its output thrown away; its exit code, and the time.
int RunProgram(const std::vector<std::string>& args, double* seconds) {
    std::vector<std::string> store(args);
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR);
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    *seconds = Seconds(Clock::now() - start);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The unit's data link without the driver: a poll of the first identifier,
// then ACK after each reply brings the next one, until the unit's EOT. The
// identifiers must come in the unit model's order; returns how many came,
// or -1 on any surprise.
int ReadUnitOverDataLink(RawLine* raw, const std::vector<std::string>& order) {
    if (!raw->Write(rexf::PollFrame(1, 1, order[0]))) return -1;
    size_t next = 0;  // where in the model's order the unit may go on
    int replies = 0;
    const uint8_t ack = kAck, eot = kEot;
    for (;;) {
        uint8_t reply[11];
        if (!raw->ReadExact(reply, 1, 1000)) return -1;
        if (reply[0] == kEot) break;
        if (reply[0] != kStx || !raw->ReadExact(reply + 1, 10, 1000) || reply[9] != kEtx ||
            rexf::BlockCheck(std::vector<uint8_t>(reply, reply + 11), 1, 9) != reply[10])
            return -1;
        const std::string ident(reinterpret_cast<const char*>(reply + 1), 2);
        while (next < order.size() && order[next] != ident) ++next;
        if (next == order.size()) return -1;  // out of the model's order
        ++next;
        ++replies;
        if (!raw->Write(&ack, 1)) return -1;
    }
    raw->Write(&eot, 1);
    return replies;
}

void MeasureSave(Module* module, const Options& opt, Report* report, std::vector<std::string>* notes) {
    std::fprintf(stderr, "qdxbench: saving a whole unit at the factory interval time\n");
    size_t count = 0;
    const rexf::IdentifierModel* models = rexf::IdentifierModels(&count);
    std::vector<std::string> order;
    for (size_t i = 0; i < count; ++i) order.push_back(models[i].ident);

    ChildProcess sim;
    const std::string path = StartSimulator(&sim, {"--realistic"});
    // The reply timeout every unit at the factory interval time meets (scan's).
    const int timeout_ms = rexf::SafeReplyTimeoutMs(rexf::kFactoryIntervalTimeMs, 9600, 7, true, 2);
    HostPort host;
    std::vector<PointRecord> points(count);
    std::vector<ValueCell> cells(count);
    int good = 0, link_replies = 0;
    RawLine raw;
    for (int round = 0; round < opt.save_rounds; ++round) {
        // A start request each round: an open request (13) would leave the
        // port at the 1000 ms reply timeout of a new handle.
        StartPort(module, &host, path, timeout_ms / 10);
        if (round == 0)
            for (size_t i = 0; i < count; ++i)
                ParsePoint(module, &host, ("01K1" + order[i]).c_str(), &points[i], &cells[i]);
        const auto start = Clock::now();
        good = 0;
        for (PointRecord& p : points) good += module->Call(kRequestReadValue, &host.port, &p) == kResultOk;
        report->operator[]("save_driver_s").samples.push_back(Seconds(Clock::now() - start));
        ClosePort(module, &host);

        raw.Open(path);
        const auto link_start = Clock::now();
        link_replies = ReadUnitOverDataLink(&raw, order);
        if (link_replies > 0) report->operator[]("save_data_link_s").samples.push_back(Seconds(Clock::now() - link_start));
        raw.Close();

#ifdef QDX_QDXPOLL_PATH
        for (const char* timeout : {"", "100"}) {
            std::vector<std::string> args{QDX_QDXPOLL_PATH, "--quiet", "--port", path, "save", "01"};
            if (*timeout) args.insert(args.begin() + 1, {"--timeout", timeout});
            double seconds = 0;
            const int code = RunProgram(args, &seconds);
            if (code != 0) notes->push_back("warning: qdxpoll save exited " + std::to_string(code));
            report->operator[](*timeout ? "save_qdxpoll_t100_s" : "save_qdxpoll_s").samples.push_back(seconds);
        }
#endif
        if (opt.verbose)
            std::fprintf(stderr, "  save: driver %.2f s (%d of %zu good), data link %d replies\n",
                         report->operator[]("save_driver_s").samples.back(), good, count, link_replies);
    }
    sim.Stop();

    // What the line itself allows: each answered identifier a poll, its
    // reply and the closing EOT (20 characters) after the interval time; an
    // identifier the unit lacks a poll and its EOT (9). Over the data link:
    // one poll, then an ACK and a reply (12) for each identifier after the
    // first, and the closing EOT.
    const double ch = kCharSeconds, wait = rexf::kFactoryIntervalTimeMs / 1000.0;
    const int absent = static_cast<int>(count) - good;
    const double single = good * (kReadChars * ch + wait) + absent * (9 * ch + wait);
    const double link = (8 + 11) * ch + wait + (good - 1) * (12 * ch + wait) + ch;
    report->operator[]("save_line_limit_s").samples.push_back(single);
    report->operator[]("save_data_link_limit_s").samples.push_back(link);
    char line[512];
    std::snprintf(line, sizeof line,
                  "Saving a whole unit (unit 01: %zu identifiers, %d answered, %d answered EOT) at 9600 baud with\n"
                  "  the factory interval time of 10 ms: the line allows %.2f s with one poll an identifier and\n"
                  "  %.2f s over the data link (%d replies came in the model's order); the driver retries an\n"
                  "  EOT three times at the %d ms reply timeout, qdxpoll (340 ms by default) then listens for a\n"
                  "  late answer.",
                  count, good, absent, single, link, link_replies, timeout_ms);
    notes->push_back(line);
}

// Scanning a line (qdxpoll scan M1): 100 addresses, units 01-03 of the
// default table at the factory interval time on a line paced at 9600 baud.
void MeasureScan(const Options& opt, Report* report, std::vector<std::string>* notes) {
#ifdef QDX_QDXPOLL_PATH
    std::fprintf(stderr, "qdxbench: scanning 100 addresses at the factory interval time\n");
    ChildProcess sim;
    const std::string path = StartSimulator(&sim, {"--realistic"});
    for (int round = 0; round < opt.save_rounds; ++round) {
        double seconds = 0;
        const int code = RunProgram({QDX_QDXPOLL_PATH, "--quiet", "--port", path, "scan", "M1"}, &seconds);
        if (code != 0) notes->push_back("warning: qdxpoll scan exited " + std::to_string(code));
        report->operator[]("scan_100_qdxpoll_s").samples.push_back(seconds);
        if (opt.verbose) std::fprintf(stderr, "  scan: %.2f s\n", seconds);
    }
    sim.Stop();
    notes->push_back(
        "Scanning 100 addresses (units 01-03 answer) at 9600 baud and the factory interval time: one poll an\n"
        "  address at the 100 ms reply timeout, each hit confirmed through the driver; the goal is 12 s.");
#else
    (void)opt;
    (void)report;
    notes->push_back("qdxpoll was not built: the scan is not measured");
#endif
}

// ---------------------------------------------------------------------------
// qdxpoll mqtt through Debian's mosquitto on 127.0.0.1, with mosquitto_sub as
// the subscriber: the latency from a sample taken to the subscriber, the CPU
// of qdxpoll at 20 points a second (beside poll's), and the messages a second
// it sustains on an unpaced simulator (beside poll's bare rate).

#ifdef QDXBENCH_HAVE_MQTT
// Milliseconds since 1970 of an ISO 8601 time with ms (2026-12-09T06:14:00.876Z).
double IsoMillis(const std::string& text) {
    std::tm t{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &ms) != 7)
        return NAN;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<double>(timegm(&t)) * 1e3 + ms;
}

// Lines of the subscriber's output that carry a sample.
std::vector<std::string> SampleLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.find("\"cycle\"") != std::string::npos) lines.push_back(line);
    }
    return lines;
}

void MeasureMqtt(const Options& opt, Report* report, std::vector<std::string>* notes) {
    if (!support::MqttBroker::Available()) {
        notes->push_back("mosquitto and its clients are not installed: the MQTT figures are not measured");
        return;
    }
    std::fprintf(stderr, "qdxbench: qdxpoll mqtt through mosquitto\n");
    support::MqttBroker broker;
    std::string error;
    if (!broker.Start(false, &error)) Fail("mosquitto: " + error);
    ChildProcess sim;
    const std::string path = StartSimulator(&sim, {});
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(broker.port());
    std::vector<std::string> twenty;
    for (const char* unit : {"01", "02", "03"})
        for (const char* id : {"M1", "S1", "O1", "O2", "MS", "A1", "A2"})
            if (twenty.size() < 20) twenty.push_back(std::string(unit) + "K1" + id);

    auto subscribe = [&](support::Background* sub, const std::vector<std::string>& extra) {
        std::vector<std::string> args = broker.SubscribeArgs("qdxtlmv/line1/+/+/+", extra);
        args.insert(args.end(), {"-t", "qdxbench/ready"});
        if (!sub->Start(args)) Fail("mosquitto_sub did not start");
        if (!support::WaitFor([&] { broker.Publish("qdxbench/ready", "1"); return sub->out(); },
                              [](const std::string& o) { return o.find("qdxbench/ready") != std::string::npos; },
                              std::chrono::seconds(10)))
            Fail("mosquitto_sub takes no messages");
    };
    auto qdxpoll = [&](const std::string& command, const std::vector<std::string>& points,
                       const std::vector<std::string>& extra) {
        std::vector<std::string> args{QDX_QDXPOLL_PATH, "--quiet", "--port", path, command};
        args.insert(args.end(), points.begin(), points.end());
        args.insert(args.end(), extra.begin(), extra.end());
        if (command == "mqtt") args.insert(args.end(), {"--broker", url});
        return args;
    };

    for (int round = 0; round < std::max(1, opt.mqtt_rounds); ++round) {
        // The latency: one point 20 times a second, each sample's time
        // against the subscriber's clock when it came.
        {
            support::Background sub, tool;
            subscribe(&sub, {"-F", "%U %t %p"});
            tool.Start(qdxpoll("mqtt", {"01K1M1"}, {"--interval", "0.05", "--count", "100"}));
            tool.Wait(std::chrono::seconds(60));
            support::WaitFor([&] { return sub.out(); },
                             [](const std::string& o) { return SampleLines(o).size() >= 100; }, std::chrono::seconds(10));
            std::vector<double> latencies;
            for (const std::string& line : SampleLines(sub.out())) {
                const size_t at = line.find("\"time\":\"");
                if (at == std::string::npos) continue;
                const double taken = IsoMillis(line.substr(at + 8, 24));
                const double came = std::atof(line.c_str()) * 1e3;
                if (!std::isnan(taken)) latencies.push_back(came - taken);
            }
            if (latencies.empty()) Fail("no sample reached the subscriber");
            std::sort(latencies.begin(), latencies.end());
            report->operator[]("mqtt_latency_ms").samples.push_back(latencies[latencies.size() / 2]);
            report->operator[]("mqtt_latency_p99_ms").samples.push_back(latencies[latencies.size() * 99 / 100]);
        }
        // The CPU at 20 points a second, and poll's on the same points.
        for (const char* command : {"poll", "mqtt"}) {
            support::Background tool;
            const auto start = Clock::now();
            tool.Start(qdxpoll(command, twenty, {"--interval", "1", "--count", "10"}));
            double cpu = 0;
            tool.Wait(std::chrono::seconds(60), &cpu);
            const double percent = 100.0 * cpu / Seconds(Clock::now() - start);
            report->operator[](std::string(command) == "mqtt" ? "mqtt_cpu_percent_20_per_s" : "poll_cpu_percent_20_per_s")
                .samples.push_back(percent);
        }
        // Unpaced: the messages a second that reach the subscriber against
        // poll's bare rate on the same 20 points.
        {
            const int cycles = 100;
            const double samples = 20.0 * cycles;
            support::Background poll_tool;
            auto start = Clock::now();
            poll_tool.Start(qdxpoll("poll", twenty, {"--interval", "0", "--count", std::to_string(cycles)}));
            poll_tool.Wait(std::chrono::seconds(60));
            const double poll_rate = samples / Seconds(Clock::now() - start);
            support::Background sub, tool;
            subscribe(&sub, {});
            start = Clock::now();
            tool.Start(qdxpoll("mqtt", twenty, {"--interval", "0", "--count", std::to_string(cycles)}));
            support::WaitFor([&] { return sub.out(); },
                             [&](const std::string& o) { return SampleLines(o).size() >= samples; },
                             std::chrono::seconds(60));
            const double mqtt_rate = static_cast<double>(SampleLines(sub.out()).size()) / Seconds(Clock::now() - start);
            tool.Wait(std::chrono::seconds(30));
            report->operator[]("poll_unpaced_per_s").samples.push_back(poll_rate);
            report->operator[]("mqtt_unpaced_msgs_per_s").samples.push_back(mqtt_rate);
            report->operator[]("ratio_mqtt_poll").samples.push_back(mqtt_rate / poll_rate);
        }
        if (opt.verbose)
            std::fprintf(stderr, "  mqtt: latency %.1f ms, cpu %.2f %%, %.0f msgs/s\n",
                         report->operator[]("mqtt_latency_ms").samples.back(),
                         report->operator[]("mqtt_cpu_percent_20_per_s").samples.back(),
                         report->operator[]("mqtt_unpaced_msgs_per_s").samples.back());
    }
    sim.Stop();
    notes->push_back("MQTT: qdxpoll mqtt to mosquitto on 127.0.0.1, mosquitto_sub subscribed; latency from the\n"
                     "  sample's time to its arrival at the subscriber (1 point, 20 a second); CPU of qdxpoll over\n"
                     "  10 cycles of 20 points a second, beside poll's; unpaced: 100 cycles of 20 points, the\n"
                     "  samples that reached the subscriber a second, beside poll's bare rate.");
}
#endif

Options ParseOptions(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto number = [&](int lo) {
            if (i + 1 >= argc) Fail(a + " needs a value");
            const int v = std::atoi(argv[++i]);
            if (v < lo) Fail("bad value for " + a);
            return v;
        };
        if (a == "--rounds")
            o.rounds = number(5);
        else if (a == "--round-ms")
            o.round_ms = number(50);
        else if (a == "--paced-rounds")
            o.paced_rounds = number(5);
        else if (a == "--paced-round-ms")
            o.paced_round_ms = number(200);
        else if (a == "--save-rounds")
            o.save_rounds = number(1);
        else if (a == "--history-seconds")
            o.history_seconds = number(0);
        else if (a == "--mqtt-rounds")
            o.mqtt_rounds = number(0);
        else if (a == "--mqtt-only")
            o.mqtt_only = true;
        else if (a == "--verbose" || a == "-v")
            o.verbose = true;
        else if (a == "--help" || a == "-h") {
            std::printf(
                "Usage: qdxbench [--rounds N] [--round-ms MS] [--paced-rounds N] [--paced-round-ms MS]\n"
                "                [--save-rounds N] [--history-seconds S] [--mqtt-rounds N] [--mqtt-only]\n"
                "                [--verbose]\n"
                "Measures the QDXTLMV module on pseudo-terminals against rexfsim, beside a raw\n"
                "poll/read/write loop and libmodbus RTU; prints a table, then KEY=VALUE lines.\n"
                "Rounds: at least 5 each (defaults 15 unpaced rounds of 300 ms, 5 paced of 1500 ms);\n"
                "saves of a whole unit: --save-rounds (default 3, about 12 s a round); the history:\n"
                "qdxpoll log and poll of 20 points for --history-seconds each (default 60, 0: none);\n"
                "qdxpoll mqtt: --mqtt-rounds (default 3, about 20 s a round; 0: none), --mqtt-only\n"
                "for those alone.\n"
                "--verbose prints each round's figures to stderr.\n");
            std::exit(0);
        } else {
            Fail("unknown option " + a + " (try --help)");
        }
    }
    return o;
}

int Main(int argc, char** argv) {
    const Options opt = ParseOptions(argc, argv);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Report report;
    auto at_least = [](double goal) { return [goal](double v) { return v >= goal; }; };
    auto at_most = [](double goal) { return [goal](double v) { return v <= goal; }; };
    report.Add("module_reads_per_s", "1/s", 1);
    report.Add("floor_reads_per_s", "1/s", 1);
    report.Add("ratio_floor_reads", "", 3, ">= 0.90", at_least(0.90));
    report.Add("module_writes_per_s", "1/s", 1);
    report.Add("floor_writes_per_s", "1/s", 1);
    report.Add("ratio_floor_writes", "", 3, ">= 0.90", at_least(0.90));
    report.Add("libmodbus_reads_per_s", "1/s", 1);
    report.Add("ratio_libmodbus", "", 3, ">= 1.2", at_least(1.2));
    // The most any driver can show against libmodbus here: the bare loop's
    // REX-F exchange over libmodbus's Modbus exchange.
    report.Add("ratio_floor_libmodbus", "", 3);
    report.Add("paced_reads_per_s", "1/s", 2);
    report.Add("line_efficiency", "", 3, ">= 0.97", at_least(0.97));
    report.Add("cpu_us_per_read", "us", 2);
    report.Add("floor_cpu_us_per_read", "us", 2);
    report.Add("paced_cpu_us_per_read", "us", 2);
    report.Add("peak_rss_kb", "KiB", 0);
    const double silent_limit = 3 * kSilentTimeoutUnits * 10 + 10;
    report.Add("silent_read_ms", "ms", 1, "<= " + std::to_string(static_cast<int>(silent_limit)),
               at_most(silent_limit));
    report.Add("save_line_limit_s", "s", 2);
    report.Add("save_driver_s", "s", 2);
    report.Add("save_qdxpoll_s", "s", 2);
    report.Add("save_qdxpoll_t100_s", "s", 2);
    report.Add("save_data_link_limit_s", "s", 2);
    report.Add("save_data_link_s", "s", 2);
    // The history of qdxpoll log: 20 samples a second.
    report.Add("history_mb_per_hour", "MB", 2);
    report.Add("history_record_cpu_pct", "%", 3, "< 2", [](double v) { return v < 2.0; });
    report.Add("history_prune_p95_ms", "ms", 1, "<= 10", at_most(10));
    report.Add("history_prune_max_ms", "ms", 1);
    report.Add("history_prune_avg_ms", "ms", 1);
    report.Add("log_cpu_pct", "%", 2);
    report.Add("poll_cpu_pct", "%", 2);
    report.Add("log_over_poll_cpu_pct", "%", 2, "< 2", [](double v) { return v < 2.0; });
    report.Add("scan_100_qdxpoll_s", "s", 1, "<= 12", [](double v) { return v <= 12.0; });
    report.Add("mqtt_latency_ms", "ms", 1);
    report.Add("mqtt_latency_p99_ms", "ms", 1);
    report.Add("poll_cpu_percent_20_per_s", "%", 2);
    report.Add("mqtt_cpu_percent_20_per_s", "%", 2);
    report.Add("poll_unpaced_per_s", "1/s", 0);
    report.Add("mqtt_unpaced_msgs_per_s", "1/s", 0);
    report.Add("ratio_mqtt_poll", "", 3);
#ifdef QDXBENCH_HAVE_MQTT
    if (opt.mqtt_only) {
        std::vector<std::string> notes;
        MeasureMqtt(opt, &report, &notes);
        report.Print("qdxbench: qdxpoll mqtt (median of rounds, min and max)", notes);
        return 0;
    }
#endif
    std::vector<std::string> notes;

    Module module;
    module.Load(QDX_MODULE_PATH);

    // --- Unpaced simulator: module, floor (and libmodbus on its own pty).
    ChildProcess sim;
    const std::string path = StartSimulator(&sim, {});
    std::fprintf(stderr, "qdxbench: rexfsim on %s\n", path.c_str());

    HostPort host;
    StartPort(&module, &host, path, 100);
    ParsePoint(&module, &host, "01K1M1", &host.read_point, &host.read_cell);
    ParsePoint(&module, &host, "01K1S1", &host.write_point, &host.write_cell);
    const float written = 150.0f;
    std::memcpy(host.write_cell.bytes, &written, sizeof written);
    ClosePort(&module, &host);

    // The floor's frames, the same bytes the module sends.
    const std::string poll_frame = rexf::PollFrame(1, 1, "M1");
    const std::string select_frame = rexf::SelectFrame(1, 1, "S1", "150.00");
    const uint8_t eot = kEot;
    RawLine raw;
    uint8_t reply[11];

    auto module_read = [&] { return module.Call(kRequestReadValue, &host.port, &host.read_point) == kResultOk; };
    auto module_write = [&] { return module.Call(kRequestWriteValue, &host.port, &host.write_point) == kResultOk; };
    auto floor_read = [&] {
        if (!raw.Write(poll_frame)) return false;
        if (!raw.ReadExact(reply, sizeof reply, 1000)) return false;
        const bool good = reply[0] == kStx && reply[9] == kEtx;
        raw.Write(&eot, 1);
        return good;
    };
    auto floor_write = [&] {
        if (!raw.Write(select_frame)) return false;
        uint8_t answer = 0;
        return raw.ReadExact(&answer, 1, 1000) && answer == kAck;
    };

#ifdef QDXBENCH_HAVE_MODBUS
    ChildProcess modbus_server;
    std::string error;
    if (!modbus_server.Start({QDXBENCH_MODBUS_SERVER_PATH}, "qdxbench-modbus-server: listening on ", &error))
        Fail(error);
    modbus_t* mb = modbus_new_rtu(modbus_server.announced().c_str(), 9600, 'N', 8, 1);
    if (mb == nullptr || modbus_set_slave(mb, 1) != 0 || modbus_connect(mb) != 0)
        Fail(std::string("libmodbus client: ") + modbus_strerror(errno));
    uint16_t mb_register = 0;
    auto modbus_read = [&] { return modbus_read_registers(mb, 0, 1, &mb_register) == 1; };
#endif

    // One contender of an interleaved round: it takes the line (open) for
    // each of its slices and gives it back (close) after, outside the timing.
    struct Contender {
        std::function<void()> open, close;
        std::function<bool()> op;
        Round total;
        double cpu_us = 0;
    };
    Contender module_reader{[&] { OpenPort(&module, &host); }, [&] { ClosePort(&module, &host); }, module_read, Round{}, 0};
    Contender floor_reader{[&] { raw.Open(path); }, [&] { raw.Close(); }, floor_read, Round{}, 0};
    Contender module_writer{[&] { OpenPort(&module, &host); }, [&] { ClosePort(&module, &host); }, module_write, Round{}, 0};
    Contender floor_writer{[&] { raw.Open(path); }, [&] { raw.Close(); }, floor_write, Round{}, 0};
#ifdef QDXBENCH_HAVE_MODBUS
    Contender modbus_reader{[] {}, [] {}, modbus_read, Round{}, 0};
#endif
    long failures = 0;
    // A round runs its contenders in short slices that take turns (in
    // alternating order), so that each meets the same load of the machine;
    // a contender's round figure is over all of its slices.
    auto interleaved_round = [&](std::vector<Contender*> contenders) {
        for (Contender* c : contenders) c->total = Round{}, c->cpu_us = 0;
        const int slice_ms = std::max(10, opt.round_ms / kSlicesPerRound);
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
        for (Contender* c : contenders) failures += c->total.failures;
    };
    auto cpu_per_op = [](const Contender& c) { return c.cpu_us / std::max(1L, c.total.ops); };

    // Warm-up: every path once, untimed.
    std::fprintf(stderr, "qdxbench: warming up\n");
    {
        std::vector<Contender*> all{&module_reader, &floor_reader, &module_writer, &floor_writer};
#ifdef QDXBENCH_HAVE_MODBUS
        all.push_back(&modbus_reader);
#endif
        interleaved_round(all);
        failures = 0;
    }
    const int module_log_before = module.log().lines;

    for (int round = 0; round < opt.rounds; ++round) {
        std::fprintf(stderr, "qdxbench: round %d of %d\n", round + 1, opt.rounds);
        std::vector<Contender*> readers{&module_reader, &floor_reader};
#ifdef QDXBENCH_HAVE_MODBUS
        readers.push_back(&modbus_reader);
#endif
        if (round % 2 != 0) std::reverse(readers.begin(), readers.end());
        interleaved_round(readers);
        const double m = module_reader.total.rate();
        report["module_reads_per_s"].samples.push_back(m);
        report["floor_reads_per_s"].samples.push_back(floor_reader.total.rate());
        report["ratio_floor_reads"].samples.push_back(m / floor_reader.total.rate());
        report["cpu_us_per_read"].samples.push_back(cpu_per_op(module_reader));
        report["floor_cpu_us_per_read"].samples.push_back(cpu_per_op(floor_reader));
#ifdef QDXBENCH_HAVE_MODBUS
        report["libmodbus_reads_per_s"].samples.push_back(modbus_reader.total.rate());
        report["ratio_libmodbus"].samples.push_back(m / modbus_reader.total.rate());
        report["ratio_floor_libmodbus"].samples.push_back(floor_reader.total.rate() /
                                                          modbus_reader.total.rate());
#endif
        if (opt.verbose) {
            std::fprintf(stderr, "  reads/s module %.0f floor %.0f", m, floor_reader.total.rate());
#ifdef QDXBENCH_HAVE_MODBUS
            std::fprintf(stderr, " libmodbus %.0f", modbus_reader.total.rate());
#endif
            std::fprintf(stderr, "; cpu us/read module %.2f floor %.2f\n", cpu_per_op(module_reader),
                         cpu_per_op(floor_reader));
        }
        std::vector<Contender*> writers{&module_writer, &floor_writer};
        if (round % 2 != 0) std::reverse(writers.begin(), writers.end());
        interleaved_round(writers);
        report["module_writes_per_s"].samples.push_back(module_writer.total.rate());
        report["floor_writes_per_s"].samples.push_back(floor_writer.total.rate());
        report["ratio_floor_writes"].samples.push_back(module_writer.total.rate() / floor_writer.total.rate());
        if (opt.verbose)
            std::fprintf(stderr, "  writes/s module %.0f floor %.0f\n", module_writer.total.rate(),
                         floor_writer.total.rate());
    }
    const int module_log_lines = module.log().lines - module_log_before;

    // --- A read of a unit nobody answers for: three reply timeouts.
    std::fprintf(stderr, "qdxbench: silent reads\n");
    {
        HostPort silent;
        StartPort(&module, &silent, path, kSilentTimeoutUnits);
        ParsePoint(&module, &silent, "99K1M1", &silent.read_point, &silent.read_cell);
        for (int i = 0; i < opt.silent_reads; ++i) {
            const auto t0 = Clock::now();
            const int32_t result = module.Call(kRequestReadValue, &silent.port, &silent.read_point);
            const double ms = Seconds(Clock::now() - t0) * 1e3;
            if (result != kResultFailed) notes.push_back("warning: a silent read did not fail");
            report["silent_read_ms"].samples.push_back(ms);
        }
        ClosePort(&module, &silent);
    }
    const std::string sim_stats = sim.Command("stats");
    sim.Stop();

#ifdef QDXBENCH_HAVE_MODBUS
    modbus_close(mb);
    modbus_free(mb);
    modbus_server.Stop();
#else
    notes.push_back("libmodbus was not found at build time: its figures are not measured");
#endif

    // --- Paced simulator: a real line's speed and a controller's delay.
    std::fprintf(stderr, "qdxbench: paced rounds\n");
    ChildProcess paced_sim;
    const std::string paced_path =
        StartSimulator(&paced_sim, {"--pace", "9600", "--response-delay", std::to_string(kPacedDelayMs)});
    const double line_max = 1.0 / (kReadChars * kCharSeconds + kPacedDelayMs / 1000.0);
    {
        HostPort paced;
        StartPort(&module, &paced, paced_path, 100);
        ParsePoint(&module, &paced, "01K1M1", &paced.read_point, &paced.read_cell);
        auto paced_read = [&] { return module.Call(kRequestReadValue, &paced.port, &paced.read_point) == kResultOk; };
        RunRound(opt.paced_round_ms / 3, paced_read);  // warm-up
        for (int round = 0; round < opt.paced_rounds; ++round) {
            const double cpu0 = CpuMicros();
            const Round r = RunRound(opt.paced_round_ms, paced_read);
            const double cpu1 = CpuMicros();
            failures += r.failures;
            report["paced_reads_per_s"].samples.push_back(r.rate());
            report["line_efficiency"].samples.push_back(r.rate() / line_max);
            report["paced_cpu_us_per_read"].samples.push_back((cpu1 - cpu0) / std::max(1L, r.ops));
        }
        ClosePort(&module, &paced);
    }
    paced_sim.Stop();

    MeasureSave(&module, opt, &report, &notes);
    MeasureScan(opt, &report, &notes);
#ifdef QDXBENCH_HAVE_MQTT
    if (opt.mqtt_rounds > 0) MeasureMqtt(opt, &report, &notes);
#else
    notes.push_back("qdxpoll is built without mqtt: its figures are not measured");
#endif

#ifdef QDXBENCH_HAVE_HISTORY
    {
        std::fprintf(stderr, "qdxbench: the history (an hour of samples, then log and poll for %d s each)\n",
                     opt.history_seconds);
        ChildProcess history_sim;
        const std::string history_path = StartSimulator(&history_sim, {});
        const HistoryFigures h = MeasureHistory(QDX_QDXPOLL_PATH, history_path, opt.history_seconds, opt.verbose);
        history_sim.Stop();
        if (h.bytes_per_hour > 0) {
            report["history_mb_per_hour"].samples.push_back(h.bytes_per_hour / 1e6);
            report["history_record_cpu_pct"].samples.push_back(h.record_cpu_pct);
            report["history_prune_p95_ms"].samples.push_back(h.prune_p95_ms);
            report["history_prune_max_ms"].samples.push_back(h.prune_max_ms);
            report["history_prune_avg_ms"].samples.push_back(h.prune_avg_ms);
        }
        if (h.log_cpu_pct > 0 && h.poll_cpu_pct > 0) {
            report["log_cpu_pct"].samples.push_back(h.log_cpu_pct);
            report["poll_cpu_pct"].samples.push_back(h.poll_cpu_pct);
            report["log_over_poll_cpu_pct"].samples.push_back(h.log_cpu_pct - h.poll_cpu_pct);
        }
        notes.insert(notes.end(), h.notes.begin(), h.notes.end());
        notes.push_back(
            "History: an hour of 20 points a second (72,000 samples, a commit a second) recorded by the store\n"
            "  alone (the file's growth, its CPU over the hour's 3600 s, then retention down to half the size\n"
            "  in batches: the longest are those that meet SQLite's checkpoint of its write-ahead log, every\n"
            "  4 MB written, about once an hour of logging); then qdxpoll poll and log of the same 20 points,\n"
            "  a cycle a second (user+sys per wall second of each run; log_over_poll is the recording's share).");
    }
#else
    notes.push_back("the history (SQLite) is not built here: its figures are not measured");
#endif

    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    report["peak_rss_kb"].samples.push_back(static_cast<double>(ru.ru_maxrss));

    char line[256];
    std::snprintf(line, sizeof line,
                  "Line limits at 9600 baud, 7 data bits, parity, 2 stop bits (11 bits a character):\n"
                  "  %.1f reads/s (%d characters), %.1f writes/s (%d characters); with a %d ms\n"
                  "  response delay %.2f reads/s, the line_efficiency reference.",
                  1.0 / (kReadChars * kCharSeconds), kReadChars, 1.0 / (kWriteChars * kCharSeconds),
                  kWriteChars, kPacedDelayMs, line_max);
    notes.insert(notes.begin(), line);
    std::snprintf(line, sizeof line,
                  "Unpaced: %d rounds of %d ms a contender, in %d slices that take turns; paced: %d rounds of %d ms.",
                  opt.rounds, opt.round_ms, kSlicesPerRound, opt.paced_rounds, opt.paced_round_ms);
    notes.insert(notes.begin() + 1, line);
    std::snprintf(line, sizeof line, "Failed operations in the timed rounds: %ld; module log lines: %d.",
                  failures, module_log_lines);
    notes.push_back(line);
    if (!sim_stats.empty()) notes.push_back("rexfsim (unpaced) " + sim_stats);
    if (module_log_lines > 0) notes.push_back("last module log line: " + module.log().last);

    report.Print("qdxbench: QDXTLMV on pseudo-terminals (median of rounds, min and max)", notes);
    return 0;
}

}  // namespace
}  // namespace qdxbench

int main(int argc, char** argv) { return qdxbench::Main(argc, argv); }
