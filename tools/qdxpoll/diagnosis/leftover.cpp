#include "diagnosis/leftover.h"

#include <fmt/format.h>

#include "diagnosis/frame_decoder.h"
#include "rexf/wire.h"

namespace {

struct Kind {
    const char* one;
    const char* many;
    int count = 0;
};

std::string Counted(const Kind& k) {
    if (k.count == 1) return k.one;
    return fmt::format("{} {}", k.count, k.many);
}

}  // namespace

std::string DescribeLeftover(const std::vector<WireChunk>& wire) {
    Kind kinds[] = {{"a reply", "replies"}, {"an EOT", "EOTs"}, {"an ACK", "ACKs"},
                    {"a NAK", "NAKs"},      {"a byte that is no frame", "bytes that are no frame"}};
    FrameDecoder decoder([&](FrameDecoder::Time, Direction direction, const std::vector<uint8_t>& frame) {
        if (direction != Direction::kFromUnit || frame.empty()) return;
        switch (frame.front()) {
            case rexf::kStx: ++kinds[0].count; break;
            case rexf::kEot: ++kinds[1].count; break;
            case rexf::kAck: ++kinds[2].count; break;
            case rexf::kNak: ++kinds[3].count; break;
            default: kinds[4].count += static_cast<int>(frame.size());
        }
    });
    for (const WireChunk& c : wire)
        if (c.direction == Direction::kFromUnit) decoder.Feed(c.direction, c.bytes.data(), c.bytes.size());
    decoder.Flush();
    std::vector<std::string> parts;
    for (const Kind& k : kinds)
        if (k.count > 0) parts.push_back(Counted(k));
    std::string text;
    for (size_t i = 0; i < parts.size(); ++i)
        text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return text;
}
