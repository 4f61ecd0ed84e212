// Building the polling and selecting frames, and checking data replies.
#include "protocol/frames.h"

namespace {

// Unit address (0..99), 'K' and channel (0..8) as the frames send them; the
// parse request has already limited both numbers to digits. The digits are
// formed in unsigned arithmetic, so a record the host filled with other
// numbers gives some byte, never an overflow.
void PutUnitAddress(uint8_t* out, const PointRecord* point) {
    out[0] = static_cast<uint8_t>('0' + point->unit_address / 10);
    out[1] = static_cast<uint8_t>('0' + point->unit_address % 10);
}

void PutChannelAndIdentifier(uint8_t* out, const PointRecord* point) {
    out[0] = 'K';
    out[1] = static_cast<uint8_t>(0x30u + static_cast<uint32_t>(point->channel));
    out[2] = static_cast<uint8_t>((point->identifier >> 8) & 0xFF);
    out[3] = static_cast<uint8_t>(point->identifier & 0xFF);
}

}  // namespace

void BuildPollFrame(PortRecord* port, const PointRecord* point) {
    uint8_t* frame = port->poll_frame;
    frame[0] = kEot;
    PutUnitAddress(frame + 1, point);
    PutChannelAndIdentifier(frame + 3, point);
    frame[7] = kEnq;
}

void BuildSelectFrame(PortRecord* port, const PointRecord* point, const char value_text[kValueTextLength]) {
    uint8_t* frame = port->select_frame;
    frame[0] = kEot;
    PutUnitAddress(frame + 1, point);
    frame[3] = kStx;
    PutChannelAndIdentifier(frame + 4, point);
    for (int i = 0; i < kValueTextLength; ++i) frame[8 + i] = static_cast<uint8_t>(value_text[i]);
    frame[14] = kEtx;
    frame[15] = BlockCheck(frame, 4, 14);
}

uint8_t BlockCheck(const uint8_t* bytes, int first, int last) {
    uint8_t bcc = 0;
    for (int i = first; i <= last; ++i) bcc ^= bytes[i];
    return bcc;
}

ReplyCheck CheckDataReply(const uint8_t reply[kDataReplyLength], const uint8_t poll_frame[kPollFrameLength],
                          uint8_t* computed, uint8_t* received) {
    if (reply[0] != kStx) return kReplyMissingStx;
    if (reply[1] != poll_frame[5] || reply[2] != poll_frame[6]) return kReplyWrongIdentifier;
    if (reply[9] != kEtx) return kReplyMissingEtx;
    const uint8_t bcc = BlockCheck(reply, 1, 9);
    if (bcc != reply[10]) {
        *computed = bcc;
        *received = reply[10];
        return kReplyBadBcc;
    }
    return kReplyGood;
}
