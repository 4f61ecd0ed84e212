// The outputs a line's file names, fed by one poll loop: the history
// (database), the page (listen, http) and the broker ([mqtt]). One that
// cannot start is said and left out, and the others run; the page's and the
// broker's writes share each gap between two cycles, one write a gap.
#ifndef QDXPOLL_LINE_OUTPUTS_H
#define QDXPOLL_LINE_OUTPUTS_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "polling/cycle_sink.h"
#include "polling/history_sink.h"
#include "polling/mqtt_output.h"
#include "polling/page_sink.h"
#include "session/session.h"
#include "watch/watch_server.h"

class LineOutputs {
public:
    // Starts every output the options name, history first (the page reads
    // its ranges from it). The module is loaded and the port open.
    LineOutputs(Session& session, const PointList& points);
    ~LineOutputs();
    LineOutputs(const LineOutputs&) = delete;
    LineOutputs& operator=(const LineOutputs&) = delete;

    const CycleSinks& sinks() const { return sinks_; }
    // How many outputs the file names, and how many of them run.
    int named() const { return named_; }
    int running() const { return static_cast<int>(sinks_.size()); }
    // "history line1.db, page http://127.0.0.1:8080/, mqtt mqtt://..."
    std::string Running() const;

    // Between cycles until `until`: the page's and the broker's writes, at
    // most one in the gap, the two taking turns at going first. `stop` is
    // asked every slice of the gap: true ends the wait early.
    void Wait(std::chrono::steady_clock::time_point until, const std::function<bool()>& stop);
    // Ends every output, the last started first.
    void End();
    // One line of what each output did, after End.
    std::string Summary() const;

private:
    template <class Start>
    void TryStart(const char* what, Start start);

    Session& session_;
    std::unique_ptr<HistorySink> history_;
    std::unique_ptr<WatchServer> server_;
    std::unique_ptr<PageSink> page_;
    std::unique_ptr<MqttOutput> mqtt_;
    CycleSinks sinks_;
    std::string url_;
    int named_ = 0;
    bool page_first_ = true;
    bool ended_ = false;
};

#endif  // QDXPOLL_LINE_OUTPUTS_H
