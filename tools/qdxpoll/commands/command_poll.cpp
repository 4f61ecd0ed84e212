// poll and watch: the points every interval, on the terminal and, with
// watch, live in a browser.

#include "base/exit_codes.h"
#include "base/host_port.h"
#include "commands/commands.h"
#include "polling/history_sink.h"
#include "polling/page_sink.h"
#include "polling/polling_command.h"
#include "session/driver_log.h"
#include "session/session.h"
#include "watch/watch_server.h"

int RunPoll(Session& session) {
    session.Load();
    PointList points = StartPolling(session);
    return RunPolling(session, "poll", points, {});
}

int RunWatch(Session& session) {
    if (const char* why = WatchServer::Unavailable()) throw ToolError(kExitUsage, why);
    session.Load();
    PointList points = StartPolling(session);
    const Options& o = session.options;
    // watch --db: every sample and every write from the page kept in the
    // line's history, from which the page reads its time ranges.
    std::unique_ptr<HistorySink> history;
    if (!o.db_file.empty()) history = std::make_unique<HistorySink>(session, "watch", points);
    WatchServer server;
    PageSink page(session, points, o.interval_s, o.allow_writes, server,
                  history ? &history->recorder() : nullptr);
    page.Start([&](const std::string& url) {
        ErrorLine(PageNote(url, o.allow_writes) + " Ctrl-C ends.");
        if (IsEveryAddress(o.listen_address))
            ErrorLine(std::string("  (served on every network this machine is on: from another machine, open it "
                                  "with this machine's address in place of ") +
                      (o.listen_address.find(':') != std::string::npos ? "[::1]" : "127.0.0.1") + ")");
    });
    CycleSinks sinks;
    if (history) sinks.push_back(history.get());
    sinks.push_back(&page);
    return RunPolling(session, "watch", points, sinks, [&page](auto until) { page.Wait(until); });
}
