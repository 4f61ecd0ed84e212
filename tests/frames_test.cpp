// Polling and selecting frames, the block check, and the order in which a
// data reply is refused.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "protocol/frames.h"

namespace {

PointRecord Point(int unit, int channel, char first, char second) {
    PointRecord point{};
    point.unit_address = unit;
    point.channel = channel;
    point.identifier = first * 256 + second;
    return point;
}

std::vector<uint8_t> Bytes(const uint8_t* data, size_t count) { return std::vector<uint8_t>(data, data + count); }

TEST(Frames, PollFrames) {
    struct Case {
        int unit, channel;
        char first, second;
        std::vector<uint8_t> frame;
    } cases[] = {
        {1, 1, 'M', '1', {0x04, 0x30, 0x31, 0x4B, 0x31, 0x4D, 0x31, 0x05}},
        {0, 0, 'A', '1', {0x04, '0', '0', 'K', '0', 'A', '1', 0x05}},
        {99, 8, 'X', 'W', {0x04, '9', '9', 'K', '8', 'X', 'W', 0x05}},
        {7, 2, 'S', '1', {0x04, '0', '7', 'K', '2', 'S', '1', 0x05}},
    };
    for (const Case& c : cases) {
        PortRecord port{};
        const PointRecord point = Point(c.unit, c.channel, c.first, c.second);
        BuildPollFrame(&port, &point);
        EXPECT_EQ(Bytes(port.poll_frame, 8), c.frame) << c.unit;
    }
}

TEST(Frames, SelectFramesCarryTheirBlockCheck) {
    PortRecord port{};
    const PointRecord point = Point(1, 1, 'S', '1');
    BuildSelectFrame(&port, &point, "150.00");
    EXPECT_EQ(Bytes(port.select_frame, 16),
              (std::vector<uint8_t>{0x04, 0x30, 0x31, 0x02, 0x4B, 0x31, 0x53, 0x31, 0x31, 0x35, 0x30, 0x2E, 0x30, 0x30,
                                    0x03, 0x01}));
    BuildSelectFrame(&port, &point, "25.500");
    EXPECT_EQ(port.select_frame[15], 0x07);
    // The selecting frame does not spill into anything beyond its 16 bytes.
    EXPECT_EQ(BlockCheck(port.select_frame, 4, 14), port.select_frame[15]);
}

// A point record the host filled without a parse request may hold any
// numbers: the frames still come out byte by byte, the fixed bytes in place,
// with no arithmetic overflow on the way (the sanitizer build checks that).
TEST(Frames, FieldsOutsideTheirRangeStillGiveWholeFrames) {
    PortRecord port{};
    PointRecord point = Point(INT32_MIN, INT32_MAX, 'M', '1');
    BuildPollFrame(&port, &point);
    EXPECT_EQ(port.poll_frame[0], 0x04);
    EXPECT_EQ(port.poll_frame[3], 'K');
    EXPECT_EQ(port.poll_frame[4], 0x2F);  // low byte of 0x30 + 0x7FFFFFFF
    EXPECT_EQ(port.poll_frame[7], 0x05);
    point.channel = -1;
    BuildSelectFrame(&port, &point, "150.00");
    EXPECT_EQ(port.select_frame[3], 0x02);
    EXPECT_EQ(port.select_frame[5], 0x2F);  // low byte of 0x30 - 1
    EXPECT_EQ(port.select_frame[14], 0x03);
    EXPECT_EQ(port.select_frame[15], BlockCheck(port.select_frame, 4, 14));
}

const uint8_t kPollM1[8] = {0x04, 0x30, 0x31, 0x4B, 0x31, 0x4D, 0x31, 0x05};

struct ReplyCase {
    const char* what;
    std::vector<uint8_t> reply;
    ReplyCheck outcome;
};

TEST(Frames, DataReplyChecksInOrder) {
    const std::vector<uint8_t> good = {0x02, 0x4D, 0x31, 0x2D, 0x31, 0x39, 0x39, 0x2E, 0x39, 0x03, 0x74};
    auto with = [&](int offset, uint8_t value) {
        std::vector<uint8_t> r = good;
        r[offset] = value;
        return r;
    };
    std::vector<uint8_t> all_wrong = {0x00, 'X', 'X', '1', '2', '3', '4', '5', '6', 0x00, 0x00};
    std::vector<uint8_t> swapped = {0x02, 0x31, 0x4D, 0x2D, 0x31, 0x39, 0x39, 0x2E, 0x39, 0x03, 0x00};
    swapped[10] = BlockCheck(swapped.data(), 1, 9);  // right BCC over the wrong identifier
    // Both identifier bytes are checked, and before the ETX.
    std::vector<uint8_t> second_byte_no_etx = with(2, '2');
    second_byte_no_etx[9] = 0x17;
    std::vector<uint8_t> not_a_number = {0x02, 0x4D, 0x31, 'a', 'b', 'c', ' ', ' ', ' ', 0x03, 0x00};
    not_a_number[10] = BlockCheck(not_a_number.data(), 1, 9);
    const ReplyCase cases[] = {
        {"good", good, kReplyGood},
        {"no STX, everything else wrong too", all_wrong, kReplyMissingStx},
        {"identifier swapped, BCC right", swapped, kReplyWrongIdentifier},
        {"lower-case identifier", with(1, 'm'), kReplyWrongIdentifier},
        {"wrong second identifier byte, no ETX", second_byte_no_etx, kReplyWrongIdentifier},
        {"no ETX", with(9, 0x17), kReplyMissingEtx},
        {"BCC one bit off", with(10, 0x75), kReplyBadBcc},
        {"data field is not looked at", not_a_number, kReplyGood},
    };
    for (const ReplyCase& c : cases) {
        uint8_t computed = 0, received = 0;
        EXPECT_EQ(CheckDataReply(c.reply.data(), kPollM1, &computed, &received), c.outcome) << c.what;
        if (c.outcome == kReplyBadBcc) {
            EXPECT_EQ(computed, 0x74);
            EXPECT_EQ(received, 0x75);
        }
    }
}

}  // namespace
