// Point address parsing: results, decoded fields and what each failure
// leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "protocol/address.h"
#include "tests/support/records.h"

namespace {

struct ParseCase {
    const char* text;
    int32_t result;
    const char* host_text_after;  // the host's text after the request
    bool fields_written;
    int32_t unit, channel, identifier;
};

const ParseCase kCases[] = {
    {"01k1m1", 0, "01K1M1", true, 1, 1, 0x4D31},
    {"01K1M1 ", 0, "01K1M1 ", true, 1, 1, 0x4D31},
    {"01K1M1X", 1, "01K1M1X", false, 0, 0, 0},
    {"99K8XW", 0, "99K8XW", true, 99, 8, 0x5857},
    {"00K0A1", 0, "00K0A1", true, 0, 0, 0x4131},
    {"01K9M1", 1, "01K9M1", false, 0, 0, 0},       // channel 9
    {"01K1KA", 1, "01K1KA", false, 0, 0, 0},       // first identifier character K
    {"01K1AD", 1, "01K1AD", true, 1, 1, 0x4144},   // allowed characters, no identifier
    {"01K1M", 1, "01K1M", false, 0, 0, 0},
    {"", 1, "", false, 0, 0, 0},
    {"01K1M1  ", 1, "01K1M1  ", false, 0, 0, 0},   // 8 characters
    {"01k1m1xyzabc", 1, "01K1M1XYZABC", false, 0, 0, 0},
    {"01K1M{", 1, "01K1M[", false, 0, 0, 0},       // codes 123..127 lowered by 32
    {"01K1LK", 1, "01K1LK", false, 0, 0, 0},       // identifiers the character sets cannot admit
    {"01K1T0", 1, "01K1T0", false, 0, 0, 0},
    {"01K1XU", 1, "01K1XU", false, 0, 0, 0},
    {"1K1M1", 1, "1K1M1", false, 0, 0, 0},
    {"01K1\xE1" "1", 1, "01K1\xE1" "1", false, 0, 0, 0},  // high codes stay as they are
};

TEST(ParseAddress, ResultsFieldsAndHostText) {
    for (const ParseCase& c : kCases) {
        SCOPED_TRACE(c.text);
        std::string text = c.text;
        PointAddressBlock block;
        std::memset(&block, 0x77, sizeof block);
        block.address_text = text.data();
        const PointRecord before = block.point;
        EXPECT_EQ(qdxtest::Call(kRequestParse, nullptr, &block), c.result);
        EXPECT_EQ(text, c.host_text_after);
        const PointRecord& p = block.point;
        if (c.fields_written) {
            EXPECT_EQ(p.unit_address, c.unit);
            EXPECT_EQ(p.channel, c.channel);
            EXPECT_EQ(p.identifier, c.identifier);
            EXPECT_EQ(p.bit_number, 255);
            EXPECT_EQ(p.width, 32);
            // Nothing else of the record is touched.
            EXPECT_EQ(p.data_type, before.data_type);
            EXPECT_EQ(p.bit_read_flag, before.bit_read_flag);
            EXPECT_EQ(p.value, before.value);
            EXPECT_EQ(std::memcmp(p.reserved0, before.reserved0, sizeof p.reserved0), 0);
        } else {
            EXPECT_EQ(std::memcmp(&p, &before, sizeof p), 0);
        }
    }
}

// The parse writes the unit address at +16 of the block on a 32-bit host,
// which is +8 of the embedded point record.
TEST(ParseAddress, FieldsLandAtTheBlockOffsets) {
    std::string text = "42K3S1";
    PointAddressBlock block{};
    block.address_text = text.data();
    ASSERT_EQ(qdxtest::Call(kRequestParse, nullptr, &block), 0);
    const auto* bytes = reinterpret_cast<const unsigned char*>(&block);
    int32_t unit;
    std::memcpy(&unit, bytes + offsetof(PointAddressBlock, point) + 8, sizeof unit);
    EXPECT_EQ(unit, 42);
}

// Every pair of the identifier table is accepted, and it has 79 of them:
// exactly these, out of every pair of byte values.
TEST(ParseAddress, IdentifierTableHas79Pairs) {
    const std::string table =
        "A1 A2 A3 AA AB AC AV AW B1 B2 C1 CA D1 DA DP E1 F1 F2 G1 GB HA HB HH HV HW I1 IV J1 LA LL "
        "M1 M2 M3 MS NA NB O1 O2 OA OB OE OH OL ON OQ P1 P2 PB PH PL RA RB RR S1 S2 SH SL SR SX SY "
        "T1 TG V1 V2 WA WB WH WL XA XB XE XH XI XL XN XR XV XW ZA";
    std::string pairs;
    for (int first = 0; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            if (!CheckIdentifier(static_cast<char>(first), static_cast<char>(second))) continue;
            pairs += pairs.empty() ? "" : " ";
            pairs += {static_cast<char>(first), static_cast<char>(second)};
        }
    }
    EXPECT_EQ(pairs, table);

    int accepted = 0;
    for (const char* first = kPositionCharSets[4]; *first; ++first) {
        for (const char* second = kPositionCharSets[5]; *second; ++second) {
            if (CheckIdentifier(*first, *second)) ++accepted;
        }
    }
    EXPECT_EQ(accepted, 79);
    EXPECT_TRUE(CheckIdentifier('M', '1'));
    EXPECT_TRUE(CheckIdentifier('X', 'W'));
    EXPECT_FALSE(CheckIdentifier('K', 'A'));
    EXPECT_FALSE(CheckIdentifier('A', 'D'));
}

TEST(ParseAddress, UpperAddressCharRange) {
    for (int c = 0; c < 256; ++c) {
        const char upper = UpperAddressChar(static_cast<char>(c));
        const int expected = (c >= 97 && c <= 127) ? c - 32 : c;
        EXPECT_EQ(static_cast<unsigned char>(upper), expected) << c;
    }
}

}  // namespace
