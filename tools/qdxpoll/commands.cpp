// Commands: info, read, write, poll, watch, scan, probe, identifiers,
// list-ports, demo; save, diff and restore (command_save_diff.cpp,
// command_restore.cpp) through the line below.
#include "commands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "cp437.h"
#include "diagnosis.h"
#include "driver_log.h"
#include "exit_codes.h"
#include "line_probe.h"
#include "module_loader.h"
#include "output.h"
#include "platform.h"
#include "session.h"
#include "settings_commands.h"
#include "sim/line_timing.h"
#include "sim/unit_model.h"
#include "simulator.h"
#include "trace_relay.h"
#include "values.h"
#include "watch_server.h"

namespace {

using PointList = std::vector<std::unique_ptr<Point>>;

enum class RequestKind { kRead, kReadBit, kWrite };

// A request to the driver and what the line did during it.
struct Done {
    Outcome outcome;
    Diagnosis diagnosis;
};

const char* const kWindowsHint =
    "naming the cause needs a view of the wire, which qdxpoll has on Linux (it watches the line through a "
    "pseudo-terminal)";
const char* const kDirectHint =
    "--direct hides the wire from qdxpoll: run without it to have the cause named";

int ExitCodeOf(Cause cause) { return cause == Cause::kInterrupted ? kExitInterrupted : kExitNoReply; }

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
    int timeout_ms = 0;       // the reply timeout in effect (a multiple of 10 ms)
    int safe_timeout_ms = 0;  // the one every unit's answer meets on this line
    std::string module_port;
    int exit_code = kExitOk;
    std::string first_failure, first_hint;
    int last_code = kExitOk;  // the latest failure, whichever came first
    std::string last_hint;

    void Fail(int code, const std::string& message, const std::string& hint = "") {
        last_code = code;
        last_hint = hint;
        if (exit_code == kExitOk) {
            exit_code = code;
            first_failure = message;
            first_hint = hint;
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

    // Starts the port (request 1), through the relay that watches the wire
    // where it can. The default reply timeout is the one an answer from a
    // unit with interval_ms meets at the line's settings.
    void OpenPort(const std::string& user_port, int interval_ms) {
        line = ResolveLine(options, driver.default_line);
        safe_timeout_ms = SafeTimeoutMs(line, rexf::kMaxIntervalTimeMs);
        const int32_t units = TimeoutUnits(options.timeout_ms.value_or(SafeTimeoutMs(line, interval_ms)));
        timeout_ms = units * 10;
        std::string error;
        if (TraceRelay::Available() && !options.direct) {
            bool port_failed = false;
            if (!relay.Start(user_port, line, options.trace, &module_port, &error, &port_failed)) {
                if (!port_failed) throw ToolError(kExitInternal, error);
                const std::string hint = PortOpenHint(user_port);
                throw ToolError(kExitPortUnavailable,
                                "cannot open port " + user_port + " (" + (hint.empty() ? error : hint) + ")");
            }
            Verbose("watching the line: " + user_port + " relayed to the driver through " + module_port);
        } else {
            module_port = ModulePortName(user_port, &error);
            if (module_port.empty()) throw ToolError(kExitPortUnavailable, error);
        }
        Verbose("port: " + user_port + (module_port != user_port ? " (driver port name " + module_port + ")" : ""));
        Verbose("line: " + DescribeLine(line) + fmt::format(" (--line {}, codes {}/{}/{}/{})", LineText(line),
                                                            line.baud_rate, line.data_bits, line.stop_bits,
                                                            line.parity));
        Verbose(fmt::format("reply timeout: {} ms ({} x 10 ms; every unit's answer meets {} ms), {} attempts a "
                            "request",
                            timeout_ms, units, safe_timeout_ms, 3));
        if (session->Start(module_port, units, line) != kResultOk) {
            std::string hint;
            if (!relay.running()) hint = PortOpenHint(module_port);
            // A port that opens and is free refused the line settings.
            if (hint.empty())
                hint = "it opens, but the driver refused the line settings: " + DescribeLine(line) +
                       "; check --line (or --baud, --data-bits, --parity and --stop-bits)";
            throw ToolError(kExitPortUnavailable, "cannot open port " + user_port + " (" + hint + ")");
        }
    }

    std::unique_ptr<Point> ParsePoint(const std::string& address, uint32_t type) {
        auto point = std::make_unique<Point>();
        if (!session->Parse(address, type, point.get()))
            throw ToolError(kExitBadAddress,
                            "invalid address \"" + address +
                                "\": expected six characters UUKCII, unit 00-99, K, channel 0-8 and a "
                                "known identifier, e.g. 01K1M1 ('qdxpoll identifiers' lists them)");
        Verbose("point " + point->address + ": " + point->Describe() + ", type " + TypeName(type));
        return point;
    }

    PointList ParsePoints(const std::vector<std::string>& addresses, uint32_t type) {
        PointList points;
        for (const std::string& a : addresses) points.push_back(ParsePoint(a, type));
        return points;
    }

    uint32_t Type() const {
        if (options.type.empty()) return options.bit ? kTypeU16 : kTypeFloat;
        return *TypeFromName(options.type);
    }

    // One request, with the wire watched during it. After a failed or
    // retried request the line is watched on until it has been quiet for the
    // timeout every answer meets, so that a late answer is seen (and never
    // met by the next request).
    Done Request(RequestKind kind, Point* p, const std::string& written_text = "", bool listen = true,
                 int bit = 0) {
        relay.Take();  // bytes between requests are not this one's
        Done done;
        const int width = options.width.value_or(IsWideType(p->type) ? 32 : 16);
        switch (kind) {
            case RequestKind::kRead: done.outcome = session->Read(p); break;
            case RequestKind::kReadBit: done.outcome = session->ReadBit(p, bit, width); break;
            case RequestKind::kWrite: done.outcome = session->Write(p); break;
        }
        Exchange x;
        x.write = kind == RequestKind::kWrite;
        x.unit = p->unit();
        x.identifier = p->identifier();
        x.written_text = written_text;
        x.timeout_ms = timeout_ms;
        x.safe_timeout_ms = safe_timeout_ms;
        x.driver_ok = done.outcome.ok();
        x.interrupted = Interrupted();
        x.start = done.outcome.start;
        x.end = done.outcome.end;
        x.observed = relay.running();
        x.refused_logged = done.outcome.refused_replies;
        x.last_log = done.outcome.last_log;
        x.unobserved_hint = TraceRelay::Available() ? kDirectHint : kWindowsHint;
        if (x.observed) x.wire = relay.Take();
        done.diagnosis = Diagnose(x);
        if (x.observed && listen && !x.interrupted && (!x.driver_ok || done.diagnosis.attempts > 1)) {
            relay.ListenQuiet(safe_timeout_ms, 4 * safe_timeout_ms);
            for (WireChunk& c : relay.Take()) x.wire.push_back(std::move(c));
            done.diagnosis = Diagnose(x);
        }
        return done;
    }

    Reading MakeReading(const Point& p, const Done& done, bool bit_read, const char* action) const {
        const Diagnosis& d = done.diagnosis;
        Reading r;
        r.time = WallClock::now();
        r.address = p.address;
        r.unit = p.unit();
        r.channel = p.channel();
        r.identifier = p.identifier();
        r.type = TypeName(p.type);
        r.action = action;
        if (bit_read) r.bit = p.block.point.bit_number;
        r.latency_ms = done.outcome.latency_ms;
        r.attempts = d.attempts;
        r.status = CauseCode(d.cause);
        r.tally = TallyOf(d.cause);
        r.raw = d.raw;
        r.ok = done.outcome.ok();
        r.has_value = r.ok;
        if (r.ok) r.value = DecodeCell(p.type, p.cell, bit_read);
        if (!r.ok || d.cause == Cause::kLate) {
            r.error = d.what;
            r.hint = d.hint;
        }
        return r;
    }

    // One read of a point (request 6, or 5 for a bit). A read cut short by
    // Ctrl-C is left to the caller.
    Reading ReadPoint(Point* p, std::optional<int> bit) {
        const Done done = Request(bit ? RequestKind::kReadBit : RequestKind::kRead, p, "", true, bit.value_or(0));
        Reading r = MakeReading(*p, done, bit.has_value(), "read");
        const Diagnosis& d = done.diagnosis;
        // A value taken from a late answer is the unit's, but the timeout
        // that let it come late would let it meet the next request: a
        // failure all the same.
        if ((!r.ok && d.cause != Cause::kInterrupted) || d.cause == Cause::kLate) Fail(kExitNoReply, d.what, d.hint);
        return r;
    }

    // One write (request 7). On failure a check read tells a unit that
    // refused from one that stored the value but whose answer was lost, and
    // from one that does not answer at all.
    Reading WritePoint(Point* p, bool verify, const std::string& written_text) {
        const CellValue written = DecodeCell(p->type, p->cell, false);
        const Done done = Request(RequestKind::kWrite, p, written_text);
        const Diagnosis& d = done.diagnosis;
        Reading r = MakeReading(*p, done, false, "write");
        r.value = written;
        r.has_value = r.ok;
        if (r.ok) {
            r.status = "written";
            if (d.cause == Cause::kLate) Fail(kExitNoReply, d.what, d.hint);
            if (!verify) return r;
            auto back = ParsePoint(p->address, p->type);
            const Done bd = Request(RequestKind::kRead, back.get());
            if (!bd.outcome.ok()) {
                r.ok = false;
                r.status = CauseCode(bd.diagnosis.cause);
                r.error = "written, but the read-back failed: " + bd.diagnosis.what;
                Fail(ExitCodeOf(bd.diagnosis.cause), r.error, bd.diagnosis.hint);
                return r;
            }
            const CellValue held = DecodeCell(back->type, back->cell, false);
            r.latency_ms += bd.outcome.latency_ms;
            r.raw = bd.diagnosis.raw;
            r.value = held;
            r.has_value = true;
            if (HeldAtUnitResolution(p->identifier(), p->type, written, held)) {
                r.status = "verified";
                return r;
            }
            r.ok = false;
            r.status = "mismatch";
            r.error = fmt::format("unit {:02d} acknowledged {} := {} but holds {}", p->unit(), p->identifier(),
                                  written_text, HeldText(held, bd.diagnosis.raw));
            Fail(kExitRefused, r.error, RangeHint(p->identifier()));
            return r;
        }
        if (d.cause == Cause::kInterrupted) return r;
        // What does the unit hold now?
        auto check = ParsePoint(p->address, p->type);
        const Done cd = Request(RequestKind::kRead, check.get());
        if (cd.diagnosis.cause == Cause::kInterrupted) {
            r.status = CauseCode(Cause::kInterrupted);
            return r;
        }
        if (!cd.outcome.ok()) {
            r.error += fmt::format("; a check read got no valid reply either ({})", CauseCode(cd.diagnosis.cause));
            Fail(kExitNoReply, r.error, d.hint);
            return r;
        }
        const CellValue held = DecodeCell(check->type, check->cell, false);
        const std::string held_text = HeldText(held, cd.diagnosis.raw);
        r.raw = cd.diagnosis.raw;
        if (d.cause == Cause::kNak) {
            r.status = "refused";
            r.error += "; it holds " + held_text;
            Fail(kExitRefused, r.error, RangeHint(p->identifier()));
        } else if (HeldAtUnitResolution(p->identifier(), p->type, written, held)) {
            r.status = "held_unacknowledged";
            r.value = held;
            r.has_value = true;
            r.error += "; not acknowledged, but the unit holds " + held_text;
            Fail(kExitHeldUnacknowledged, r.error,
                 "the write took effect and only its answer was lost; " + d.hint);
        } else {
            r.error += "; the unit answers reads and holds " + held_text + ": the write did not take";
            Fail(kExitNoReply, r.error, d.hint);
        }
        return r;
    }

    static std::string HeldText(const CellValue& held, const std::string& raw) {
        return raw.empty() ? held.text : raw;
    }

    // What the unit model says about a refused write's identifier.
    static std::string RangeHint(const std::string& identifier) {
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(identifier);
        if (m == nullptr) return "";
        if (m->access == rexf::Access::kReadOnly)
            return identifier + " (" + m->meaning + ") is read-only: a unit answers every write of it with NAK";
        std::string hint = fmt::format("{} ({}) takes {:.{}f}..{:.{}f} and keeps {} decimal{}", identifier, m->meaning,
                                       m->low, m->decimals, m->high, m->decimals, m->decimals,
                                       m->decimals == 1 ? "" : "s");
        if (m->within_limits) hint += ", within the unit's SL..SH";
        return hint + "; a value outside is refused with NAK";
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
            if (!first_hint.empty()) ErrorLine("  hint: " + first_hint);
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
            until - now, std::chrono::milliseconds(20)));
    }
}

int Info(Run& run) {
    run.Load();
    run.reporter.Info(run.driver, run.module.path);
    return kExitOk;
}

void CheckBitOptions(const Options& o, uint32_t type) {
    if (!o.bit) {
        if (o.width) throw ToolError(kExitUsage, "--width goes with --bit");
        return;
    }
    const int width = o.width.value_or(IsWideType(type) ? 32 : 16);
    if (width == 32 && !IsWideType(type))
        throw ToolError(kExitUsage, "--width 32 needs a 32-bit type (--type s32, u32 or float): a " +
                                        std::string(TypeName(type)) + " read fills only the 16-bit value");
    if (*o.bit >= width)
        throw ToolError(kExitUsage,
                        fmt::format("bit {} is beyond the {}-bit value: --width 16 takes bits 0-15 of the 16-bit "
                                    "value, --width 32 bits 0-31 of a 32-bit type (--type s32, u32 or float)",
                                    *o.bit, width));
}

int Read(Run& run) {
    CheckBitOptions(run.options, run.Type());
    run.Load();
    run.OpenPort(run.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = run.ParsePoints(run.options.addresses, run.Type());
    for (auto& p : points) {
        if (Interrupted()) break;
        const Reading r = run.ReadPoint(p.get(), run.options.bit);
        if (r.status == CauseCode(Cause::kInterrupted)) {
            run.Fail(kExitInterrupted, r.error, "the port is closed");
            break;
        }
        run.reporter.Emit(r);
    }
    return run.Finish();
}

int Write(Run& run) {
    const uint32_t type = run.Type();
    ValueCell cell{};
    std::string why;
    if (!EncodeValue(type, run.options.value, &cell, &why)) throw ToolError(kExitUsage, why);
    run.Load();
    run.OpenPort(run.RequirePort(), rexf::kMaxIntervalTimeMs);
    auto point = run.ParsePoint(run.options.write_address, type);
    point->cell = cell;
    const Reading r = run.WritePoint(point.get(), run.options.verify, run.options.value);
    if (r.status == CauseCode(Cause::kInterrupted))
        run.Fail(kExitInterrupted, r.error.empty() ? "interrupted: the write was cut short" : r.error,
                 "the port is closed");
    else
        run.reporter.Emit(r);
    return run.Finish();
}

// How a poll waits between cycles, and what it does after each.
using CycleWait = std::function<void(std::chrono::steady_clock::time_point)>;
using CycleDone = std::function<void(const std::vector<Reading>&, const std::vector<PointStats>&)>;

// Reads the points every interval; returns the statistics. A read cut short
// by Ctrl-C counts as interrupted.
std::vector<PointStats> PollLoop(Run& run, PointList& points, int count, double interval_s,
                                 double* seconds, bool* interrupted, const CycleWait& wait = SleepUntil,
                                 const CycleDone& done = nullptr) {
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
            wait(next);
        }
        if (Interrupted()) break;
        std::vector<Reading> readings;
        for (size_t i = 0; i < points.size() && !Interrupted(); ++i) {
            Reading r = run.ReadPoint(points[i].get(), std::nullopt);
            r.cycle = cycle;
            stats[i].Add(r);
            readings.push_back(r);
        }
        run.reporter.Cycle(readings);
        if (done) done(readings, stats);
        if (Interrupted()) break;
    }
    *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *interrupted = Interrupted();
    return stats;
}

int Poll(Run& run) {
    run.Load();
    run.OpenPort(run.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = run.ParsePoints(run.options.addresses, run.Type());
    double seconds = 0;
    bool interrupted = false;
    const auto stats = PollLoop(run, points, run.options.count, run.options.interval_s, &seconds, &interrupted);
    // Close the port before the statistics, as the user asked to stop.
    run.session->Close();
    run.relay.Stop();
    run.reporter.Stats(stats, seconds, interrupted);
    if (interrupted) run.Verbose("poll ended by Ctrl-C; port closed");
    return run.Finish();
}

// A write the page asks for, with the checks and the read-back of `write`.
// Its outcome goes to the page (and to the output, as a write); it leaves
// the exit code to the polling.
PageWriteAnswer WriteFromPage(Run& run, const PageWrite& w) {
    const uint32_t type = run.Type();
    ValueCell cell{};
    std::string why;
    if (!EncodeValue(type, w.value, &cell, &why)) return {400, {{"ok", false}, {"error", why}}};
    std::unique_ptr<Point> point;
    try {
        point = run.ParsePoint(w.address, type);
    } catch (const ToolError& e) {
        return {400, {{"ok", false}, {"error", e.what()}}};
    }
    point->cell = cell;
    const int exit_code = run.exit_code;
    const std::string first_failure = run.first_failure, first_hint = run.first_hint;
    run.last_code = kExitOk;
    const Reading r = run.WritePoint(point.get(), w.verify, w.value);
    nlohmann::json body = ReadingJson(r);
    body["ok"] = run.last_code == kExitOk && r.status != CauseCode(Cause::kInterrupted);
    body["exit_code"] = run.last_code;  // what 'qdxpoll write' would end with
    if (run.last_code != kExitOk) body["hint"] = run.last_hint;
    run.exit_code = exit_code;
    run.first_failure = first_failure;
    run.first_hint = first_hint;
    run.reporter.Emit(r, "write from the page: ");
    return {200, body};
}

// Polls the points as poll does and serves the page while it runs. `serving`
// is told the page's address once it is served.
std::vector<PointStats> WatchLoop(Run& run, PointList& points, int count, double interval_s, bool allow_writes,
                                  WatchServer& server, const std::function<void(const std::string&)>& serving,
                                  double* seconds, bool* interrupted) {
    WatchSetup setup;
    setup.listen_address = run.options.listen_address;
    setup.port = run.options.http_port;
    setup.allow_writes = allow_writes;
    setup.type = TypeName(run.Type());
    setup.heading = fmt::format("{} at {}, a cycle every {:g} s", run.options.port.empty() ? "the simulator"
                                                                                           : run.options.port,
                                LineText(run.line), interval_s);
    auto watched = [](const Point& p) {
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(p.identifier());
        return WatchPoint{p.address, p.unit(), p.channel(), p.identifier(), m != nullptr ? m->meaning : ""};
    };
    // The form offers the writable points polled and the set value of every
    // unit and channel polled.
    auto offer = [&setup](const WatchPoint& w) {
        for (const WatchPoint& have : setup.writable)
            if (have.address == w.address) return;
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(w.identifier);
        if (m == nullptr || m->access != rexf::Access::kReadOnly) setup.writable.push_back(w);
    };
    for (const auto& p : points) {
        setup.points.push_back(watched(*p));
        if (p->identifier() == "S1") offer(setup.points.back());
    }
    for (const auto& p : points) {
        auto s1 = std::make_unique<Point>();
        if (run.session->Parse(fmt::format("{:02d}K{}S1", p->unit(), p->channel()), run.Type(), s1.get()))
            offer(watched(*s1));
    }
    for (const WatchPoint& w : setup.points) offer(w);

    std::string url, error;
    if (!server.Start(setup, &url, &error))
        throw ToolError(kExitUsage, error + (run.options.http_port != 0 ? "; choose another --http PORT, or "
                                                                          "leave it out for a free one"
                                                                        : ""));
    serving(url);
    const auto stats = PollLoop(
        run, points, count, interval_s, seconds, interrupted,
        [&](std::chrono::steady_clock::time_point until) {
            server.WaitRunningWrites(until, [&run](const PageWrite& w) { return WriteFromPage(run, w); });
        },
        [&server](const std::vector<Reading>& readings, const std::vector<PointStats>& s) {
            server.Publish(readings, s);
        });
    server.Stop();
    return stats;
}

std::string PageNote(const std::string& url, bool allow_writes) {
    std::string note = "Open " + url + " in a browser: the chart, the statistics and the last failures, live; " +
                       (allow_writes ? "its form writes values (each confirmed first)."
                                     : "read-only (--allow-writes lets its form write values).");
    return note;
}

int Watch(Run& run) {
    if (const char* why = WatchServer::Unavailable()) throw ToolError(kExitUsage, why);
    run.Load();
    run.OpenPort(run.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = run.ParsePoints(run.options.addresses, run.Type());
    WatchServer server;
    double seconds = 0;
    bool interrupted = false;
    const Options& o = run.options;
    const auto stats = WatchLoop(run, points, o.count, o.interval_s, o.allow_writes, server,
                                 [&](const std::string& url) {
                                     ErrorLine(PageNote(url, o.allow_writes) + " Ctrl-C ends.");
                                     if (o.listen_address == "0.0.0.0" || o.listen_address == "::")
                                         ErrorLine("  (served on every network this machine is on: open it "
                                                   "with the machine's address in place of " +
                                                   o.listen_address + ")");
                                 },
                                 &seconds, &interrupted);
    run.session->Close();
    run.relay.Stop();
    run.reporter.Stats(stats, seconds, interrupted);
    if (interrupted) run.Verbose("watch ended by Ctrl-C; port closed");
    return run.Finish();
}

// One line of the scan: the cause in a few words.
std::string BadWords(const Diagnosis& d) {
    switch (d.cause) {
        case Cause::kNak: return "NAK";
        case Cause::kBadBcc: return "BCC wrong";
        case Cause::kBadStx: return "no STX";
        case Cause::kBadEtx: return "no ETX";
        case Cause::kBadIdentifier: return "wrong identifier";
        case Cause::kNoFrame: return "no frame: line settings?";
        case Cause::kCutShort: return "replies cut short";
        case Cause::kLate: return fmt::format("answers {:.0f} ms late", d.late_ms);
        case Cause::kNotNumber: return "data not a number";
        default: return CauseCode(d.cause);
    }
}

int Scan(Run& run) {
    std::vector<int> units;
    std::string why;
    if (!ParseUnitList(run.options.units.empty() ? "0-99" : run.options.units, &units, &why))
        throw ToolError(kExitUsage, "--units: " + why);
    const std::string& id = run.options.identifier;
    const int channel = run.options.channel;
    run.Load();
    run.OpenPort(run.RequirePort(), rexf::kFactoryIntervalTimeMs);
    // The driver checks the identifier when it parses the first address.
    PointList points;
    for (int unit : units) {
        const std::string address = fmt::format("{:02d}K{}{}", unit, channel, id);
        try {
            points.push_back(run.ParsePoint(address, run.Type()));
        } catch (const ToolError&) {
            throw ToolError(kExitBadAddress, "invalid identifier \"" + id + "\" (the driver refuses " + address +
                                                 "); identifiers are two characters such as M1, S1, SL "
                                                 "('qdxpoll identifiers' lists them)");
        }
    }
    const int quick = run.timeout_ms, generous = std::max(run.safe_timeout_ms, run.timeout_ms);
    ErrorLine(fmt::format("Scanning {} unit address{} for {} on channel {} at a {} ms reply timeout: up to {:.1f} s "
                          "when none answers (3 attempts each); every hit is confirmed at {} ms after a quiet pause",
                          units.size(), units.size() == 1 ? "" : "es", id, channel, quick,
                          units.size() * 3.0 * quick / 1000.0, generous));
    const bool progress = StderrIsTerminal();
    const auto start = std::chrono::steady_clock::now();
    ScanTotals totals;
    std::string bad_hint;  // the next step for the first address that answers badly
    totals.identifier = id;
    totals.channel = channel;
    auto clear_progress = [&] {
        if (progress) std::fprintf(stderr, "\r%*s\r", 60, "");
    };
    // Confirms a hit: after a quiet pause, one more read at the generous
    // timeout. A late answer from an address polled before is met by no
    // confirming read.
    auto confirm = [&](Point* p) {
        run.relay.ListenQuiet(generous, 4 * generous);
        run.session->SetReplyTimeout(run.module_port, TimeoutUnits(generous));
        const int saved = run.timeout_ms;
        run.timeout_ms = generous;
        Done c = run.Request(RequestKind::kRead, p);
        run.timeout_ms = saved;
        run.session->SetReplyTimeout(run.module_port, TimeoutUnits(quick));
        return c;
    };
    auto record = [&](Point* p, const Done& c) {
        const Diagnosis& d = c.diagnosis;
        if (d.cause == Cause::kGood) {
            totals.good.push_back(p->unit());
        } else if (d.cause == Cause::kEot) {
            totals.eot.push_back(p->unit());
        } else if (d.cause == Cause::kSilent || d.cause == Cause::kNoValidReply) {
            return false;
        } else {
            totals.bad.emplace_back(p->unit(), BadWords(d));
            if (bad_hint.empty()) bad_hint = d.hint;
        }
        clear_progress();
        Reading r = run.MakeReading(*p, c, false, "read");
        if (d.cause == Cause::kEot) r.error = "answers EOT: the unit lacks " + p->identifier() + ", or its option";
        run.reporter.Emit(r);
        return true;
    };
    for (size_t i = 0; i < points.size(); ++i) {
        Point* p = points[i].get();
        if (Interrupted()) break;
        if (progress)
            std::fprintf(stderr, "\rscanning unit %02d (%zu of %zu), %zu answered ", p->unit(), i + 1, points.size(),
                         totals.good.size());
        const Done first = run.Request(RequestKind::kRead, p, "", false);
        ++totals.tried;
        if (first.diagnosis.cause == Cause::kInterrupted) break;
        const bool hit = first.diagnosis.cause != Cause::kSilent &&
                         !(first.diagnosis.cause == Cause::kNoValidReply && !first.outcome.ok());
        if (!hit) {
            ++totals.silent;
            continue;
        }
        const Done c = confirm(p);
        if (c.diagnosis.cause == Cause::kInterrupted) break;
        if (record(p, c)) continue;
        // No confirming answer: the hit was a late answer from the address
        // polled before, which then answers more slowly than the scan waits.
        ++totals.silent;
        if (i > 0) {
            Point* before = points[i - 1].get();
            const bool known = std::count(totals.good.begin(), totals.good.end(), before->unit()) > 0;
            if (!known) {
                const Done b = confirm(before);
                if (record(before, b)) --totals.silent;
            }
        }
    }
    clear_progress();
    totals.interrupted = Interrupted();
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    run.reporter.ScanSummary(totals);
    std::string bad_list;
    for (const auto& b : totals.bad) bad_list += fmt::format("{}{:02d} ({})", bad_list.empty() ? "" : ", ", b.first,
                                                             b.second);
    const std::string tried = fmt::format("{} addresses at {} ms", totals.tried, quick);
    if (totals.interrupted)
        run.Fail(kExitInterrupted, fmt::format("interrupted: the scan ended after {} of {} addresses", totals.tried,
                                               points.size()),
                 "the port is closed");
    else if (totals.good.empty() && !totals.bad.empty())
        run.Fail(kExitNoReply,
                 fmt::format("no unit answers {} properly on channel {}, but {} address{} answer{} badly: {}", id,
                             channel, totals.bad.size(), totals.bad.size() == 1 ? "" : "es",
                             totals.bad.size() == 1 ? "s" : "", bad_list),
                 "units are there, but their answers fail; " + bad_hint);
    else if (!totals.bad.empty())
        run.Fail(kExitNoReply, fmt::format("{} address{} answer{} {} badly: {}", totals.bad.size(),
                                           totals.bad.size() == 1 ? "" : "es", totals.bad.size() == 1 ? "s" : "", id,
                                           bad_list),
                 bad_hint);
    else if (totals.good.empty() && !totals.eot.empty())
        run.Fail(kExitNoReply,
                 fmt::format("no unit has {} on channel {}: {} answer EOT", id, channel, totals.eot.size()),
                 "the units are there: scan an identifier every unit has, such as M1");
    else if (totals.good.empty())
        run.Fail(kExitNoReply, fmt::format("no unit answers {} on channel {} ({})", id, channel, tried),
                 "check the line settings ('qdxpoll probe'), the channel, the wiring and its termination");
    return run.Finish();
}

// The line settings probe tries: those given first, then 1200 to 19200 baud
// with 7E1, 7O1, 7E2, 7O2 and 8N1.
std::vector<LineValues> ProbeSettings(const Options& o, const LineValues& defaults) {
    std::vector<LineValues> list;
    auto add = [&list](const LineValues& l) {
        for (const LineValues& have : list)
            if (LineText(have) == LineText(l)) return;
        list.push_back(l);
    };
    if (!o.line.empty() || o.baud || o.data_bits || !o.parity.empty() || !o.stop_bits.empty())
        add(ResolveLine(o, defaults));
    for (uint16_t baud : {1200, 2400, 4800, 9600, 19200})
        for (const char* format : {"7E1", "7O1", "7E2", "7O2", "8N1"}) {
            LineValues l{};
            ParseLineText(std::to_string(baud) + "," + format, &l);
            add(l);
        }
    return list;
}

int Probe(Run& run) {
    Options& o = run.options;
    const std::string port = run.RequirePort();
    const std::string id = o.identifier.empty() ? "M1" : o.identifier;
    std::vector<int> units;
    std::string why;
    if (!ParseUnitList(o.units.empty() ? "1" : o.units, &units, &why)) throw ToolError(kExitUsage, "--units: " + why);
    if (id.size() != 2) throw ToolError(kExitUsage, "the identifier has two characters, such as M1");
    const LineValues defaults{9600, 7, 2, 1};
    const std::vector<LineValues> settings = ProbeSettings(o, defaults);
    double worst_ms = 0;
    for (const LineValues& l : settings)
        worst_ms += units.size() * static_cast<double>(o.timeout_ms.value_or(SafeTimeoutMs(l, rexf::kMaxIntervalTimeMs)));
    std::string unit_text;
    for (int u : units) unit_text += fmt::format("{}{:02d}", unit_text.empty() ? "" : " ", u);
    ErrorLine(fmt::format("Probing {} for unit{} {} ({} on channel {}): {} line settings, up to {:.1f} s", port,
                          units.size() == 1 ? "" : "s", unit_text, id, o.channel, settings.size(),
                          worst_ms / 1000.0));
    struct Found {
        LineValues line;
        int unit;
        Cause cause;
        std::string shown;
        size_t bytes;
    };
    std::vector<Found> found;
    for (const LineValues& l : settings) {
        for (int unit : units) {
            if (Interrupted()) break;
            const int timeout = TimeoutUnits(o.timeout_ms.value_or(SafeTimeoutMs(l, rexf::kMaxIntervalTimeMs))) * 10;
            const std::vector<uint8_t> frame = {0x04,
                                                static_cast<uint8_t>('0' + unit / 10),
                                                static_cast<uint8_t>('0' + unit % 10),
                                                'K',
                                                static_cast<uint8_t>('0' + o.channel),
                                                static_cast<uint8_t>(id[0]),
                                                static_cast<uint8_t>(id[1]),
                                                0x05};
            const LineTry t = TryLineSetting(port, l, frame, 11, timeout);
            if (!t.opened) {
                if (t.port_failed) {
                    const std::string hint = PortOpenHint(port);
                    throw ToolError(kExitPortUnavailable,
                                    "cannot open port " + port + " (" + (hint.empty() ? t.error : hint) + ")");
                }
                found.push_back({l, unit, Cause::kNoValidReply, "the port refused this setting: " + t.error, 0});
            } else {
                std::vector<uint8_t> answer;
                for (const WireChunk& c : t.wire)
                    if (c.direction == Direction::kFromUnit)
                        answer.insert(answer.end(), c.bytes.begin(), c.bytes.end());
                Found f{l, unit, ClassifyAnswer(answer, id), "", answer.size()};
                if (f.cause == Cause::kGood)
                    f.shown = "answers: " + id + " [" + std::string(answer.begin() + 3, answer.begin() + 9) + "]";
                else if (f.cause == Cause::kEot)
                    f.shown = "answers EOT: the line works, but the unit lacks " + id;
                else if (f.cause == Cause::kNak)
                    f.shown = "answers NAK: the unit hears the frame as damaged";
                else if (f.cause == Cause::kSilent)
                    f.shown = "silent";
                else
                    f.shown = fmt::format("garbage: {} byte{} {}", answer.size(), answer.size() == 1 ? "" : "s",
                                          ShowSome(answer));
                found.push_back(f);
            }
            const Found& f = found.back();
            if (o.format == OutputFormat::kJson) {
                std::fprintf(stdout, "%s\n",
                             fmt::format("{{\"action\":\"probe\",\"line\":\"{}\",\"unit\":{},\"result\":\"{}\","
                                         "\"bytes\":{}}}",
                                         LineText(l), unit, CauseCode(f.cause), f.bytes)
                                 .c_str());
            } else if (o.format == OutputFormat::kCsv) {
                std::fprintf(stdout, "%s%s,%d,%s,%zu\n", found.size() == 1 ? "line,unit,result,bytes\n" : "",
                             LineText(l).c_str(), unit, CauseCode(f.cause), f.bytes);
            } else {
                std::fprintf(stdout, "  %-10s unit %02d  %s\n", LineText(l).c_str(), unit, f.shown.c_str());
            }
            std::fflush(stdout);
        }
        if (Interrupted()) break;
    }
    // The fastest setting that a unit understood: most characters a second.
    const Found* best = nullptr;
    std::string working, garbage;
    auto rate = [](const LineValues& l) {
        return l.baud_rate / rexf::CharacterBits(l.data_bits, l.parity != 0, StopBitsCount(l.stop_bits));
    };
    for (const Found& f : found) {
        const bool understood = f.cause == Cause::kGood || f.cause == Cause::kEot || f.cause == Cause::kNak;
        const bool noise = !understood && f.cause != Cause::kSilent && f.cause != Cause::kNoValidReply;
        if (understood) {
            working += (working.empty() ? "" : " ") + LineText(f.line);
            if (best == nullptr || rate(f.line) > rate(best->line) ||
                (rate(f.line) == rate(best->line) && f.cause == Cause::kGood && best->cause != Cause::kGood))
                best = &f;
        }
        if (noise) garbage += (garbage.empty() ? "" : " ") + LineText(f.line);
    }
    if (o.format == OutputFormat::kJson)
        std::fprintf(stdout, "%s\n",
                     fmt::format("{{\"time\":\"{}\",\"action\":\"summary\",\"answering\":\"{}\",\"garbage\":\"{}\","
                                 "\"use\":\"{}\"}}",
                                 IsoTime(WallClock::now()), working, garbage, best ? LineText(best->line) : "")
                         .c_str());
    if (best != nullptr) {
        run.reporter.Text("\nAnswering at: " + working);
        run.reporter.Text(fmt::format("Use: qdxpoll --port {} --line {} read {:02d}K{}{}", port, LineText(best->line),
                                      best->unit, o.channel, id));
    } else if (Interrupted()) {
        run.Fail(kExitInterrupted, "interrupted: the probe ended early", "the port is closed");
    } else if (!garbage.empty()) {
        run.Fail(kExitNoReply, "no setting tried gives a valid answer, but these give garbage: " + garbage,
                 "a unit is on the line at one of these speeds: try other formats with --line, and check the "
                 "unit's communication settings");
    } else {
        run.Fail(kExitNoReply, fmt::format("nothing answers {} at unit{} {} at any setting tried", id,
                                           units.size() == 1 ? "" : "s", unit_text),
                 "check the unit address, the wiring and its termination; on RS-485 the adapter must release the "
                 "line after sending");
    }
    std::fflush(stdout);
    return run.Finish();
}

int ListPorts(Run& run) {
    run.reporter.Ports(ListSerialDevices());
    return kExitOk;
}

int Identifiers(Run& run) {
    run.reporter.Identifiers();
    return kExitOk;
}

// The demo's last step: the page of watch. On a terminal it serves until
// Ctrl-C; without one (a script, CI) it checks that the page answers,
// serves two seconds and ends. Against the simulator the page may write; a
// real unit's settings only with --allow-writes.
void DemoWatch(Run& run, bool own_simulator) {
    Reporter& out = run.reporter;
    out.Text("\n== 7. Watch: the points live in a browser ==");
    if (const char* why = WatchServer::Unavailable()) {
        out.Text(std::string("  skipped: ") + why);
        return;
    }
    const bool interactive = StdinIsTerminal() && StdoutIsTerminal();
    const bool allow_writes = own_simulator || run.options.allow_writes;
    auto address = [&run](const char* id) { return fmt::format("{:02d}K1{}", run.options.unit, id); };
    PointList points;
    points.push_back(run.ParsePoint(address("M1"), kTypeFloat));
    points.push_back(run.ParsePoint(address("S1"), kTypeFloat));
    if (own_simulator) {
        points.push_back(run.ParsePoint(address("O1"), kTypeFloat));
        // A new set value: the chart opens on a step response.
        auto s1 = run.ParsePoint(address("S1"), kTypeFloat);
        std::string why;
        if (EncodeValue(kTypeFloat, "200", &s1->cell, &why)) out.Emit(run.WritePoint(s1.get(), false, "200"), "  ");
        out.Text("  The simulated unit heats a furnace 60 times faster than real time: M1 settles at the new S1 "
                 "in about 15 s.");
    }
    WatchServer server;
    double seconds = 0;
    bool interrupted = false;
    const auto stats = WatchLoop(
        run, points, interactive ? 0 : 4, 0.5, allow_writes, server,
        [&](const std::string& url) {
            if (interactive) {
                out.Text("  " + PageNote(url, allow_writes));
                if (own_simulator) out.Text("  Write another S1 with the page's form and watch M1 follow it.");
                out.Text("  Also: qdxpoll --port ttyUSB0 watch 01K1M1 01K1S1. Ctrl-C ends the demo.");
                return;
            }
            std::string result;
            if (!server.CheckPage(&result)) run.Fail(kExitInternal, "the page of watch at " + url + ": " + result);
            out.Text("  Serving " + url + " for two seconds only (no terminal here: the demo does not wait for "
                     "Ctrl-C); " + result + ".");
            out.Text("  On a terminal the demo serves it until Ctrl-C; or: qdxpoll --port ttyUSB0 watch 01K1M1 "
                     "01K1S1");
        },
        &seconds, &interrupted);
    out.Stats(stats, seconds, interrupted);
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

    run.OpenPort(port, rexf::kMaxIntervalTimeMs);
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
                const Reading w = run.WritePoint(s1.get(), true, text);
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
            reads += static_cast<int>(s.requests);
            good += static_cast<int>(s.good);
            total_ms += s.total_ms;
        }
        out.Stats(stats, seconds, interrupted);
    }

    out.Text("\n== 6. Summary ==");
    out.Text(fmt::format("{} reads and {} write{}, {} good, {} failed; average {} ms a transaction", reads,
                         writes, writes == 1 ? "" : "s", good, reads + writes - good,
                         Millis(good > 0 ? total_ms / good : 0)));
    out.Text(run.exit_code == kExitOk ? "Everything worked: the driver, the port and the unit are fine."
                                      : "Something failed: " + run.first_failure);
    if (own_simulator)
        out.Text("Next: qdxpoll --port ttyUSB0 read 01K1M1   (your controller on a real port)");
    if (!Interrupted()) DemoWatch(run, own_simulator);
    run.session->Close();
    return run.Finish();
}

// The line of save, diff and restore: the run's driver, relay and reply
// timeout; failures are theirs to count, so the run's own exit code is left
// as it was.
class RunLine : public UnitLine {
public:
    explicit RunLine(Run& run) : run_(run) {}

    void Open() override {
        if (run_.session && run_.session->started()) return;
        run_.Load();
        run_.OpenPort(run_.RequirePort(), rexf::kMaxIntervalTimeMs);
    }

    Reading Read(int unit, int channel, const std::string& ident) override {
        auto point = run_.ParsePoint(Address(unit, channel, ident), kTypeFloat);
        return run_.MakeReading(*point, run_.Request(RequestKind::kRead, point.get()), false, "read");
    }

    Reading Write(int unit, int channel, const std::string& ident, const std::string& text, int* exit_code) override {
        auto point = run_.ParsePoint(Address(unit, channel, ident), kTypeFloat);
        std::string why;
        if (!EncodeValue(kTypeFloat, text, &point->cell, &why)) throw ToolError(kExitUsage, why);
        const int saved_code = run_.exit_code;
        const std::string saved_failure = run_.first_failure, saved_hint = run_.first_hint;
        run_.last_code = kExitOk;
        run_.last_hint.clear();
        Reading r = run_.WritePoint(point.get(), true, text);
        *exit_code = r.status == CauseCode(Cause::kInterrupted) ? kExitInterrupted : run_.last_code;
        r.hint = run_.last_hint;
        run_.exit_code = saved_code;
        run_.first_failure = saved_failure;
        run_.first_hint = saved_hint;
        return r;
    }

    std::string Port() const override { return run_.options.port; }
    std::string Line() const override { return LineText(run_.line); }

private:
    static std::string Address(int unit, int channel, const std::string& ident) {
        return fmt::format("{:02d}K{}{}", unit, channel, ident);
    }

    Run& run_;
};

}  // namespace

int RunCommand(Options& options) {
    Run run(options);
    const std::string& c = options.command;
    SetInterruptHook(&TraceRelay::InterruptFromSignal);
    if (options.trace && options.direct)
        throw ToolError(kExitUsage, "--trace watches the line through qdxpoll; --direct gives the driver the port "
                                    "itself: choose one");
    if (options.trace && !TraceRelay::Available()) {
        std::string why;
        bool port_failed = false;
        std::string unused;
        run.relay.Start("", LineValues{}, true, &unused, &why, &port_failed);
        throw ToolError(kExitUsage, why);
    }
    if (c == "info") return Info(run);
    if (c == "read") return Read(run);
    if (c == "write") return Write(run);
    if (c == "poll") return Poll(run);
    if (c == "watch") return Watch(run);
    if (c == "scan") return Scan(run);
    if (c == "probe") return Probe(run);
    if (c == "save" || c == "diff" || c == "restore") {
        RunLine line(run);
        if (c == "save") return SaveCommand(options, line);
        if (c == "diff") return DiffCommand(options, line);
        return RestoreCommand(options, line);
    }
    if (c == "identifiers") return Identifiers(run);
    if (c == "list-ports") return ListPorts(run);
    if (c == "demo") return Demo(run);
    throw ToolError(kExitUsage, "unknown command " + c);
}
