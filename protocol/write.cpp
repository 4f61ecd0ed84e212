// Write value (7): one selecting transaction of up to three attempts; only
// the controller's ACK accepts the value.
#include "host/handlers.h"
#include "protocol/frames.h"
#include "protocol/transport.h"
#include "protocol/value_text.h"

namespace {
const int kWriteAttempts = 3;
}

int32_t WriteValue(const RequestBlock* request) {
    PortRecord* port = request->port;
    const PointRecord* point = static_cast<const PointRecord*>(request->parameter);

    for (int attempt = 0; attempt < kWriteAttempts; ++attempt) {
        // Formatted anew each attempt: the frame carries what the cell holds now.
        char text[kValueTextLength];
        // A value without a value text (out of range, not finite, unknown
        // data type) is refused before anything is sent.
        if (!FormatValueText(point, text)) return kResultFailed;
        BuildSelectFrame(port, point, text);
        SendBytes(port, port->select_frame, kSelectFrameLength);
        uint8_t answer = 0;
        if (ReceiveExactly(port, &answer, 1) != 0) continue;
        if (answer == kAck) return kResultOk;
    }
    return kResultFailed;
}
