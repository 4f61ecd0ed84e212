// Read value (6) and read bit (5): one polling transaction of up to three
// attempts, then the reply's value stored in the host's value cell.
#include "protocol/read.h"

#include <math.h>
#include <stdio.h>
#include <string.h>

#include "host/handlers.h"
#include "protocol/transport.h"
#include "protocol/value_cell.h"
#include "telvor/telvor.h"

uint8_t g_reply_buffer[kDataReplyLength];

namespace {

const int kLogLevel = 32;

void LogRefusedReply(ReplyCheck outcome, uint8_t computed, uint8_t received) {
    switch (outcome) {
        case kReplyMissingStx:
            err(kLogLevel, "QDXTLMV> Read reply missing STX");
            break;
        case kReplyWrongIdentifier:
            err(kLogLevel, "QDXTLMV> Read reply incorrect identifier");
            break;
        case kReplyMissingEtx:
            err(kLogLevel, "QDXTLMV> Read reply missing ETX");
            break;
        case kReplyBadBcc:
            err(kLogLevel, "QDXTLMV> Read reply incorrect BCC - (%2x!=%2x)", static_cast<unsigned>(computed),
                static_cast<unsigned>(received));
            break;
        case kReplyGood:
            break;
    }
}

// Polls until a good reply sits in the reply buffer; false after three
// failed attempts. Silence costs an attempt without a log line.
bool PollForReply(PortRecord* port, const PointRecord* point) {
    for (int attempt = 0; attempt < kReadAttempts; ++attempt) {
        BuildPollFrame(port, point);
        SendBytes(port, port->poll_frame, kPollFrameLength);
        if (ReceiveExactly(port, g_reply_buffer, kDataReplyLength) != 0) continue;
        uint8_t computed = 0;
        uint8_t received = 0;
        const ReplyCheck outcome = CheckDataReply(g_reply_buffer, port->poll_frame, &computed, &received);
        if (outcome == kReplyGood) return true;
        LogRefusedReply(outcome, computed, received);
    }
    return false;
}

// Truncates x toward zero into *out; false when x is not finite or its
// truncation does not fit a 64-bit integer (the conversion would be
// undefined).
bool TruncateToInt64(float x, int64_t* out) {
    const double t = trunc(static_cast<double>(x));
    if (!(t >= -9223372036854775808.0 && t < 9223372036854775808.0)) return false;
    *out = static_cast<int64_t>(t);
    return true;
}

uint16_t PackBcd(uint16_t v) {
    const unsigned packed = (v / 1000u) * 4096u + ((v % 1000u) / 100u) * 256u + ((v % 100u) / 10u) * 16u + (v % 10u);
    return static_cast<uint16_t>(packed & 0xFFFFu);
}

}  // namespace

bool ParseReplyValue(const uint8_t reply[kDataReplyLength], float* value) {
    // The data field and the ETX after it, as a NUL-terminated text: the
    // conversion never reads beyond the reply.
    char field[kValueTextLength + 2];
    memcpy(field, reply + 3, kValueTextLength + 1);
    field[kValueTextLength + 1] = '\0';
    return sscanf(field, "%6f", value) == 1;
}

bool StoreReadValue(ValueCell* cell, uint32_t data_type, float x) {
    int64_t whole = 0;
    switch (data_type) {
        case kTypeU16:
        case kTypeS16:
            if (!TruncateToInt64(x, &whole)) return false;
            SetCellU16(cell, static_cast<uint16_t>(static_cast<uint64_t>(whole)));
            return true;
        case kTypeBcd:
            if (!TruncateToInt64(x, &whole)) return false;
            SetCellU16(cell, PackBcd(static_cast<uint16_t>(static_cast<uint64_t>(whole))));
            return true;
        case kTypeFloat:
            SetCellFloat(cell, x);
            return true;
        case kTypeS32:
        case kTypeU32:
            if (!TruncateToInt64(x, &whole)) return false;
            SetCellU32(cell, static_cast<uint32_t>(static_cast<uint64_t>(whole)));
            return true;
        case kTypeState:
            if (isnan(x)) return false;
            SetCellU16(cell, x == 0.0f ? 0 : 1);
            return true;
        default:
            return true;
    }
}

void ExtractBit(ValueCell* cell, int32_t bit_number, int32_t width) {
    if (bit_number == kNoBit) return;
    const bool in_range = bit_number >= 0 && bit_number < width;  // beyond the width reads 0
    if (width == 16) {
        SetCellU16(cell, in_range ? static_cast<uint16_t>((CellU16(cell) >> bit_number) & 1u) : 0);
    } else if (width == 32) {
        SetCellU16(cell, in_range ? static_cast<uint16_t>((CellU32(cell) >> bit_number) & 1u) : 0);
    }
}

int32_t ReadValue(const RequestBlock* request) {
    PortRecord* port = request->port;
    const PointRecord* point = static_cast<const PointRecord*>(request->parameter);

    if (!PollForReply(port, point)) return kResultFailed;

    const uint8_t closing = kEot;
    SendBytes(port, &closing, 1);

    const uint32_t data_type = static_cast<uint32_t>(point->data_type);
    if (data_type > kTypeState) return kResultOk;  // a type that stores nothing
    float x = 0.0f;
    if (!ParseReplyValue(g_reply_buffer, &x)) return kResultFailed;
    return StoreReadValue(point->value, data_type, x) ? kResultOk : kResultFailed;
}

int32_t ReadBit(const RequestBlock* request) {
    PointRecord* point = static_cast<PointRecord*>(request->parameter);
    point->bit_read_flag = 1;
    const int32_t result = ReadValue(request);
    // After a failed read the cell keeps what it held: a stale value is
    // never turned into a bit the controller did not send.
    if (result == kResultOk) ExtractBit(point->value, point->bit_number, point->width);
    return result;
}
