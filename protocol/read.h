// Read transaction (polling): the reply buffer and the conversion of a data
// reply into the host's value cell.
#ifndef QDXTLMV_PROTOCOL_READ_H
#define QDXTLMV_PROTOCOL_READ_H

#include <stdint.h>

#include "host/records.h"
#include "protocol/frames.h"

enum { kReadAttempts = 3 };

// The module-wide buffer that each read attempt receives its reply into.
extern uint8_t g_reply_buffer[kDataReplyLength];

// Reads the data field of a checked reply ("%6f", as a single-precision
// number). False when it holds no number.
bool ParseReplyValue(const uint8_t reply[kDataReplyLength], float* value);

// Stores x into the value cell as the data type asks. False, with the cell
// untouched, when x cannot be stored truthfully: not finite, or beyond a
// 64-bit integer, for an integer type; not a number for a digital state.
// A data type code above 6 stores nothing and succeeds.
bool StoreReadValue(ValueCell* cell, uint32_t data_type, float x);

// Replaces the 16-bit place of the cell by one bit of the value just read
// (see ReadBit).
void ExtractBit(ValueCell* cell, int32_t bit_number, int32_t width);

#endif  // QDXTLMV_PROTOCOL_READ_H
