// run: a line as its file describes it, as a service runs it: one poll loop
// feeding every output the file names, the service manager told when it is
// ready, that the loop is alive, and when it stops; SIGHUP reads the file
// again without letting go of the port.
#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "commands/line_service.h"
#include "platform/platform.h"
#include "platform/service_manager.h"
#include "polling/line_outputs.h"
#include "polling/polling_command.h"
#include "session/driver_log.h"
#include "session/session.h"

namespace {

OptionsReader g_reader = nullptr;

// One setup of the outputs, polled until the end or until a reload brings a
// file that loads (then *fresh holds it).
bool PollSetup(Session& session, PointList& points, ServiceSink& service, RunTotals& totals, Options* fresh) {
    const Options& o = session.options;
    LineOutputs outputs(session, points);
    if (outputs.named() > 0 && outputs.running() == 0)
        throw ToolError(kExitUsage, "none of the file's outputs could start (the messages above say why)");
    const std::string status = RunStatus(session, points.size(), outputs.Running());
    ErrorLine("run: " + status + ". " + RunControls(o.config_file) + ".");
    service.notifier().Ready(status);
    ReporterSink lines(session.reporter);
    CycleSinks sinks;
    // Each cycle on a terminal, or as records when --json or --csv asks.
    if (StdoutIsTerminal() || o.format != OutputFormat::kText) sinks.push_back(&lines);
    sinks.insert(sinks.end(), outputs.sinks().begin(), outputs.sinks().end());
    sinks.push_back(&service);
    const auto wait = [&](std::chrono::steady_clock::time_point until) {
        outputs.Wait(until, [&service] { return service.Ends(); });
    };
    for (;;) {
        double seconds = 0;
        totals.stats = PollLoop(session, points, o.count, o.interval_s, &seconds, &totals.interrupted, wait, sinks);
        totals.seconds += seconds;
        totals.last_seconds = seconds;
        if (!service.TakeReload()) break;
        service.notifier().Reloading("reading " + o.config_file + " again");
        if (g_reader != nullptr && g_reader(o.arguments, fresh)) {
            outputs.End();
            totals.summary = outputs.Summary();
            return true;
        }
        ErrorLine("qdxpoll: " + o.config_file + " does not load (above: why); the running setup is kept");
        service.notifier().Ready(status);
    }
    service.notifier().Stopping("stopping: " + outputs.Running() + " end");
    outputs.End();
    totals.summary = outputs.Summary();
    return false;
}

}  // namespace

void SetOptionsReader(OptionsReader reader) { g_reader = reader; }

int RunLine(Session& session) {
    UseJournalPriorities(StderrIsJournal());
    InstallReloadSignal();
    ServiceNotifier notifier;
    ServiceSink service(session, notifier);
    PrepareRun(&session.options);
    session.Load();
    PointList points = StartPolling(session);
    RunTotals totals;
    Options fresh;
    while (PollSetup(session, points, service, totals, &fresh)) {
        TakeReloadedOptions(&session.options, std::move(fresh));
        fresh = Options{};
        points = session.ParsePoints(session.options.addresses, session.Type());
        ++totals.reloads;
    }
    session.port.Close();
    // Records end with the points' and the line's statistics, as poll's do.
    if (session.options.format != OutputFormat::kText)
        session.reporter.Stats(totals.stats, totals.last_seconds, totals.interrupted, &session.line_stats);
    ErrorLine("run: " + RunSummary(session, service.cycles(), totals));
    return session.Finish();
}
