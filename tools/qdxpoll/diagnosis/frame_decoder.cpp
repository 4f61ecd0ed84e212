// Frames and their description for the trace.
#include "diagnosis/frame_decoder.h"

#include <cstdio>

namespace {

using rexf::kAck;
using rexf::kEnq;
using rexf::kEot;
using rexf::kEtx;
using rexf::kNak;
using rexf::kStx;

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
    const uint8_t bcc = rexf::BlockCheck(bytes, stx + 1, n - 2);
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
        } else if (const char* name = rexf::ControlName(b)) {
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
    if (n == 1 && bytes[0] == kEot) return "EOT: the unit lacks the identifier (or its option)";
    if (n == 1 && bytes[0] == kNak) return "refused";
    if (bytes[0] == kStx) {
        std::string text = n == 11 ? "reply " + Printable(bytes, 1, 3) + " " + Printable(bytes, 3, 9)
                                   : "reply of " + std::to_string(n) + " bytes (a data reply has 11)";
        const std::string verdict = BccVerdict(bytes, 0);
        return text + ", " + (verdict.empty() ? std::string("no ETX before BCC") : verdict);
    }
    return "unrecognised answer";
}

void FrameDecoder::GiveHostFrame(const rexf::HostFrameCutter::Frame& frame) {
    // The piece its first byte came in: the last one that began at or before it.
    Time first = host_pieces_.empty() ? Time{} : host_pieces_.front().second;
    for (const auto& [offset, time] : host_pieces_)
        if (offset <= frame.offset) first = time;
    sink_(first, Direction::kToUnit, std::vector<uint8_t>(frame.bytes.begin(), frame.bytes.end()));
}

void FrameDecoder::Finish(Direction direction) {
    if (direction == Direction::kToUnit) {
        rexf::HostFrameCutter::Frame rest;
        if (host_.Flush(&rest)) GiveHostFrame(rest);
        return;
    }
    if (answer_.empty()) return;
    std::vector<uint8_t> answer;
    answer.swap(answer_);
    sink_(answer_start_, Direction::kFromUnit, answer);
}

void FrameDecoder::Flush() {
    Finish(Direction::kToUnit);
    Finish(Direction::kFromUnit);
}

void FrameDecoder::FlushIdle() {
    Finish(Direction::kToUnit);
    // A whole reply was handed over as its BCC came: one still here is not.
    const bool reply_begun = !answer_.empty() && answer_.front() == kStx;
    if (reply_begun &&
        std::chrono::system_clock::now() - answer_last_ < std::chrono::milliseconds(kReplyPiecesMs))
        return;
    Finish(Direction::kFromUnit);
}

void FrameDecoder::Feed(Direction direction, const uint8_t* bytes, size_t count) {
    // Bytes in one direction end whatever the other direction had pending.
    Finish(direction == Direction::kToUnit ? Direction::kFromUnit : Direction::kToUnit);
    const Time now = std::chrono::system_clock::now();
    if (direction == Direction::kToUnit) {
        host_pieces_.emplace_back(host_fed_, now);
        host_fed_ += count;
        std::vector<rexf::HostFrameCutter::Frame> frames;
        host_.Feed(bytes, count, &frames);
        for (const auto& f : frames) GiveHostFrame(f);
        // Pieces before the one holding the oldest pending byte are done with.
        const size_t pending = host_.pending_offset();
        while (host_pieces_.size() > 1 && host_pieces_[1].first <= pending) host_pieces_.pop_front();
        return;
    }
    auto push = [&](uint8_t b) {
        if (answer_.empty()) answer_start_ = now;
        answer_last_ = now;
        answer_.push_back(b);
    };
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        const bool after_etx = !answer_.empty() && answer_.back() == kEtx;
        if (answer_.empty() && (b == kAck || b == kNak)) {
            push(b);
            Finish(direction);
            continue;
        }
        if (b == kStx && !answer_.empty() && !after_etx) Finish(direction);
        push(b);
        if (after_etx) Finish(direction);
    }
}
