// Entry point: dispatches each request to the handler its code selects.
#include "host/handlers.h"

#if defined(_WIN32)
#define QDX_EXPORT __declspec(dllexport)
#else
#define QDX_EXPORT __attribute__((visibility("default")))
#endif

namespace {

// Sixteen entries indexed by request code; codes 0, 8 and 9 have none.
const RequestHandler kRequestTable[kRequestTableSize] = {
    nullptr,        // 0
    StartPort,      // 1
    FlushInput,     // 2
    ParseAddress,   // 3
    AcceptRequest,  // 4
    ReadBit,        // 5
    ReadValue,      // 6
    WriteValue,     // 7
    nullptr,        // 8
    nullptr,        // 9
    RefuseRequest,  // 10
    ClosePort,      // 11
    ClosePort,      // 12
    OpenPort,       // 13
    GetDriverInfo,  // 14
    ReopenPort,     // 15
};

}  // namespace

// A code without a handler (0, 8, 9, above 15) is refused with 2 and touches
// nothing, rather than calling through an empty entry.
extern "C" QDX_EXPORT int32_t QDX_CDECL QdxMain(RequestBlock* request) {
    const uint32_t code = request->request_code;
    if (code >= kRequestTableSize || kRequestTable[code] == nullptr) return kResultFailed;
    return kRequestTable[code](request);
}
