// The page of watch (and of the demo's last step) as a cycle's way out:
// what it shows of the points, every cycle published to it, and between
// cycles the writes its form asks for.
#ifndef QDXPOLL_PAGE_SINK_H
#define QDXPOLL_PAGE_SINK_H

#include <chrono>
#include <functional>
#include <string>

#include "history/history_recording.h"
#include "polling/cycle_sink.h"
#include "session/session.h"
#include "watch/watch_server.h"

class PageSink : public CycleSink {
public:
    // The page of these points, polled every interval_s. With a recorder
    // (watch --db) the page reads its ranges from the history and its
    // writes are kept there too.
    PageSink(Session& session, const PointList& points, double interval_s, bool allow_writes, WatchServer& server,
             HistoryRecorder* recorder);

    // Serves the page; `serving` is told its address. Throws ToolError when
    // it cannot be served.
    void Start(const std::function<void(const std::string&)>& serving);
    // Between cycles, until `until`: the page's writes, one after another.
    // With `wrote`, at most one write in the gap it shares with MQTT's.
    void Wait(std::chrono::steady_clock::time_point until, bool* wrote = nullptr);

    void Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) override;
    void End() override;

private:
    Session& session_;
    WatchServer& server_;
    HistoryRecorder* recorder_;
    WatchSetup setup_;
};

// What the page shows and whether its form writes, for the user.
std::string PageNote(const std::string& url, bool allow_writes);

#endif  // QDXPOLL_PAGE_SINK_H
