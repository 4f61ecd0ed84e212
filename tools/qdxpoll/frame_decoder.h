// Cuts the bytes passing the trace relay into frames and describes each one:
// control characters by name, the frame's meaning, and its BCC computed
// against the one received.
#ifndef QDXPOLL_FRAME_DECODER_H
#define QDXPOLL_FRAME_DECODER_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

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

private:
    void Finish(Direction direction);

    FrameSink sink_;
    std::vector<uint8_t> pending_[2];
    Time first_byte_[2];
};

#endif  // QDXPOLL_FRAME_DECODER_H
