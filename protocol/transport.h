// Transport steps shared by the read and write transactions: they fold the
// serial layer's result codes into 0 (success) or 1 (failure).
#ifndef QDXTLMV_PROTOCOL_TRANSPORT_H
#define QDXTLMV_PROTOCOL_TRANSPORT_H

#include <stdint.h>

#include "host/records.h"

// Discards pending input on the port, then writes count bytes.
// 0 only when every byte was written.
int SendBytes(const PortRecord* port, const uint8_t* bytes, int32_t count);

// Reads exactly count bytes within the reply timeout. 0 only when all came.
int ReceiveExactly(const PortRecord* port, uint8_t* buffer, int32_t count);

#endif  // QDXTLMV_PROTOCOL_TRANSPORT_H
