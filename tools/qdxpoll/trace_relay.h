// The trace relay: qdxpoll opens the real port itself and gives the driver a
// fresh pseudo-terminal instead; a background thread copies the bytes both
// ways and prints every frame as it passes. The driver is not changed.
// Linux only; elsewhere Start says why it is not available.
#ifndef QDXPOLL_TRACE_RELAY_H
#define QDXPOLL_TRACE_RELAY_H

#include <memory>
#include <string>

#include "host/records.h"

class TraceRelay {
public:
    // Whether this platform can trace at all; Start's error says why not.
    static bool Available();

    TraceRelay();
    ~TraceRelay();
    TraceRelay(const TraceRelay&) = delete;
    TraceRelay& operator=(const TraceRelay&) = delete;

    // Opens real_port (a path) with the line settings, creates the
    // pseudo-terminal and starts relaying. On success *driver_port is the
    // name to give the driver. On failure returns false with *error set and
    // *port_failed telling whether the real port was what failed.
    bool Start(const std::string& real_port, const LineValues& line, std::string* driver_port,
               std::string* error, bool* port_failed);
    // Waits until every byte written so far has been relayed and shown.
    void Sync();
    void Stop();

    struct State;

private:
    std::unique_ptr<State> state_;
};

#endif  // QDXPOLL_TRACE_RELAY_H
