// Cuts the bytes passing the trace relay into frames and describes each one:
// control characters by name, the frame's meaning, and its BCC computed
// against the one received.
#ifndef QDXPOLL_FRAME_DECODER_H
#define QDXPOLL_FRAME_DECODER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "rexf/wire.h"

enum class Direction { kToUnit, kFromUnit };

// Bytes shown with control characters by name: "<EOT>01K1M1<ENQ>".
std::string ShowBytes(const std::vector<uint8_t>& bytes);
// What a complete frame is: "poll unit 01 ch 1 M1", "reply M1 25.500 BCC 07 ok".
std::string DescribeFrame(Direction direction, const std::vector<uint8_t>& bytes);

class FrameDecoder {
public:
    using Time = std::chrono::system_clock::time_point;
    // Receives each frame once it is complete, or when the line went quiet,
    // with the time its first byte was seen.
    using FrameSink = std::function<void(Time, Direction, const std::vector<uint8_t>&)>;
    explicit FrameDecoder(FrameSink sink) : sink_(std::move(sink)) {}

    void Feed(Direction direction, const uint8_t* bytes, size_t count);
    // Hands over whatever is pending in both directions (the line is quiet).
    void Flush();
    // The line has been quiet a moment: hands over what is pending, but a
    // reply begun and not yet whole waits for its rest (a device server
    // delivers a reply in pieces), up to kReplyPiecesMs after its last byte.
    void FlushIdle();
    static constexpr int kReplyPiecesMs = 1000;

private:
    void Finish(Direction direction);
    void GiveHostFrame(const rexf::HostFrameCutter::Frame& frame);

    FrameSink sink_;
    // To the unit: the frames the host sent, and when each piece of its
    // bytes came (its offset among them), for the time of a frame's first
    // byte.
    rexf::HostFrameCutter host_;
    std::deque<std::pair<size_t, Time>> host_pieces_;
    size_t host_fed_ = 0;
    // From the unit: its answer so far, and when its first byte came.
    std::vector<uint8_t> answer_;
    Time answer_start_, answer_last_;
};

#endif  // QDXPOLL_FRAME_DECODER_H
