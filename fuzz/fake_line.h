// A serial line without a device, for the fuzz targets: it implements the six
// operations of serial/serial.h and plays the controller from a byte script.
//
// The reply script is a sequence of segments, one per write the driver makes
// (polling frame, closing EOT, selecting frame), in order. Each segment is a
// header byte followed by its bytes:
//   header bits 0..5  number of bytes the controller sends after that write
//                     (fewer when the script ends first)
//   header bits 6..7  how the write itself goes: 0 or 3 every byte written,
//                     1 one byte short (result 2), 2 the write fails (result 7,
//                     and the controller hears nothing, so nothing is sent)
// Once the script is used up, every write succeeds and the controller is
// silent. The bytes of a segment wait on the line until the driver reads them
// or discards its input; a read of more bytes than wait gets what there is
// and fails, as after a silence of one reply timeout.
#ifndef QDXTLMV_FUZZ_FAKE_LINE_H
#define QDXTLMV_FUZZ_FAKE_LINE_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "serial/serial.h"

namespace fake_line {

// Forgets every handle, write and script; the next handle given out is 3.
void Reset();

// Sets the reply script (kept by pointer: it must outlive the requests).
void SetScript(const uint8_t* data, size_t size);

// Makes the n-th ComOpen (ComClose) call since Reset fail when bit n of the
// mask is set (n below 32): open with result 1, close with result 7.
void SetOpenFailures(uint32_t mask);
void SetCloseFailures(uint32_t mask);

// Every write the driver made to an open port, in order, as it was asked.
const std::vector<std::vector<uint8_t>>& Writes();

// Handles currently open, and the names they were opened under.
size_t OpenHandleCount();
bool IsOpen(ComHandle handle);

// Counters of calls since Reset.
int OpenCalls();
int DiscardCalls();

}  // namespace fake_line

#endif  // QDXTLMV_FUZZ_FAKE_LINE_H
