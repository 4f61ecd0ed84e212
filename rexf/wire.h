// The wire of a REX-F line: its control characters, the block check, the
// three frames (a host's poll and select, a unit's data reply) and the
// cutting of the bytes a host sends into its frames. The simulator answers
// what the cutter gives it; the host tool's trace and its diagnosis read the
// same frames out of what they saw.
#ifndef REXF_WIRE_H
#define REXF_WIRE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rexf {

constexpr uint8_t kStx = 0x02;
constexpr uint8_t kEtx = 0x03;
constexpr uint8_t kEot = 0x04;
constexpr uint8_t kEnq = 0x05;
constexpr uint8_t kAck = 0x06;
constexpr uint8_t kNak = 0x15;

constexpr size_t kPollBytes = 8;     // EOT, unit (2), K, channel, identifier (2), ENQ
constexpr size_t kSelectBytes = 16;  // EOT, unit (2), STX, K, channel, identifier (2), value (6), ETX, BCC
constexpr size_t kReplyBytes = 11;   // STX, identifier (2), value (6), ETX, BCC

// "STX" for a control character, nullptr for any other byte.
const char* ControlName(uint8_t byte);

// Exclusive OR of bytes first..last (inclusive) of a string or vector of
// bytes; bytes beyond its end are left out.
template <typename Bytes>
uint8_t BlockCheck(const Bytes& bytes, size_t first, size_t last) {
    uint8_t bcc = 0;
    for (size_t i = first; i <= last && i < bytes.size(); ++i) bcc ^= static_cast<uint8_t>(bytes[i]);
    return bcc;
}

// The frames, as bytes in a string. The identifier has two characters and
// the value text six; unit 0..99 and channel 0..9.
std::string PollFrame(int unit, int channel, const std::string& identifier);
std::string SelectFrame(int unit, int channel, const std::string& identifier, const std::string& value_text);
std::string DataReply(const std::string& identifier, const std::string& value_text);

// What a host sends, cut into frames: EOT begins every frame, except where a
// selecting frame's BCC is due (a BCC may have any value). A polling frame
// ends at its ENQ, a selecting frame with its BCC. A frame that goes wrong
// (neither K nor STX after the unit address, no ENQ by the eighth byte, no
// ETX where it must stand) is given up: its bytes, and any others outside a
// frame, come out together as one stray piece when the next frame begins. A
// lone EOT (the host's closing byte) comes out by itself. Bytes may come in
// any pieces.
class HostFrameCutter {
public:
    enum Kind { kPoll, kSelect, kStray };
    struct Frame {
        Kind kind;
        std::string bytes;
        size_t offset;  // of its first byte, counted over everything fed
    };

    void Feed(const uint8_t* data, size_t count, std::vector<Frame>* out);
    void Feed(const std::string& bytes, std::vector<Frame>* out) {
        Feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
    }
    // Bytes outside any frame so far, as a stray piece; false when none.
    bool TakeStray(Frame* out);
    // Whatever is pending, a begun frame or stray bytes, as a stray piece;
    // false when nothing is.
    bool Flush(Frame* out);
    // A frame (or the closing EOT) has begun and is not complete.
    bool in_frame() const { return !frame_.empty(); }
    // The offset of the oldest byte not yet given out (everything fed when
    // none is left).
    size_t pending_offset() const { return !stray_.empty() ? stray_offset_ : !frame_.empty() ? frame_offset_ : fed_; }

private:
    void GiveUp();

    std::string frame_;  // from its EOT on
    size_t frame_offset_ = 0;
    std::string stray_;
    size_t stray_offset_ = 0;
    size_t fed_ = 0;
};

}  // namespace rexf

#endif  // REXF_WIRE_H
