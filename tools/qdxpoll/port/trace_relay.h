// The wire relay: qdxpoll opens the real port itself and gives the driver a
// fresh pseudo-terminal instead (Linux), or serves the driver's serial calls
// from its own layer (Windows); either way every byte is recorded with its
// time (for the diagnosis of every request) and, with --trace, every frame
// is printed as it passes. The driver is not changed.
#ifndef QDXPOLL_TRACE_RELAY_H
#define QDXPOLL_TRACE_RELAY_H

#include <memory>
#include <string>
#include <vector>

#include "diagnosis/diagnosis.h"
#include "host/records.h"

class TraceRelay {
public:
    // Whether this platform can relay at all; Start's error says why not.
    static bool Available();
    // Puts the relay under the loaded module where the platform needs that
    // (Windows: its serial imports served by qdxpoll). False with *why when
    // it cannot; the relay is then not available.
    static bool Attach(void* module, std::string* why);

    TraceRelay();
    ~TraceRelay();
    TraceRelay(const TraceRelay&) = delete;
    TraceRelay& operator=(const TraceRelay&) = delete;

    // Opens real_port (a path) with the line settings, creates the
    // pseudo-terminal and starts relaying; show_frames prints the trace. On
    // success *driver_port is the name to give the driver. On failure returns
    // false with *error set and *port_failed telling whether the real port
    // was what failed.
    bool Start(const std::string& real_port, const LineValues& line, bool show_frames, std::string* driver_port,
               std::string* error, bool* port_failed);
    bool running() const { return state_ != nullptr; }
    // Whether the real side has gone (end of file, a read or write error, a
    // hang-up): nothing more is relayed. *cause says what was seen.
    bool Lost(std::string* cause) const;
    // Waits until every byte written so far has been relayed and recorded.
    void Sync();
    // The pieces recorded since the last call (after a Sync).
    std::vector<WireChunk> Take();
    // Waits until nothing has come from the unit's side for quiet_ms, at
    // most max_ms in all (less when Ctrl-C comes).
    void ListenQuiet(int quiet_ms, int max_ms);
    void Stop();

    // Whether the port is a device server (tcp:, rfc2217:), and the network
    // round trip measured when it was connected (0 for a serial device).
    bool device_server() const;
    int round_trip_ms() const;

    // Sends a poll frame to the line itself, the driver idle, and returns
    // what was on the wire until `enough` bytes came back, the line was quiet
    // a moment after an answer began, or timeout_ms passed (the frame
    // first). A data reply is ended with EOT, as the driver ends it.
    std::vector<WireChunk> Poll(const std::string& frame, size_t enough, int timeout_ms);

    // Safe in a signal handler: cuts the driver's side off, so that a read in
    // flight fails at once; the real port stays open until Stop.
    static void InterruptFromSignal();

    struct State;

private:
    std::unique_ptr<State> state_;
};

#endif  // QDXPOLL_TRACE_RELAY_H
