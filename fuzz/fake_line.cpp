// Fake serial line: see fake_line.h. No real I/O; every check on what the
// driver hands to the serial layer aborts, so a fuzz run reports it.
#include "fake_line.h"

#include <stdlib.h>
#include <string.h>

namespace {

struct FakePort {
    ComHandle handle;
    std::string name;
    int32_t timeout_ms;
};

struct LineState {
    std::vector<FakePort> ports;
    ComHandle next_handle = 3;
    const uint8_t* script = nullptr;
    size_t script_size = 0;
    size_t script_pos = 0;
    std::vector<uint8_t> pending;  // bytes the controller has sent, not yet read
    size_t pending_pos = 0;
    uint32_t open_failures = 0;
    uint32_t close_failures = 0;
    int open_calls = 0;
    int close_calls = 0;
    int discard_calls = 0;
    std::vector<std::vector<uint8_t>> writes;
};

LineState g_line;

FakePort* FindPort(ComHandle handle) {
    if (handle == 0) return nullptr;
    for (FakePort& port : g_line.ports) {
        if (port.handle == handle) return &port;
    }
    return nullptr;
}

bool NthFails(uint32_t mask, int n) { return n < 32 && (mask >> n) & 1u; }

enum WriteMode { kWriteOk = 0, kWriteShort = 1, kWriteFails = 2 };

// Takes the next segment of the script: how the write goes, and what the
// controller sends after it.
int NextSegment() {
    g_line.pending.clear();
    g_line.pending_pos = 0;
    if (g_line.script_pos >= g_line.script_size) return kWriteOk;
    const uint8_t header = g_line.script[g_line.script_pos++];
    size_t length = header & 0x3Fu;
    const int mode = header >> 6;
    if (length > g_line.script_size - g_line.script_pos) length = g_line.script_size - g_line.script_pos;
    if (mode != kWriteFails) {
        g_line.pending.assign(g_line.script + g_line.script_pos, g_line.script + g_line.script_pos + length);
    }
    g_line.script_pos += length;
    return mode == 3 ? kWriteOk : mode;
}

}  // namespace

namespace fake_line {

void Reset() { g_line = LineState(); }

void SetScript(const uint8_t* data, size_t size) {
    g_line.script = data;
    g_line.script_size = size;
    g_line.script_pos = 0;
    g_line.pending.clear();
    g_line.pending_pos = 0;
}

void SetOpenFailures(uint32_t mask) { g_line.open_failures = mask; }
void SetCloseFailures(uint32_t mask) { g_line.close_failures = mask; }
const std::vector<std::vector<uint8_t>>& Writes() { return g_line.writes; }
size_t OpenHandleCount() { return g_line.ports.size(); }
bool IsOpen(ComHandle handle) { return FindPort(handle) != nullptr; }
int OpenCalls() { return g_line.open_calls; }
int DiscardCalls() { return g_line.discard_calls; }

}  // namespace fake_line

int ComOpen(const SerialSettings* settings, ComHandle* handle) {
    const int call = g_line.open_calls++;
    // Like the real backends, a name that does not end within its field
    // names no port; nothing past the field is read.
    if (memchr(settings->port_name, '\0', sizeof settings->port_name) == nullptr) return kComOpenFailed;
    if (NthFails(g_line.open_failures, call)) return kComOpenFailed;
    // Ports open without sharing: a name already open cannot be opened again.
    for (const FakePort& port : g_line.ports) {
        if (port.name == settings->port_name) return kComOpenFailed;
    }
    const ComHandle opened = g_line.next_handle++;
    g_line.ports.push_back(FakePort{opened, settings->port_name, kOpenReplyTimeoutMs});
    *handle = opened;
    return kComOk;
}

int ComClose(ComHandle handle) {
    const int call = g_line.close_calls++;
    FakePort* port = FindPort(handle);
    if (port == nullptr || NthFails(g_line.close_failures, call)) return kComIoFailed;
    g_line.ports.erase(g_line.ports.begin() + (port - g_line.ports.data()));
    return kComOk;
}

int ComCloseOwned(ComHandle handle) { return ComClose(handle); }

int32_t ComSetReplyTimeout(ComHandle handle, int32_t units) {
    FakePort* port = FindPort(handle);
    if (port == nullptr) return 0;
    const int32_t previous = port->timeout_ms;
    // Computed in 64 bits: any 32-bit count of 10 ms units is accepted.
    const int64_t ms = static_cast<int64_t>(units) * 10;
    port->timeout_ms = ms > INT32_MAX ? INT32_MAX : ms < INT32_MIN ? INT32_MIN : static_cast<int32_t>(ms);
    return previous / 10;
}

int ComDiscardInput(ComHandle handle) {
    ++g_line.discard_calls;
    if (FindPort(handle) == nullptr) return kComOpenFailed;
    g_line.pending.clear();
    g_line.pending_pos = 0;
    return kComOk;
}

int ComWrite(ComHandle handle, const void* bytes, int32_t count, int32_t* written) {
    if (count < 0 || (count > 0 && bytes == nullptr)) abort();
    if (FindPort(handle) == nullptr) return kComIoFailed;
    const uint8_t* first = static_cast<const uint8_t*>(bytes);
    g_line.writes.emplace_back(first, first + count);
    const int mode = NextSegment();
    if (mode == kWriteFails) return kComIoFailed;
    const int32_t done = (mode == kWriteShort && count > 0) ? count - 1 : count;
    if (written != nullptr) *written = done;
    return done == count ? kComOk : kComShortWrite;
}

int ComReadExact(ComHandle handle, void* buffer, int32_t count, int32_t* got) {
    if (count < 0 || count > 65535 || (count > 0 && buffer == nullptr)) abort();
    if (got != nullptr) *got = 0;
    if (FindPort(handle) == nullptr) return kComIoFailed;
    const size_t waiting = g_line.pending.size() - g_line.pending_pos;
    const size_t take = waiting < static_cast<size_t>(count) ? waiting : static_cast<size_t>(count);
    if (take > 0) memcpy(buffer, g_line.pending.data() + g_line.pending_pos, take);
    g_line.pending_pos += take;
    if (got != nullptr) *got = static_cast<int32_t>(take);
    return take == static_cast<size_t>(count) ? kComOk : kComIoFailed;
}
