// Port lifecycle requests: start (1), discard input (2), close (11, 12),
// open (13) and reopen with new settings (15). The port's state lives in
// the host's port record; the serial layer does the system work.
#include <string.h>

#include "host/driver_info.h"
#include "host/handlers.h"
#include "serial/serial.h"
#include "telvor/telvor.h"

namespace {

const int kLogLevel = 32;
const uint16_t kStartControlLines = 0x0303;  // DTR on, RTS on

// True when the name field holds its NUL within its 12 bytes.
bool NameFits(const char name[kPortNameField]) { return memchr(name, '\0', kPortNameField) != nullptr; }

// Opens the port the settings describe; 0 (no handle) when the open failed.
ComHandle OpenFromSettings(const SerialSettings* settings) {
    ComHandle handle = 0;
    return ComOpen(settings, &handle) == kComOk ? handle : 0;
}

// Stores a newly opened handle. A handle still held is closed first, so a
// second open that the system allows never leaks the first one. Only a
// handle the serial layer opened itself is closed here: any other value the
// record holds (a record the host did not zero, a value kept after a failed
// close) is left alone and simply replaced, since it may belong to the host.
void TakeHandle(PortRecord* port, ComHandle handle) {
    if (port->port_handle != 0 && port->port_handle != handle) ComCloseOwned(port->port_handle);
    port->port_handle = handle;
}

}  // namespace

int32_t StartPort(const RequestBlock* request) {
    PortRecord* port = request->port;
    const StartParams* params = static_cast<const StartParams*>(request->parameter);

    port->active = params->enable;
    if (port->active == 0) return kResultOk;

    if (!NameFits(params->port_name)) {
        // A name without its NUL is never read past its field.
        err(kLogLevel, "QDX%s : Fail to open %.12s", kDriverName, params->port_name);
        return kResultFailed;
    }

    SerialSettings settings{};  // no stack bytes reach the host's record
    memcpy(settings.port_name, params->port_name, strlen(params->port_name) + 1);
    settings.line = params->line;
    settings.control_lines = kStartControlLines;

    const ComHandle handle = OpenFromSettings(&settings);
    if (handle == 0) {
        err(kLogLevel, "QDX%s : Fail to open %s", kDriverName, params->port_name);
        return kResultFailed;
    }
    TakeHandle(port, handle);
    ComSetReplyTimeout(handle, params->reply_timeout);
    memcpy(&port->settings, &settings, sizeof settings);
    port->reply_timeout = params->reply_timeout;
    err(kLogLevel, "QDXTLMV> QDX%d v7.00 started on %s", request->instance, params->port_name);
    return kResultOk;
}

int32_t FlushInput(const RequestBlock* request) {
    const PortRecord* port = request->port;
    if (port->port_handle != 0) ComDiscardInput(port->port_handle);
    return kResultOk;
}

int32_t ClosePort(const RequestBlock* request) {
    PortRecord* port = request->port;
    if (port->port_handle == 0) return kResultOk;
    if (ComClose(port->port_handle) != kComOk) return kResultFailed;
    port->port_handle = 0;
    return kResultOk;
}

int32_t OpenPort(const RequestBlock* request) {
    PortRecord* port = request->port;
    const ComHandle handle = OpenFromSettings(&port->settings);
    if (handle == 0) return kResultFailed;
    port->active = 1;
    TakeHandle(port, handle);
    return kResultOk;
}

int32_t ReopenPort(const RequestBlock* request) {
    PortRecord* port = request->port;
    const ReopenParams* params = static_cast<const ReopenParams*>(request->parameter);

    if (!NameFits(params->port_name)) return kResultFailed;
    if (params->reply_timeout != 0) port->reply_timeout = params->reply_timeout;
    if (strncmp(params->port_name, port->settings.port_name, kPortNameField) != 0 && port->port_handle != 0) {
        ClosePort(request);
    }
    memcpy(port->settings.port_name, params->port_name, strlen(params->port_name) + 1);
    if (params->line.baud_rate != 0) port->settings.line = params->line;

    const ComHandle handle = OpenFromSettings(&port->settings);
    if (handle == 0) return kResultFailed;
    TakeHandle(port, handle);
    port->active = 1;
    ComSetReplyTimeout(handle, port->reply_timeout);
    return kResultOk;
}
