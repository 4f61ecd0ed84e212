// Frame cutting and description for the trace.
#include "frame_decoder.h"

#include <cstdio>

namespace {

constexpr uint8_t kEot = 0x04, kEnq = 0x05, kStx = 0x02, kEtx = 0x03, kAck = 0x06, kNak = 0x15;

const char* ControlName(uint8_t b) {
    switch (b) {
        case 0x02: return "STX";
        case 0x03: return "ETX";
        case 0x04: return "EOT";
        case 0x05: return "ENQ";
        case 0x06: return "ACK";
        case 0x15: return "NAK";
        default: return nullptr;
    }
}

std::string Hex(uint8_t b) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

std::string Printable(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
    std::vector<uint8_t> part(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                              bytes.begin() + static_cast<std::ptrdiff_t>(to));
    return ShowBytes(part);
}

// BCC check of a frame that ends in STX ... ETX BCC: "BCC 07 ok" or
// "BCC computed 07 != received 08". Empty when the frame has no such tail.
std::string BccVerdict(const std::vector<uint8_t>& bytes, size_t stx) {
    const size_t n = bytes.size();
    if (n < stx + 3 || bytes[n - 2] != kEtx) return "";
    uint8_t bcc = 0;
    for (size_t i = stx + 1; i <= n - 2; ++i) bcc ^= bytes[i];
    if (bcc == bytes[n - 1]) return "BCC " + Hex(bcc) + " ok";
    return "BCC computed " + Hex(bcc) + " != received " + Hex(bytes[n - 1]);
}

}  // namespace

std::string ShowBytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    const size_t n = bytes.size();
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = bytes[i];
        if (i + 1 == n && n >= 2 && bytes[n - 2] == kEtx) {
            out += "<" + Hex(b) + ">";  // the BCC, whatever its value
        } else if (const char* name = ControlName(b)) {
            out += '<';
            out += name;
            out += '>';
        } else if (b >= 0x20 && b < 0x7F) {
            out += static_cast<char>(b);
        } else {
            out += "<" + Hex(b) + ">";
        }
    }
    return out;
}

std::string DescribeFrame(Direction direction, const std::vector<uint8_t>& bytes) {
    const size_t n = bytes.size();
    if (n == 0) return "";
    if (direction == Direction::kToUnit) {
        if (n == 1 && bytes[0] == kEot) return "end of transaction";
        if (n == 8 && bytes[0] == kEot && bytes[3] == 'K' && bytes[7] == kEnq)
            return "poll unit " + Printable(bytes, 1, 3) + " ch " + Printable(bytes, 4, 5) + " " +
                   Printable(bytes, 5, 7);
        if (n == 16 && bytes[0] == kEot && bytes[3] == kStx && bytes[4] == 'K')
            return "select unit " + Printable(bytes, 1, 3) + " ch " + Printable(bytes, 5, 6) + " " +
                   Printable(bytes, 6, 8) + " := " + Printable(bytes, 8, 14) + ", " + [&] {
                       const std::string v = BccVerdict(bytes, 3);
                       return v.empty() ? std::string("no ETX before BCC") : v;
                   }();
        return "unrecognised frame";
    }
    if (n == 1 && bytes[0] == kAck) return "accepted";
    if (n == 1 && bytes[0] == kNak) return "refused";
    if (bytes[0] == kStx) {
        std::string text = n == 11 ? "reply " + Printable(bytes, 1, 3) + " " + Printable(bytes, 3, 9)
                                   : "reply of " + std::to_string(n) + " bytes (a data reply has 11)";
        const std::string verdict = BccVerdict(bytes, 0);
        return text + ", " + (verdict.empty() ? std::string("no ETX before BCC") : verdict);
    }
    return "unrecognised answer";
}

void FrameDecoder::Finish(Direction direction) {
    std::vector<uint8_t>& buffer = pending_[static_cast<int>(direction)];
    if (buffer.empty()) return;
    std::vector<uint8_t> frame;
    frame.swap(buffer);
    sink_(first_byte_[static_cast<int>(direction)], direction, frame);
}

void FrameDecoder::Flush() {
    Finish(Direction::kToUnit);
    Finish(Direction::kFromUnit);
}

void FrameDecoder::Feed(Direction direction, const uint8_t* bytes, size_t count) {
    // Bytes in one direction end whatever the other direction had pending.
    Finish(direction == Direction::kToUnit ? Direction::kFromUnit : Direction::kToUnit);
    std::vector<uint8_t>& buffer = pending_[static_cast<int>(direction)];
    const Time now = std::chrono::system_clock::now();
    auto push = [&](uint8_t b) {
        if (buffer.empty()) first_byte_[static_cast<int>(direction)] = now;
        buffer.push_back(b);
    };
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        const bool after_etx = !buffer.empty() && buffer.back() == kEtx;
        if (direction == Direction::kToUnit) {
            // EOT opens every frame the host sends (a BCC right after ETX may
            // have any value, EOT included).
            if (b == kEot && !buffer.empty() && !after_etx) Finish(direction);
            push(b);
            if (after_etx || (b == kEnq && buffer.front() == kEot)) Finish(direction);
        } else {
            if (buffer.empty() && (b == kAck || b == kNak)) {
                push(b);
                Finish(direction);
                continue;
            }
            if (b == kStx && !buffer.empty() && !after_etx) Finish(direction);
            push(b);
            if (after_etx) Finish(direction);
        }
    }
}
