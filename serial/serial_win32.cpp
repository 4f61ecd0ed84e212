// Serial port layer, Win32 backend.
//
// The port is a synchronous handle from CreateFileA, opened without sharing.
// The line configuration and the reply timeout live with the handle in the
// system (the DCB and the COMMTIMEOUTS of the port), and every operation reads
// back from there what it needs.
//
// Handle ownership. The layer remembers the handles it opened, in a small
// fixed table, and passes only those to the system. Any other value a caller
// hands in (a port record the host did not zero, a handle kept after a failed
// close) may be a file, pipe or socket of the host's own process: every
// operation refuses it at once, so the layer never reads or writes a handle
// it does not own. The host's close request alone goes one step further: a
// handle on which GetCommState succeeds is a serial device the process holds,
// and after the module was unloaded and loaded again it is one of the old
// copy's ports, so the close releases it.
//
// Reply timeout. Reads wait for ReadTotalTimeoutConstant milliseconds in all
// (the interval and multiplier timeouts stay 0). With all three read timeouts
// 0 the system would let a read wait without limit, so the value given to the
// system is always EffectiveReadWaitMs(units * 10): a timeout of 0 units or
// below waits kZeroTimeoutFallbackMs, a huge one is capped. Since the system
// is the only place the timeout is kept, the previous timeout that
// ComSetReplyTimeout reports is the wait actually in force: after setting 0
// units it reads back as 100 (1000 ms), not 0. This keeps ComDiscardInput
// sound as well: it restores the wait that was in force before its own 50 ms
// reads, so a port given 0 units goes on waiting 1000 ms after a discard.
#include "serial/serial.h"

#include <windows.h>

#include <string.h>

namespace {

// The name of the system's null device, used as it is, without configuration.
const char kNullDeviceName[] = "NUL";

enum { kQueueSize = 1200, kDiscardChunk = 512, kOpenReadWaitMs = kOpenReplyTimeoutMs };
enum { kErrorCharValue = 0xFC };
// Ports open at the same time. A host drives one port record per COM port;
// Windows numbers them COM1 to COM256.
enum { kMaxOpenPorts = 256 };
// A line that keeps delivering full chunks (a chattering device, a virtual
// port that fills faster than the draining reads empty it) is drained at most
// this many times per discard (64 KiB), so the caller is never kept busy
// without end.
enum { kDiscardMaxReads = 128 };

// The port record keeps the handle as 32 bits. On i686 a HANDLE is 32 bits;
// kernel handles are sign-extended 32-bit values on 64-bit Windows as well,
// so the conversion goes through int32_t and intptr_t.
HANDLE ToHandle(ComHandle handle) {
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(static_cast<int32_t>(handle)));
}

ComHandle FromHandle(HANDLE handle) {
    return static_cast<ComHandle>(reinterpret_cast<uintptr_t>(handle));
}

// Handles this layer opened and has not closed yet; a null entry is free.
HANDLE g_open_ports[kMaxOpenPorts];

// The table entry of a handle the layer opened, or null for any other value.
HANDLE* FindOpenPort(ComHandle handle) {
    if (handle == 0) return nullptr;
    const HANDLE wanted = ToHandle(handle);
    for (HANDLE& entry : g_open_ports) {
        if (entry == wanted) return &entry;
    }
    return nullptr;
}

// Enters a freshly opened handle; false when the table is full.
bool RememberPort(HANDLE port) {
    for (HANDLE& entry : g_open_ports) {
        if (entry == nullptr) {
            entry = port;
            return true;
        }
    }
    return false;
}

// DTR: on (0x0001 or 0x0100), else handshake (0x8000), else off.
DWORD DtrControlFor(uint16_t flags) {
    if ((flags & (kDtrOn | kDtrOnAlt)) != 0) return DTR_CONTROL_ENABLE;
    if ((flags & kDtrHandshake) != 0) return DTR_CONTROL_HANDSHAKE;
    return DTR_CONTROL_DISABLE;
}

// RTS: on (0x0002 or 0x0200), else handshake (0x1000), else toggle
// (0x2000), else off.
DWORD RtsControlFor(uint16_t flags) {
    if ((flags & (kRtsOn | kRtsOnAlt)) != 0) return RTS_CONTROL_ENABLE;
    if ((flags & kRtsHandshake) != 0) return RTS_CONTROL_HANDSHAKE;
    if ((flags & kRtsToggle) != 0) return RTS_CONTROL_TOGGLE;
    return RTS_CONTROL_DISABLE;
}

// Milliseconds given to the system for a reply timeout of units * 10 ms,
// computed without overflow for any 32-bit units.
DWORD ReadWaitForUnits(int32_t units) {
    int64_t ms = static_cast<int64_t>(units) * 10;
    if (ms > INT32_MAX) ms = INT32_MAX;
    if (ms < 0) ms = 0;
    return static_cast<DWORD>(EffectiveReadWaitMs(static_cast<int32_t>(ms)));
}

// Applies the line values and control lines to the DCB read from the port;
// every field not set here keeps the value the port had.
void ApplySettings(const SerialSettings* settings, DCB* dcb) {
    dcb->BaudRate = settings->line.baud_rate;
    dcb->fBinary = 1;
    dcb->fParity = 1;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DtrControlFor(settings->control_lines);
    dcb->fDsrSensitivity = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = RtsControlFor(settings->control_lines);
    dcb->fAbortOnError = 0;
    dcb->ByteSize = static_cast<BYTE>(settings->line.data_bits & 0xFF);
    dcb->Parity = static_cast<BYTE>(settings->line.parity & 0xFF);
    dcb->StopBits = static_cast<BYTE>(settings->line.stop_bits & 0xFF);
    dcb->ErrorChar = static_cast<char>(kErrorCharValue);
}

// Ends an open that failed after CreateFileA: the handle leaves the table and
// is closed, and the result is passed on.
int CloseFailedOpen(HANDLE port, int result) {
    *FindOpenPort(FromHandle(port)) = nullptr;
    CloseHandle(port);
    return result;
}

}  // namespace

int ComOpen(const SerialSettings* settings, ComHandle* handle) {
    if (settings == nullptr || handle == nullptr) return kComOpenFailed;
    // A name without its NUL inside the field is not passed to the system.
    if (memchr(settings->port_name, '\0', sizeof settings->port_name) == nullptr) {
        return kComOpenFailed;
    }

    HANDLE port = CreateFileA(settings->port_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE || port == nullptr) return kComOpenFailed;
    if (!RememberPort(port)) {
        CloseHandle(port);
        return kComOpenFailed;
    }

    // The null device takes no configuration; only the exact name counts.
    if (strcmp(settings->port_name, kNullDeviceName) == 0) {
        *handle = FromHandle(port);
        return kComOk;
    }

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return CloseFailedOpen(port, kComNotSerial);

    // Timeouts first, so that the port never waits without limit once it
    // carries the new line settings.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadWaitMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (!SetCommTimeouts(port, &timeouts)) return CloseFailedOpen(port, kComOpenFailed);

    ApplySettings(settings, &dcb);
    if (!SetCommState(port, &dcb)) return CloseFailedOpen(port, kComBadSettings);

    // Queue sizes are a request the driver may ignore; the port works
    // without them.
    SetupComm(port, kQueueSize, kQueueSize);

    *handle = FromHandle(port);
    return kComOk;
}

int ComCloseOwned(ComHandle handle) {
    HANDLE* entry = FindOpenPort(handle);
    if (entry == nullptr) return kComIoFailed;
    // A handle the system would not close stays the layer's, so that the
    // host's next close tries again; once given back, it leaves the table,
    // since the system may hand the same value out again for anything else.
    if (!CloseHandle(ToHandle(handle))) return kComIoFailed;
    *entry = nullptr;
    return kComOk;
}

int ComClose(ComHandle handle) {
    if (FindOpenPort(handle) != nullptr) return ComCloseOwned(handle);
    if (handle == 0) return kComIoFailed;
    // A communications handle the table does not know: a port this layer
    // opened before the module was unloaded and loaded again (the table went
    // with the old copy), still holding the device. The host asks for it to
    // be closed, so it is. Anything that is no serial device (a file, a
    // pipe, the console) is left alone.
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    HANDLE port = ToHandle(handle);
    if (!GetCommState(port, &dcb)) return kComIoFailed;
    return CloseHandle(port) ? kComOk : kComIoFailed;
}

int32_t ComSetReplyTimeout(ComHandle handle, int32_t units) {
    if (FindOpenPort(handle) == nullptr) return 0;
    HANDLE port = ToHandle(handle);
    COMMTIMEOUTS timeouts;
    if (!GetCommTimeouts(port, &timeouts)) return 0;
    const DWORD previous = timeouts.ReadTotalTimeoutConstant;
    const DWORD wanted = ReadWaitForUnits(units);
    if (wanted != previous) {
        timeouts.ReadTotalTimeoutConstant = wanted;
        if (!SetCommTimeouts(port, &timeouts)) return 0;
    }
    // A previous value beyond what a 32-bit count of units holds can only
    // come from outside the layer; it is reported as the largest count.
    const DWORD previous_units = previous / 10;
    return previous_units > static_cast<DWORD>(INT32_MAX) ? INT32_MAX
                                                          : static_cast<int32_t>(previous_units);
}

int ComDiscardInput(ComHandle handle) {
    if (FindOpenPort(handle) == nullptr) return kComOpenFailed;
    HANDLE port = ToHandle(handle);

    DWORD errors = 0;
    COMSTAT status;
    memset(&status, 0, sizeof status);
    const BOOL cleared = ClearCommError(port, &errors, &status);
    if (cleared && status.cbInQue == 0) return kComOk;

    const int32_t previous = ComSetReplyTimeout(handle, kDiscardTimeoutUnits);

    unsigned char scratch[kDiscardChunk];
    BOOL read_ok = TRUE;
    for (int i = 0; i < kDiscardMaxReads; ++i) {
        DWORD got = 0;
        read_ok = ReadFile(port, scratch, sizeof scratch, &got, nullptr);
        if (!read_ok || got < sizeof scratch) break;
    }

    // 0 means the timeouts could not be read (or were below 10 ms): the port
    // then keeps the 50 ms of the draining reads.
    if (previous != 0) ComSetReplyTimeout(handle, previous);
    return read_ok ? kComOk : kComOpenFailed;
}

int ComWrite(ComHandle handle, const void* bytes, int32_t count, int32_t* written) {
    if (FindOpenPort(handle) == nullptr || count < 0 || (bytes == nullptr && count > 0)) {
        return kComIoFailed;
    }
    DWORD done = 0;
    if (!WriteFile(ToHandle(handle), bytes, static_cast<DWORD>(count), &done, nullptr)) {
        return kComIoFailed;
    }
    if (written != nullptr) *written = static_cast<int32_t>(done);
    return done == static_cast<DWORD>(count) ? kComOk : kComShortWrite;
}

int ComReadExact(ComHandle handle, void* buffer, int32_t count, int32_t* got) {
    if (got != nullptr) *got = 0;
    if (FindOpenPort(handle) == nullptr) return kComIoFailed;
    // Reads go in 16-bit counts of at least one byte: any other count, or no
    // place to put the bytes, is refused before reading, so a read never runs
    // past the buffer (a read of nothing would end "with no byte" anyway).
    if (count <= 0 || count > 0xFFFF || buffer == nullptr) return kComIoFailed;

    HANDLE port = ToHandle(handle);
    unsigned char* out = static_cast<unsigned char*>(buffer);
    int32_t total = 0;
    while (total < count) {
        const uint16_t missing = static_cast<uint16_t>(count - total);
        DWORD received = 0;
        if (!ReadFile(port, out + total, missing, &received, nullptr)) return kComIoFailed;
        // Nothing within the reply timeout: the reply is not coming.
        if (received == 0) return kComIoFailed;
        // The system never reports more than was asked; trust no more.
        if (received > missing) received = missing;
        total += static_cast<int32_t>(received);
        if (got != nullptr) *got = total;
    }
    return kComOk;
}
