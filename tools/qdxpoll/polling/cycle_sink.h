// Where every poll cycle goes: the poll loop hands each cycle to a list of
// sinks (the reporter's lines, the history, the page, MQTT), and each one
// ends when the polling ends, before the port closes and the summary.
#ifndef QDXPOLL_CYCLE_SINK_H
#define QDXPOLL_CYCLE_SINK_H

#include <vector>

#include "readings/output.h"
#include "readings/reading.h"

class CycleSink {
public:
    virtual ~CycleSink() = default;
    // One cycle's readings, and every point's statistics so far.
    virtual void Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) = 0;
    // After the last cycle: what still waits goes out.
    virtual void End() {}
    // Whether the poll is to end before its next cycle (a reload asked).
    virtual bool Ends() { return false; }
};

// The terminal's line, or the JSON or CSV records, of every cycle.
class ReporterSink : public CycleSink {
public:
    explicit ReporterSink(Reporter& reporter) : reporter_(reporter) {}
    void Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>&) override {
        reporter_.Cycle(readings);
    }

private:
    Reporter& reporter_;
};

using CycleSinks = std::vector<CycleSink*>;

#endif  // QDXPOLL_CYCLE_SINK_H
