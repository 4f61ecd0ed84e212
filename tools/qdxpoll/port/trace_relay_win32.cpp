// The wire relay on Windows: not there, as it needs a pseudo-terminal to
// hand the driver; --trace says so.
#include "port/trace_relay.h"

struct TraceRelay::State {};
bool TraceRelay::Available() { return false; }
TraceRelay::TraceRelay() = default;
TraceRelay::~TraceRelay() = default;
bool TraceRelay::Start(const std::string&, const LineValues&, bool, std::string*, std::string* error,
                       bool* port_failed) {
    *port_failed = false;
    *error = "--trace needs Linux: qdxpoll watches the line through a pseudo-terminal, which Windows lacks";
    return false;
}
void TraceRelay::Sync() {}
std::vector<WireChunk> TraceRelay::Take() { return {}; }
void TraceRelay::ListenQuiet(int, int) {}
bool TraceRelay::Lost(std::string*) const { return false; }
void TraceRelay::Stop() {}
bool TraceRelay::device_server() const { return false; }
int TraceRelay::round_trip_ms() const { return 0; }
std::vector<WireChunk> TraceRelay::Poll(const std::string&, size_t, int) { return {}; }
void TraceRelay::InterruptFromSignal() {}
