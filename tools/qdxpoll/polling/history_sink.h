// The history as a cycle's way out (log, watch --db): every sample kept,
// and at the end a history that could not be written becomes the run's
// failure.
#ifndef QDXPOLL_HISTORY_SINK_H
#define QDXPOLL_HISTORY_SINK_H

#include <string>

#include "history/history_recording.h"
#include "polling/cycle_sink.h"
#include "session/session.h"

class HistorySink : public CycleSink {
public:
    // Opens the history before the first poll, so that one that cannot be
    // written stops the command before it starts. `command` and the points
    // name the run.
    HistorySink(Session& session, const char* command, const PointList& points);

    void Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>&) override;
    void End() override;

    HistoryRecorder& recorder() { return recorder_; }

private:
    Session& session_;
    HistoryRecorder recorder_;
};

#endif  // QDXPOLL_HISTORY_SINK_H
