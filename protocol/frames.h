// Wire frames of the controllers' character protocol and their block check.
#ifndef QDXTLMV_PROTOCOL_FRAMES_H
#define QDXTLMV_PROTOCOL_FRAMES_H

#include <stdint.h>

#include "host/records.h"

// Control characters.
enum ControlChar : uint8_t {
    kStx = 0x02,
    kEtx = 0x03,
    kEot = 0x04,
    kEnq = 0x05,
    kAck = 0x06,
    kNak = 0x15,
};

enum {
    kPollFrameLength = 8,
    kDataReplyLength = 11,
    kSelectFrameLength = 16,
    kValueTextLength = 6,
};

// Outcome of checking a data reply, in the order the checks are made.
enum ReplyCheck {
    kReplyGood = 0,
    kReplyMissingStx,
    kReplyWrongIdentifier,
    kReplyMissingEtx,
    kReplyBadBcc,
};

// Writes the 8-byte polling frame into the port record:
// EOT, unit tens, unit ones, 'K', channel, identifier high, low, ENQ.
void BuildPollFrame(PortRecord* port, const PointRecord* point);

// Writes the 16-byte selecting frame into the port record:
// EOT, unit tens, unit ones, STX, 'K', channel, identifier high, low,
// the 6 value characters, ETX, BCC over offsets 4 to 14.
void BuildSelectFrame(PortRecord* port, const PointRecord* point, const char value_text[kValueTextLength]);

// Exclusive OR of bytes[first..last], starting from 0.
uint8_t BlockCheck(const uint8_t* bytes, int first, int last);

// Checks an 11-byte data reply against the polling frame just sent. With
// kReplyBadBcc, *computed and *received carry the two block checks.
ReplyCheck CheckDataReply(const uint8_t reply[kDataReplyLength], const uint8_t poll_frame[kPollFrameLength],
                          uint8_t* computed, uint8_t* received);

#endif  // QDXTLMV_PROTOCOL_FRAMES_H
