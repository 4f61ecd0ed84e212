// Commands: info, read, write, poll, scan, list-ports, demo.
#include "commands.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "cp437.h"
#include "driver_log.h"
#include "exit_codes.h"
#include "module_loader.h"
#include "output.h"
#include "platform.h"
#include "session.h"
#include "simulator.h"
#include "trace_relay.h"
#include "values.h"

namespace {

constexpr int kDefaultTimeoutMs = 300;
constexpr int kScanTimeoutMs = 100;
constexpr int kAttempts = 3;  // the driver's attempts per read or write

using PointList = std::vector<std::unique_ptr<Point>>;

// Everything one run holds: the module, the port, the relay and simulator
// when used, and where the output goes.
struct Run {
    explicit Run(Options& o) : options(o), reporter(o.format, stdout) {}
    ~Run() {
        // The driver's port first, then what stood behind it.
        if (session) session->Close();
        relay.Stop();
        simulator.Stop();
    }

    Options& options;
    Reporter reporter;
    LoadedModule module;
    std::unique_ptr<Session> session;
    DriverDescription driver;
    TraceRelay relay;
    SimulatorProcess simulator;
    LineValues line{};
    int timeout_ms = kDefaultTimeoutMs;
    std::string module_port;
    int exit_code = kExitOk;
    std::string first_failure;

    void Fail(int code, const std::string& message) {
        if (exit_code == kExitOk) {
            exit_code = code;
            first_failure = message;
        }
    }

    void Verbose(const std::string& line_text) const {
        if (options.verbose) ErrorLine(line_text);
    }

    // Loads the module and asks for its description (request 14).
    void Load() {
        InstallDriverLog(!options.quiet);
        module = LoadModule(options.module_path);
        session = std::make_unique<Session>(module.entry);
        driver = session->Describe();
        Verbose("module: " + module.path + " (" + driver.name + ")");
    }

    // Starts the port (request 1), through the trace relay when asked.
    void OpenPort(const std::string& user_port, int default_timeout_ms) {
        line = ResolveLine(options, driver.default_line);
        timeout_ms = options.timeout_ms.value_or(default_timeout_ms);
        const int32_t units = TimeoutUnits(timeout_ms);
        std::string error;
        if (options.trace) {
            bool port_failed = false;
            if (!relay.Start(user_port, line, &module_port, &error, &port_failed))
                throw ToolError(port_failed ? kExitPortUnavailable : kExitUsage, error);
            Verbose("trace: relaying " + user_port + " through " + module_port);
        } else {
            module_port = ModulePortName(user_port, &error);
            if (module_port.empty()) throw ToolError(kExitPortUnavailable, error);
        }
        Verbose("port: " + user_port + (module_port != user_port ? " (driver port name " + module_port + ")" : ""));
        Verbose("line: " + DescribeLine(line) + fmt::format(" (codes {}/{}/{}/{})", line.baud_rate,
                                                            line.data_bits, line.stop_bits, line.parity));
        Verbose(fmt::format("reply timeout: {} ms ({} x 10 ms), {} attempts a request", units * 10, units,
                            kAttempts));
        if (session->Start(module_port, units, line) != kResultOk) {
            std::string hint = options.trace ? "" : PortOpenHint(module_port);
            // A port that opens and is free refused the line settings.
            if (hint.empty() && !options.trace)
                hint = "it opens, but the line settings were refused: " + DescribeLine(line) +
                       "; check --baud, --data-bits, --parity and --stop-bits";
            throw ToolError(kExitPortUnavailable,
                            "cannot open port " + user_port + (hint.empty() ? "" : " (" + hint + ")"));
        }
    }

    std::unique_ptr<Point> ParsePoint(const std::string& address, uint32_t type) {
        auto point = std::make_unique<Point>();
        if (!session->Parse(address, type, point.get()))
            throw ToolError(kExitBadAddress,
                            "invalid address \"" + address +
                                "\": expected six characters UUKCII, unit 00-99, K, channel 0-8 and a "
                                "known identifier, e.g. 01K1M1");
        Verbose("point " + point->address + ": " + point->Describe() + ", type " + TypeName(type));
        return point;
    }

    PointList ParsePoints(const std::vector<std::string>& addresses, uint32_t type) {
        PointList points;
        for (const std::string& a : addresses) points.push_back(ParsePoint(a, type));
        return points;
    }

    uint32_t Type() const { return *TypeFromName(options.type); }

    std::string NoReplyMessage(const Point& p, const Outcome& o) const {
        std::string text = fmt::format("no valid reply from unit {:02d} ({} attempts", p.unit(), kAttempts);
        if (o.refused_replies > 0)
            text += fmt::format("; {} repl{} refused by the driver's checks", o.refused_replies,
                                o.refused_replies == 1 ? "y" : "ies");
        else
            text += fmt::format(", {} ms each", timeout_ms);
        return text + ") for " + p.address;
    }

    Reading MakeReading(const Point& p, const Outcome& o, bool bit_read, const char* action) const {
        Reading r;
        r.time = WallClock::now();
        r.address = p.address;
        r.unit = p.unit();
        r.channel = p.channel();
        r.identifier = p.identifier();
        r.type = TypeName(p.type);
        r.action = action;
        if (bit_read) r.bit = p.block.point.bit_number;
        r.latency_ms = o.latency_ms;
        r.ok = o.ok();
        if (r.ok) {
            r.value = DecodeCell(p.type, p.cell, bit_read);
            r.status = "ok";
        } else {
            r.status = "no_reply";
            r.error = NoReplyMessage(p, o);
        }
        return r;
    }

    // One read of a point (request 6, or 5 for a bit).
    Reading ReadPoint(Point* p, std::optional<int> bit, long* refused = nullptr) {
        Outcome o;
        if (bit) {
            const int width = options.width.value_or(IsWideType(p->type) ? 32 : 16);
            o = session->ReadBit(p, *bit, width);
        } else {
            o = session->Read(p);
        }
        relay.Sync();
        if (refused != nullptr) *refused = o.refused_replies;
        Reading r = MakeReading(*p, o, bit.has_value(), "read");
        if (!r.ok) Fail(kExitNoReply, r.error);
        return r;
    }

    // One write (request 7); on failure a read tells a refusal from silence.
    Reading WritePoint(Point* p, bool verify) {
        const CellValue written = DecodeCell(p->type, p->cell, false);
        const Outcome o = session->Write(p);
        relay.Sync();
        Reading r = MakeReading(*p, o, false, "write");
        if (o.ok()) {
            r.value = written;
            if (!verify) return r;
            auto back = ParsePoint(p->address, p->type);
            const Outcome ro = session->Read(back.get());
            relay.Sync();
            if (!ro.ok()) {
                r.ok = false;
                r.status = "no_reply";
                r.error = "written, but the read-back failed: " + NoReplyMessage(*back, ro);
                Fail(kExitNoReply, r.error);
                return r;
            }
            const CellValue read_back = DecodeCell(back->type, back->cell, false);
            r.latency_ms += ro.latency_ms;
            if (SameAsWritten(p->type, written, read_back)) {
                r.status = "verified";
                r.value = read_back;
                return r;
            }
            r.ok = false;
            r.status = "mismatch";
            r.value = read_back;
            r.error = fmt::format("unit {:02d} acknowledged {} := {} but reads back {}", p->unit(),
                                  p->identifier(), written.text, read_back.text);
            Fail(kExitRefused, r.error);
            return r;
        }
        // Does the unit answer at all?
        auto probe = ParsePoint(p->address, kTypeFloat);
        const Outcome po = session->Read(probe.get());
        relay.Sync();
        if (po.ok()) {
            r.status = "refused";
            r.error = fmt::format("unit {:02d} refused the write of {} := {} ({} attempts; it answers reads)",
                                  p->unit(), p->identifier(), written.text, kAttempts);
            Fail(kExitRefused, r.error);
        } else {
            r.error = fmt::format("no valid reply from unit {:02d} to the write of {} ({} attempts, {} ms each)",
                                  p->unit(), p->identifier(), kAttempts, timeout_ms);
            Fail(kExitNoReply, r.error);
        }
        return r;
    }

    std::string RequirePort() const {
        if (options.port.empty())
            throw ToolError(kExitUsage, "command '" + options.command + "' needs --port (see 'qdxpoll list-ports')");
        return options.port;
    }

    int Finish() {
        if (exit_code != kExitOk) {
            std::fflush(stdout);
            ErrorLine("qdxpoll: " + first_failure);
        }
        return exit_code;
    }
};

// Sleeps until the time point, in short steps so that Ctrl-C is seen soon.
void SleepUntil(std::chrono::steady_clock::time_point until) {
    while (!Interrupted()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            until - now, std::chrono::milliseconds(50)));
    }
}

int Info(Run& run) {
    run.Load();
    run.reporter.Info(run.driver, run.module.path);
    return kExitOk;
}

int Read(Run& run) {
    run.Load();
    run.OpenPort(run.RequirePort(), kDefaultTimeoutMs);
    PointList points = run.ParsePoints(run.options.addresses, run.Type());
    for (auto& p : points) {
        if (Interrupted()) break;
        run.reporter.Emit(run.ReadPoint(p.get(), run.options.bit));
    }
    return run.Finish();
}

int Write(Run& run) {
    const uint32_t type = run.Type();
    ValueCell cell{};
    std::string why;
    if (!EncodeValue(type, run.options.value, &cell, &why)) throw ToolError(kExitUsage, why);
    run.Load();
    run.OpenPort(run.RequirePort(), kDefaultTimeoutMs);
    auto point = run.ParsePoint(run.options.write_address, type);
    point->cell = cell;
    run.reporter.Emit(run.WritePoint(point.get(), run.options.verify));
    return run.Finish();
}

// Reads the points every interval; returns the statistics.
std::vector<PointStats> PollLoop(Run& run, PointList& points, int count, double interval_s,
                                 double* seconds, bool* interrupted) {
    std::vector<PointStats> stats(points.size());
    for (size_t i = 0; i < points.size(); ++i) stats[i].address = points[i]->address;
    const auto start = std::chrono::steady_clock::now();
    const auto interval = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(interval_s));
    auto next = start;
    for (long cycle = 1; count == 0 || cycle <= count; ++cycle) {
        if (cycle > 1) {
            next += interval;
            const auto now = std::chrono::steady_clock::now();
            if (next < now) next = now;  // a late cycle starts at once, never twice
            SleepUntil(next);
        }
        if (Interrupted()) break;
        std::vector<Reading> readings;
        for (size_t i = 0; i < points.size(); ++i) {
            long refused = 0;
            Reading r = run.ReadPoint(points[i].get(), std::nullopt, &refused);
            // A read cut short by Ctrl-C is not counted.
            if (!r.ok && Interrupted()) break;
            r.cycle = cycle;
            stats[i].Add(r, refused);
            readings.push_back(r);
        }
        run.reporter.Cycle(readings);
        if (Interrupted()) break;
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *interrupted = Interrupted();
    return stats;
}

int Poll(Run& run) {
    run.Load();
    run.OpenPort(run.RequirePort(), kDefaultTimeoutMs);
    PointList points = run.ParsePoints(run.options.addresses, run.Type());
    double seconds = 0;
    bool interrupted = false;
    const auto stats = PollLoop(run, points, run.options.count, run.options.interval_s, &seconds, &interrupted);
    // Close the port before the statistics, as the user asked to stop.
    run.session->Close();
    run.reporter.Stats(stats, seconds, interrupted);
    if (interrupted) run.Verbose("poll ended by interrupt; port closed");
    return run.Finish();
}

bool ParseUnitRange(const std::string& text, int* first, int* last) {
    int a = -1, b = -1;
    char dash = 0, extra = 0;
    const int n = std::sscanf(text.c_str(), "%d%c%d%c", &a, &dash, &b, &extra);
    if (n == 1) b = a;
    else if (!(n == 3 && dash == '-')) return false;
    if (a < 0 || b > 99 || a > b) return false;
    *first = a;
    *last = b;
    return true;
}

int Scan(Run& run) {
    int first = 0, last = 99;
    if (!ParseUnitRange(run.options.units, &first, &last))
        throw ToolError(kExitUsage, "--units takes FIRST-LAST within 0-99, e.g. 0-99 or 1-10");
    const std::string& id = run.options.identifier;
    run.Load();
    run.OpenPort(run.RequirePort(), kScanTimeoutMs);
    // The driver checks the identifier when it parses the first address.
    PointList points;
    for (int unit = first; unit <= last; ++unit) {
        const std::string address = fmt::format("{:02d}K{}{}", unit, run.options.channel, id);
        try {
            points.push_back(run.ParsePoint(address, run.Type()));
        } catch (const ToolError&) {
            throw ToolError(kExitBadAddress, "invalid identifier \"" + id + "\" (the driver refuses " + address +
                                                 "); identifiers are two characters such as M1, S1, SL");
        }
    }
    const bool progress = StderrIsTerminal();
    std::vector<int> answering;
    int tried = 0;
    for (auto& p : points) {
        if (Interrupted()) break;
        if (progress)
            std::fprintf(stderr, "\rscanning unit %02d of %02d-%02d, %zu answered ", p->unit(), first, last,
                         answering.size());
        const Outcome o = run.session->Read(p.get());
        run.relay.Sync();
        ++tried;
        if (!o.ok()) continue;
        answering.push_back(p->unit());
        if (progress) std::fprintf(stderr, "\r%*s\r", 48, "");
        run.reporter.Emit(run.MakeReading(*p, o, false, "read"));
    }
    if (progress) std::fprintf(stderr, "\r%*s\r", 48, "");
    run.reporter.ScanSummary(id, run.options.channel, answering, tried);
    if (answering.empty())
        run.Fail(kExitNoReply, fmt::format("no unit answers {} on channel {} (units {:02d}-{:02d}, {} ms timeout)",
                                           id, run.options.channel, first, last, run.timeout_ms));
    return run.Finish();
}

int ListPorts(Run& run) {
    run.reporter.Ports(ListSerialDevices());
    return kExitOk;
}

int Demo(Run& run) {
    Options& o = run.options;
    Reporter& out = run.reporter;
    const bool own_simulator = o.port.empty();
    std::string port = o.port;
    if (own_simulator) {
        const std::string program =
            FindCompanion(o.simulator_path, "QDXPOLL_SIMULATOR", kSimulatorFileName, "sim",
                          QDXPOLL_BUILD_SIMULATOR_PATH);
        if (program.empty())
            throw ToolError(kExitInternal, std::string("cannot find the simulator ") + kSimulatorFileName +
                                               " (use --simulator PATH, or --port for real hardware)");
        std::string error;
        if (!run.simulator.Start(program, {"--realistic", "--speed", "60"}, o.verbose, &port, &error)) throw ToolError(kExitInternal, error);
        out.Text("Simulator: " + program);
        out.Text("           units 01 02 03 on channel 1, listening on " + port);
    }
    run.Load();

    out.Text("\n== 1. The driver (request 14) ==");
    out.Text("Driver:       " + run.driver.name);
    out.Text("Default line: " + DescribeLine(run.driver.default_line));
    out.Text("Banner:" + Cp437ToUtf8(run.driver.banner));

    run.OpenPort(port, kDefaultTimeoutMs);
    out.Text(fmt::format("== 2. Port {} started (request 1): {}, reply timeout {} ms ==", port,
                         DescribeLine(run.line), TimeoutUnits(run.timeout_ms) * 10));

    const int unit = o.unit;
    auto address = [unit](const char* id) { return fmt::format("{:02d}K1{}", unit, id); };
    int reads = 0, writes = 0, good = 0;
    double total_ms = 0;
    auto count = [&](const Reading& r, bool is_write) {
        (is_write ? writes : reads)++;
        if (r.ok) {
            ++good;
            total_ms += r.latency_ms;
        }
    };

    out.Text("\n== 3. One read of each data type (requests 3 and 6) ==");
    struct TypedRead {
        const char* id;
        uint32_t type;
        std::optional<int> bit;
        const char* what;
    };
    const TypedRead tour[] = {
        {"M1", kTypeFloat, std::nullopt, "measured value as float"},
        {"S1", kTypeU16, std::nullopt, "set value as u16"},
        {"SL", kTypeS16, std::nullopt, "set value low limit as s16"},
        {"S1", kTypeBcd, std::nullopt, "set value as packed BCD"},
        {"SL", kTypeS32, std::nullopt, "low limit as s32"},
        {"SH", kTypeU32, std::nullopt, "set value high limit as u32"},
        {"XA", kTypeState, std::nullopt, "a state as 0/1"},
        {"S1", kTypeU16, 1, "bit 1 of the set value (request 5)"},
    };
    for (const TypedRead& t : tour) {
        if (Interrupted()) break;
        auto p = run.ParsePoint(address(t.id), t.type);
        const Reading r = run.ReadPoint(p.get(), t.bit);
        count(r, false);
        out.Emit(r, fmt::format("  {:<36}", t.what));
    }

    out.Text("\n== 4. A write of the set value, read back (request 7) ==");
    if (!Interrupted()) {
        auto s1 = run.ParsePoint(address("S1"), kTypeFloat);
        const Reading before = run.ReadPoint(s1.get(), std::nullopt);
        count(before, false);
        out.Emit(before, "  before:  ");
        if (before.ok) {
            // On real hardware the value read is written back unchanged.
            const double target = own_simulator ? before.value.number + 10.5 : before.value.number;
            const std::string text = FloatText(static_cast<float>(target));
            std::string why;
            if (EncodeValue(kTypeFloat, text, &s1->cell, &why)) {
                if (!own_simulator) out.Text("  (real hardware: the value read is written back unchanged)");
                const Reading w = run.WritePoint(s1.get(), true);
                count(w, true);
                out.Emit(w, "  write:   ");
            } else {
                out.Text("  skipped: " + why);
            }
        }
    }

    out.Text("\n== 5. Three poll cycles of M1 and S1 ==");
    double seconds = 0;
    bool interrupted = false;
    std::vector<PointStats> stats;
    if (!Interrupted()) {
        PointList points;
        points.push_back(run.ParsePoint(address("M1"), kTypeFloat));
        points.push_back(run.ParsePoint(address("S1"), kTypeFloat));
        stats = PollLoop(run, points, 3, 0.5, &seconds, &interrupted);
        for (const PointStats& s : stats) {
            reads += static_cast<int>(s.sent);
            good += static_cast<int>(s.good);
            total_ms += s.total_ms;
        }
        out.Stats(stats, seconds, interrupted);
    }

    run.session->Close();
    out.Text("\n== 6. Summary ==");
    out.Text(fmt::format("{} reads and {} write{}, {} good, {} failed; average {} ms a transaction", reads,
                         writes, writes == 1 ? "" : "s", good, reads + writes - good,
                         Millis(good > 0 ? total_ms / good : 0)));
    out.Text(run.exit_code == kExitOk ? "Everything worked: the driver, the port and the unit are fine."
                                      : "Something failed: " + run.first_failure);
    if (own_simulator)
        out.Text("Next: qdxpoll --port ttyUSB0 read 01K1M1   (your controller on a real port)");
    return run.Finish();
}

}  // namespace

int RunCommand(Options& options) {
    Run run(options);
    const std::string& c = options.command;
    if (options.trace && !TraceRelay::Available()) {
        std::string why;
        bool port_failed = false;
        std::string unused;
        run.relay.Start("", LineValues{}, &unused, &why, &port_failed);
        throw ToolError(kExitUsage, why);
    }
    if (c == "info") return Info(run);
    if (c == "read") return Read(run);
    if (c == "write") return Write(run);
    if (c == "poll") return Poll(run);
    if (c == "scan") return Scan(run);
    if (c == "list-ports") return ListPorts(run);
    if (c == "demo") return Demo(run);
    throw ToolError(kExitUsage, "unknown command " + c);
}
