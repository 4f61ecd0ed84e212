// Serial port layer: the only code of the module that touches the port.
//
// Six plain operations over the operating system's serial services. One
// backend file per platform implements them (serial_posix.cpp on Linux,
// serial_win32.cpp on Windows); the build picks the file.
//
// The handle the layer hands out is stored by the caller in the port record,
// and the line settings and reply timeout live with the open port in the
// operating system (or, on POSIX, in a small table indexed by descriptor,
// since termios has no per-descriptor read timeout). Each backend remembers,
// in a small fixed table, which handles it opened: an operation given any
// other value fails at once and never reaches the system, so a stale or
// foreign value in a port record can never read or write something else of
// the host's process. Only the host's close request looks further: it closes
// a serial device the process holds, since a module unloaded and loaded
// again has forgotten the ports its earlier copy opened.
#ifndef QDXTLMV_SERIAL_SERIAL_H
#define QDXTLMV_SERIAL_SERIAL_H

#include <stdint.h>

#include "host/records.h"

// Port handle as the port record keeps it: 0 means no port. On Windows it is
// the HANDLE value (32 bits on i686); on POSIX it is a file descriptor, never
// below 3.
typedef uint32_t ComHandle;

// Result codes of the serial operations.
enum ComResult {
    kComOk = 0,
    kComOpenFailed = 1,      // cannot open, or timeouts cannot be set; discard: last read failed
    kComShortWrite = 2,      // fewer bytes written than asked
    kComNotSerial = 4,       // the line state cannot be read: not a serial device
    kComBadSettings = 5,     // the system refused the line settings
    kComIoFailed = 7,        // a system call failed on an open port, or a read got no byte
};

// Control-line flag bits of the serial settings.
enum ControlLineBits : uint16_t {
    kDtrOn = 0x0001,
    kDtrOnAlt = 0x0100,
    kDtrHandshake = 0x8000,
    kRtsOn = 0x0002,
    kRtsOnAlt = 0x0200,
    kRtsHandshake = 0x1000,
    kRtsToggle = 0x2000,
};

// Every new port waits this long for a reply until its own timeout is set.
enum { kOpenReplyTimeoutMs = 1000 };
// Timeout of ComDiscardInput's draining reads on Windows. The POSIX backend
// reads only what is already waiting, so a discard never waits.
enum { kDiscardTimeoutUnits = 5 };
// A reply timeout of 0 (or below) would let a read wait forever: reads then
// wait this long instead. Timeouts above kMaxReplyTimeoutUnits are capped.
enum { kZeroTimeoutFallbackMs = 1000, kMaxReplyTimeoutUnits = 65535 };

// The wait in milliseconds that a stored reply timeout gives a read.
inline int32_t EffectiveReadWaitMs(int32_t stored_ms) {
    if (stored_ms <= 0) return kZeroTimeoutFallbackMs;
    if (stored_ms > kMaxReplyTimeoutUnits * 10) return kMaxReplyTimeoutUnits * 10;
    return stored_ms;
}

// Opens the named port without sharing and applies the line settings and
// control lines. On 0 *handle holds the open port; on any other result no
// handle is left open.
int ComOpen(const SerialSettings* settings, ComHandle* handle);

// Closes the port the host asks to close: a handle this layer opened, or a
// serial device the process holds that the layer does not remember (a port
// opened before the module was unloaded and loaded again). 0, or 7 when the
// system refuses (a handle of the layer's then stays its own, so a later
// close tries again) or the value is no serial device (which is left alone).
int ComClose(ComHandle handle);

// Closes a handle only if this layer opened it: 0, or 7 for any other value,
// which never reaches the system. For ports replaced by a newer open, where
// the value held may be the host's own.
int ComCloseOwned(ComHandle handle);

// Sets the reply timeout (units of 10 ms); returns the previous one in the
// same units, or 0 when the timeouts cannot be read or written.
int32_t ComSetReplyTimeout(ComHandle handle, int32_t units);

// Throws away pending input: 0, or 1 when its last read failed (or the device
// went away).
int ComDiscardInput(ComHandle handle);

// Writes count bytes in one call: 0 all written, 2 short (count in *written),
// 7 failed (*written not touched). written may be null.
int ComWrite(ComHandle handle, const void* bytes, int32_t count, int32_t* written);

// Reads exactly count (at most 65535) bytes, each read waiting up to the
// reply timeout: 0, or 7 on failure or silence. *got (may be null) is set
// to 0 on entry and to the running total after each read.
int ComReadExact(ComHandle handle, void* buffer, int32_t count, int32_t* got);

#endif  // QDXTLMV_SERIAL_SERIAL_H
