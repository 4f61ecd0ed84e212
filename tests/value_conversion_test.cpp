// Conversions between the controllers' decimal text and the host's value
// cell: what a read stores, and the value text a write sends.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "protocol/read.h"
#include "protocol/value_cell.h"
#include "protocol/value_text.h"
#include "tests/support/value_text_sweep.h"

namespace {

ValueCell Cell(uint32_t bits32) {
    ValueCell cell;
    SetCellU32(&cell, bits32);
    return cell;
}

// A data reply around six data characters (framing is not looked at here).
bool Parse(const char* data, float* x) {
    uint8_t reply[kDataReplyLength] = {kStx, 'M', '1'};
    std::memcpy(reply + 3, data, 6);
    reply[9] = kEtx;
    return ParseReplyValue(reply, x);
}

struct StoreCase {
    const char* data;
    uint32_t type;
    bool ok;
    uint32_t cell_after;  // the whole 32-bit cell, starting from 0xDEADBEEF
};

TEST(ReadConversion, StoresByDataType) {
    const uint32_t kOld = 0xDEADBEEF;
    auto u16 = [&](uint16_t v) { return (kOld & 0xFFFFu) | (uint32_t{v} << 16); };
    float f25_5 = 25.5f;
    uint32_t f25_5_bits;
    std::memcpy(&f25_5_bits, &f25_5, 4);
    const StoreCase cases[] = {
        {" -12.7", kTypeU16, true, u16(0xFFF4)},
        {" 70000", kTypeU16, true, u16(0x1170)},
        {"-199.9", kTypeS16, true, u16(0xFF39)},
        {"  1234", kTypeBcd, true, u16(0x1234)},
        {" 12345", kTypeBcd, true, u16(0xC345)},
        {" 10000", kTypeBcd, true, u16(0xA000)},
        {"  25.5", kTypeFloat, true, f25_5_bits},
        {"-199.9", kTypeS32, true, static_cast<uint32_t>(-199)},
        {"-199.9", kTypeU32, true, static_cast<uint32_t>(-199)},
        {" 0.000", kTypeState, true, u16(0)},
        {"  -0.5", kTypeState, true, u16(1)},
        {" 0.001", kTypeState, true, u16(1)},
        {"  25.5", 7, true, kOld},            // a type that stores nothing
        {"  25.5", 0xFFFFFFFF, true, kOld},
        // Values that no integer place can hold truthfully: cell untouched.
        {" 1e+30", kTypeU16, false, kOld},
        {" 1e+30", kTypeS32, false, kOld},
        {"   nan", kTypeS16, false, kOld},
        {"   inf", kTypeBcd, false, kOld},
        {"  -inf", kTypeU32, false, kOld},
        {"   nan", kTypeState, false, kOld},
        {" 1e+18", kTypeS32, true, static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(999999984306749440.0)))},
    };
    for (const StoreCase& c : cases) {
        SCOPED_TRACE(std::string(c.data) + " type " + std::to_string(c.type));
        float x = 0;
        ASSERT_TRUE(Parse(c.data, &x));
        ValueCell cell = Cell(kOld);
        EXPECT_EQ(StoreReadValue(&cell, c.type, x), c.ok);
        EXPECT_EQ(CellU32(&cell), c.cell_after);
    }
}

TEST(ReadConversion, DataFieldWithoutANumber) {
    float x = 0;
    for (const char* data : {"      ", "abcdef", "-.....", "  ++  "}) EXPECT_FALSE(Parse(data, &x)) << data;
    // The ETX ends the number: at most six characters are ever taken.
    ASSERT_TRUE(Parse("123456", &x));
    EXPECT_EQ(x, 123456.0f);
}

TEST(ReadConversion, BitExtraction) {
    struct Case {
        uint32_t cell;
        int32_t bit, width;
        uint16_t bit_after;
    } cases[] = {
        {0x000A0000, 3, 16, 1},  {0x000A0000, 0, 16, 0}, {0x000A0000, 16, 16, 0},
        {0x00000008, 3, 32, 1},  {0x00000008, 2, 32, 0},
        {0x80000000, 31, 32, 1},  // the high half of a 32-bit value is reachable
        {0x00010000, 16, 32, 1},  {0x00010000, 40, 32, 0}, {0x00010000, -1, 32, 0},
    };
    for (const Case& c : cases) {
        ValueCell cell = Cell(c.cell);
        ExtractBit(&cell, c.bit, c.width);
        EXPECT_EQ(CellU16(&cell), c.bit_after) << c.bit << "/" << c.width;
    }
    ValueCell cell = Cell(0x12345678);
    ExtractBit(&cell, 255, 16);
    EXPECT_EQ(CellU32(&cell), 0x12345678u);
    ExtractBit(&cell, 3, 8);  // a width that is neither 16 nor 32
    EXPECT_EQ(CellU32(&cell), 0x12345678u);
}

struct TextCase {
    uint32_t type;
    uint32_t cell;
    const char* text;
};

uint32_t FloatBits(float v) {
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    return bits;
}
uint32_t Hi(uint16_t v) { return uint32_t{v} << 16; }

TEST(ValueText, ExampleTableAndRowBoundaries) {
    const float nearest_minus_1e6 = -0.000001f;
    const TextCase cases[] = {
        {kTypeFloat, FloatBits(25.5f), "25.500"},  {kTypeU16, Hi(150), "150.00"},
        {kTypeBcd, Hi(0x1234), "1234.0"},          {kTypeBcd, Hi(0x0999), "999.00"},
        {kTypeBcd, Hi(0x00FA), "160.00"},          {kTypeS16, Hi(0xFFFF), "-1.000"},
        {kTypeS32, static_cast<uint32_t>(-5), "-5.000"}, {kTypeU32, 5, "5.0000"},
        {kTypeState, Hi(1), "1.0000"},             {kTypeState, Hi(0), ".00000"},
        {kTypeFloat, FloatBits(0.7f), ".70000"},   {kTypeFloat, FloatBits(999.999f), "999.99"},
        {kTypeFloat, FloatBits(1234.56f), "1234.5"}, {kTypeFloat, FloatBits(9999.9f), "9999.9"},
        {kTypeFloat, FloatBits(3.14159f), "3.1415"}, {kTypeFloat, FloatBits(0.001f), ".00100"},
        {kTypeFloat, FloatBits(1000.0f), "1000.0"}, {kTypeFloat, FloatBits(100.0f), "100.00"},
        {kTypeFloat, FloatBits(10.0f), "10.000"},   {kTypeFloat, FloatBits(1.0f), "1.0000"},
        {kTypeFloat, FloatBits(-0.5f), "-.5000"},   {kTypeFloat, FloatBits(-1.0f), "-1.000"},
        {kTypeFloat, FloatBits(-10.0f), "-10.00"},  {kTypeFloat, FloatBits(-12.25f), "-12.25"},
        {kTypeFloat, FloatBits(-100.0f), "-100.0"}, {kTypeFloat, FloatBits(-999.9f), "-999.9"},
        {kTypeFloat, FloatBits(nearest_minus_1e6), ".00000"},
        {kTypeFloat, FloatBits(-0.0000011f), "-.0000"},
        {kTypeFloat, FloatBits(-0.0f), ".00000"},
        {kTypeFloat, FloatBits(9999.99f), "9999.9"}, {kTypeFloat, FloatBits(999.9999f), "999.99"},
        {kTypeFloat, FloatBits(99.9999f), "99.999"}, {kTypeFloat, FloatBits(0.99999f), ".99999"},
        {kTypeFloat, FloatBits(-999.99f), "-999.9"}, {kTypeU16, Hi(9999), "9999.0"},
        {kTypeS32, static_cast<uint32_t>(-999), "-999.0"},
        // The value the host holds, not its binary expansion.
        {kTypeFloat, FloatBits(150.7f), "150.70"},  {kTypeFloat, FloatBits(25.3f), "25.300"},
        {kTypeFloat, FloatBits(2.3f), "2.3000"},    {kTypeFloat, FloatBits(-0.7f), "-.7000"},
        {kTypeFloat, FloatBits(8077.8f), "8077.8"}, {kTypeFloat, FloatBits(-999.8f), "-999.8"},
    };
    for (const TextCase& c : cases) {
        PointRecord point{};
        ValueCell cell = Cell(c.cell);
        point.value = &cell;
        point.data_type = static_cast<int32_t>(c.type);
        char text[kValueTextLength];
        ASSERT_TRUE(FormatValueText(&point, text)) << c.text;
        EXPECT_EQ(std::string(text, 6), c.text) << "type " << c.type << " cell " << std::hex << c.cell;
    }
}

TEST(ValueText, EveryOneAndTwoDecimalValueGoesOutAsItself) {
    const ValueTextSweep sweep = SweepValueTexts();
    EXPECT_EQ(sweep.checked, 2 * 110000 - 2);
    EXPECT_EQ(sweep.wrong, 0) << "first: " << sweep.first_wrong;
}

// Values that have no value text are refused rather than sent in some form.
TEST(ValueText, RefusesWhatDoesNotFit) {
    const TextCase cases[] = {
        {kTypeFloat, FloatBits(10000.0f), nullptr},
        {kTypeFloat, FloatBits(-1000.0f), nullptr},
        {kTypeFloat, FloatBits(std::numeric_limits<float>::quiet_NaN()), nullptr},
        {kTypeFloat, FloatBits(std::numeric_limits<float>::infinity()), nullptr},
        {kTypeFloat, FloatBits(-std::numeric_limits<float>::infinity()), nullptr},
        {kTypeFloat, FloatBits(3.0e38f), nullptr},
        {kTypeU16, Hi(10000), nullptr},
        {kTypeBcd, Hi(0xFFFF), nullptr},  // 16665
        {kTypeS32, static_cast<uint32_t>(-1000), nullptr},
        {kTypeU32, 0xFFFFFFFF, nullptr},
        {7, 0, nullptr},
        {0xFFFFFFFF, 0, nullptr},
    };
    for (const TextCase& c : cases) {
        PointRecord point{};
        ValueCell cell = Cell(c.cell);
        point.value = &cell;
        point.data_type = static_cast<int32_t>(c.type);
        char text[kValueTextLength] = {'x', 'x', 'x', 'x', 'x', 'x'};
        EXPECT_FALSE(FormatValueText(&point, text)) << "type " << c.type << " cell " << std::hex << c.cell;
        EXPECT_EQ(std::string(text, 6), "xxxxxx");
    }
}

}  // namespace
