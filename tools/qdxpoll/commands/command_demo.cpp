// demo: a guided tour of the driver, against the simulator started on a
// pseudo-terminal (on Windows a TCP port of 127.0.0.1) or, with --port, a
// real unit.
#include <optional>

#include <fmt/format.h>

#include "base/cp437.h"
#include "base/exit_codes.h"
#include "commands/commands.h"
#include "config/line_settings.h"
#include "platform/ask.h"
#include "platform/platform.h"
#include "polling/page_sink.h"
#include "polling/poll_loop.h"
#include "rexf/line_timing.h"
#include "session/module_loader.h"
#include "session/session.h"
#include "session/write_policy.h"
#include "watch/watch_server.h"

namespace {

// The demo's last step: the page of watch. On a terminal it serves until
// Ctrl-C; without one (a script, CI) it checks that the page answers,
// serves two seconds and ends. Against the simulator the page may write; a
// real unit's settings only with --allow-writes, and only on a terminal.
void DemoWatch(Session& session, bool own_simulator) {
    Reporter& out = session.reporter;
    out.Text("\n== 7. Watch: the points live in a browser ==");
    if (const char* why = WatchServer::Unavailable()) {
        out.Text(std::string("  skipped: ") + why);
        return;
    }
    const bool interactive = StdinIsTerminal() && StdoutIsTerminal();
    const bool allow_writes = own_simulator || (session.options.allow_writes && interactive);
    auto address = [&session](const char* id) { return fmt::format("{:02d}K1{}", session.options.unit, id); };
    PointList points;
    points.push_back(session.ParsePoint(address("M1"), kTypeFloat));
    points.push_back(session.ParsePoint(address("S1"), kTypeFloat));
    if (own_simulator) {
        points.push_back(session.ParsePoint(address("O1"), kTypeFloat));
        // A new set value: the chart opens on a step response.
        auto s1 = session.ParsePoint(address("S1"), kTypeFloat);
        std::string why;
        if (EncodeValue(kTypeFloat, "200", &s1->cell, &why)) out.Emit(WritePoint(session, s1.get(), false, "200"), "  ");
        out.Text("  The simulated unit heats a furnace 60 times faster than real time: M1 settles at the new S1 "
                 "in about 15 s.");
    }
    WatchServer server;
    PageSink page(session, points, 0.5, allow_writes, server, nullptr);
    page.Start([&](const std::string& url) {
        if (interactive) {
            out.Text("  " + PageNote(url, allow_writes));
            if (own_simulator) out.Text("  Write another S1 with the page's form and watch M1 follow it.");
            out.Text(fmt::format("  Also: qdxpoll --port {} watch 01K1M1 01K1S1. Ctrl-C ends the demo.",
                                 kExamplePortName));
            return;
        }
        std::string result;
        if (!server.CheckPage(&result)) session.Fail(kExitInternal, "the page of watch at " + url + ": " + result);
        out.Text("  Serving " + url + " for two seconds only (no terminal here: the demo does not wait for "
                 "Ctrl-C); " + result + ".");
        out.Text(fmt::format("  On a terminal the demo serves it until Ctrl-C; or: qdxpoll --port {} watch "
                             "01K1M1 01K1S1",
                             kExamplePortName));
    });
    ReporterSink lines(session.reporter);
    double seconds = 0;
    bool interrupted = false;
    const auto stats = PollLoop(session, points, interactive ? 0 : 4, 0.5, &seconds, &interrupted,
                                [&page](auto until) { page.Wait(until); }, {&lines, &page});
    page.End();
    out.Stats(stats, seconds, interrupted);
}

}  // namespace

namespace {

std::string DemoAddress(int unit, const char* id) { return fmt::format("{:02d}K1{}", unit, id); }

// What the tour did, for its summary.
struct DemoTally {
    int reads = 0, writes = 0, good = 0;
    double total_ms = 0;

    void Count(const Reading& r, bool is_write) {
        (is_write ? writes : reads)++;
        if (r.ok) {
            ++good;
            total_ms += r.latency_ms;
        }
    }
};

// Without --port: the simulator started on a pseudo-terminal (Windows: a
// TCP port of 127.0.0.1); its port.
std::string StartDemoSimulator(Session& session) {
    const Options& o = session.options;
    const std::string program =
        FindCompanion(o.simulator_path, "QDXPOLL_SIMULATOR", kSimulatorFileName, "sim", QDXPOLL_BUILD_SIMULATOR_PATH);
    if (program.empty())
        throw ToolError(kExitInternal, std::string("cannot find the simulator ") + kSimulatorFileName +
                                           " (use --simulator PATH, or --port for real hardware)");
    std::string port, error;
    if (!session.simulator.Start(program, {"--realistic", "--speed", "60"}, o.verbose, &port, &error))
        throw ToolError(kExitInternal, error);
    session.reporter.Text("Simulator: " + program);
    session.reporter.Text("           units 01 02 03 on channel 1, listening on " + port);
    return port;
}

void DemoTypedReads(Session& session, DemoTally* tally) {
    session.reporter.Text("\n== 3. One read of each data type (requests 3 and 6) ==");
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
        auto p = session.ParsePoint(DemoAddress(session.options.unit, t.id), t.type);
        const Reading r = session.ReadPoint(p.get(), t.bit);
        tally->Count(r, false);
        session.reporter.Emit(r, fmt::format("  {:<36}", t.what));
    }
}

// The set value read, written (on real hardware the value read, unchanged,
// and only when the user says so) and read back.
void DemoWrite(Session& session, bool own_simulator, DemoTally* tally) {
    Reporter& out = session.reporter;
    out.Text("\n== 4. A write of the set value, read back (request 7) ==");
    if (Interrupted()) return;
    const int unit = session.options.unit;
    auto s1 = session.ParsePoint(DemoAddress(unit, "S1"), kTypeFloat);
    const Reading before = session.ReadPoint(s1.get(), std::nullopt);
    tally->Count(before, false);
    out.Emit(before, "  before:  ");
    if (!before.ok) return;
    const double target = own_simulator ? before.value.number + 10.5 : before.value.number;
    const std::string text = FloatText(static_cast<float>(target));
    std::string why;
    if (!EncodeValue(kTypeFloat, text, &s1->cell, &why)) {
        out.Text("  skipped: " + why);
        return;
    }
    if (!own_simulator) out.Text("  (real hardware: the value read is written back unchanged)");
    if (own_simulator || AskYes(fmt::format("  Write S1 := {} to unit {:02d}?", text, unit))) {
        const Reading w = WritePoint(session, s1.get(), true, text);
        tally->Count(w, true);
        out.Emit(w, "  write:   ");
    } else {
        out.Text(StdinIsTerminal() && StdoutIsTerminal()
                     ? "  not written"
                     : "  not written: no terminal to ask on, and a real unit is written only when asked for");
    }
}

void DemoPoll(Session& session, DemoTally* tally) {
    session.reporter.Text("\n== 5. Three poll cycles of M1 and S1 ==");
    if (Interrupted()) return;
    double seconds = 0;
    bool interrupted = false;
    PointList points;
    points.push_back(session.ParsePoint(DemoAddress(session.options.unit, "M1"), kTypeFloat));
    points.push_back(session.ParsePoint(DemoAddress(session.options.unit, "S1"), kTypeFloat));
    ReporterSink lines(session.reporter);
    const std::vector<PointStats> stats = PollLoop(session, points, 3, 0.5, &seconds, &interrupted, SleepUntil, {&lines});
    for (const PointStats& s : stats) {
        tally->reads += static_cast<int>(s.requests);
        tally->good += static_cast<int>(s.good);
        tally->total_ms += s.total_ms;
    }
    session.reporter.Stats(stats, seconds, interrupted);
}

void DemoSummary(Session& session, bool own_simulator, const DemoTally& t) {
    Reporter& out = session.reporter;
    out.Text("\n== 6. Summary ==");
    out.Text(fmt::format("{} reads and {} write{}, {} good, {} failed; average {} ms a transaction", t.reads, t.writes,
                         t.writes == 1 ? "" : "s", t.good, t.reads + t.writes - t.good,
                         Millis(t.good > 0 ? t.total_ms / t.good : 0)));
    out.Text(session.exit_code == kExitOk ? "Everything worked: the driver, the port and the unit are fine."
                                          : "Something failed: " + session.first_failure);
    if (own_simulator)
        out.Text(fmt::format("Next: qdxpoll --port {} read 01K1M1   (your controller on a real port)",
                             kExamplePortName));
}

}  // namespace

int RunDemo(Session& session) {
    Reporter& out = session.reporter;
    const bool own_simulator = session.options.port.empty();
    const std::string port = own_simulator ? StartDemoSimulator(session) : session.options.port;
    session.Load();

    out.Text("\n== 1. The driver (request 14) ==");
    out.Text("Driver:       " + session.description.name);
    out.Text("Default line: " + DescribeLine(session.description.default_line));
    out.Text("Banner:" + Cp437ToUtf8(session.description.banner));

    session.OpenPort(port, rexf::kMaxIntervalTimeMs);
    out.Text(fmt::format("== 2. Port {} started (request 1): {}, reply timeout {} ms ==", port,
                         DescribeLine(session.port.line), TimeoutUnits(session.port.timeout_ms) * 10));

    DemoTally tally;
    DemoTypedReads(session, &tally);
    DemoWrite(session, own_simulator, &tally);
    DemoPoll(session, &tally);
    // A tour cut short worked only in part; Ctrl-C in the last step, the
    // page, is its usual end.
    if (Interrupted()) session.Fail(kExitInterrupted, "interrupted: the tour ended early", "the port is closed");
    DemoSummary(session, own_simulator, tally);
    if (!Interrupted()) DemoWatch(session, own_simulator);
    session.driver->Close();
    return session.Finish();
}
