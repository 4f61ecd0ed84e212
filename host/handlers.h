// Request handlers of the request table. Each takes the request block and
// returns the result code that QdxMain passes back to the host unchanged.
#ifndef QDXTLMV_HOST_HANDLERS_H
#define QDXTLMV_HOST_HANDLERS_H

#include <stdint.h>

#include "host/records.h"

typedef int32_t (*RequestHandler)(const RequestBlock* request);

// Driver description and the two trivial requests (host/driver_info.cpp).
int32_t GetDriverInfo(const RequestBlock* request);
int32_t AcceptRequest(const RequestBlock* request);
int32_t RefuseRequest(const RequestBlock* request);

// Port lifecycle (host/port_lifecycle.cpp).
int32_t StartPort(const RequestBlock* request);
int32_t FlushInput(const RequestBlock* request);
int32_t ClosePort(const RequestBlock* request);
int32_t OpenPort(const RequestBlock* request);
int32_t ReopenPort(const RequestBlock* request);

// Point address parsing (protocol/address.cpp).
int32_t ParseAddress(const RequestBlock* request);

// Reading and writing values (protocol/read.cpp, protocol/write.cpp).
int32_t ReadValue(const RequestBlock* request);
int32_t ReadBit(const RequestBlock* request);
int32_t WriteValue(const RequestBlock* request);

// The entry point, exported from the module under this exact name.
extern "C" int32_t QDX_CDECL QdxMain(RequestBlock* request);

#endif  // QDXTLMV_HOST_HANDLERS_H
