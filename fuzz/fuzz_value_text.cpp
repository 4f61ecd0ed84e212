// Value cells of every data type through FormatValueText.
//
// Input: byte 0 the data type (0..7 from its low 3 bits; with bit 7 set the
// byte itself as a signed code), bytes 1..4 the value cell.
// Checks: either the text is refused (only for a value without a value text:
// not finite, 10000 or more, -1000 or less, or an unknown data type), or it
// is 6 characters of 0-9 . - with exactly one point and '-' only first, and
// reads back (strtod) as v' with the digits of v's shortest decimal (the
// shortest text that reads back as the same float) cut after the last place:
// v' <= that decimal for a text without '-', v' >= it with '-', and v' within
// one unit of the last place of v. The place of the point is fixed by the size of v:
// no leading zero before it, and '-' exactly when v is below -0.000001.
#include <math.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <charconv>

#include "fuzz_support.h"
#include "protocol/value_text.h"

namespace {

// The working value of a cell, read independently of the module.
bool WorkingValue(int32_t data_type, const uint8_t cell[4], double* v) {
    uint16_t u16;
    uint32_t u32;
    memcpy(&u16, cell + 2, 2);
    memcpy(&u32, cell, 4);
    switch (data_type) {
        case 0:
        case 6:
            *v = u16;
            return true;
        case 1:
            *v = static_cast<int16_t>(u16);
            return true;
        case 2:
            *v = (u16 >> 12) * 1000 + ((u16 >> 8) & 15) * 100 + ((u16 >> 4) & 15) * 10 + (u16 & 15);
            return true;
        case 3: {
            float f;
            memcpy(&f, cell, 4);
            *v = f;
            return true;
        }
        case 4:
            *v = static_cast<float>(static_cast<int32_t>(u32));
            return true;
        case 5:
            *v = static_cast<float>(u32);
            return true;
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return -1;
    const int32_t data_type = (data[0] & 0x80) ? static_cast<int8_t>(data[0]) : (data[0] & 7);

    ValueCell cell;
    memcpy(cell.bytes, data + 1, 4);
    PointRecord point;
    memset(&point, 0, sizeof point);
    point.data_type = data_type;
    point.value = &cell;

    char text[kValueTextLength + 1];
    memset(text, '#', sizeof text);
    const bool formatted = FormatValueText(&point, text);

    double v = 0;
    const bool has_value = WorkingValue(data_type, data + 1, &v);
    const bool fits = has_value && isfinite(v) && v < 10000.0 && v > -1000.0;
    FUZZ_CHECK(formatted == fits);
    FUZZ_CHECK(text[kValueTextLength] == '#');  // never written past six
    if (!formatted) return 0;

    int points = 0;
    int point_at = -1;
    for (int i = 0; i < kValueTextLength; ++i) {
        const char c = text[i];
        FUZZ_CHECK((c >= '0' && c <= '9') || c == '.' || (c == '-' && i == 0));
        if (c == '.') {
            ++points;
            point_at = i;
        }
    }
    FUZZ_CHECK(points == 1);

    const bool negative = text[0] == '-';
    FUZZ_CHECK(negative == (v < -0.000001));
    const int first_digit = negative ? 1 : 0;
    // No leading zero: the integer part has as many digits as v needs.
    if (point_at > first_digit) FUZZ_CHECK(text[first_digit] != '0');
    if (point_at == first_digit) FUZZ_CHECK(fabs(v) < 1.0);

    text[kValueTextLength] = '\0';
    const double back = strtod(text, nullptr);
    // The shortest decimal of the single-precision working value.
    char shortest_text[64];
    const auto written = std::to_chars(shortest_text, shortest_text + sizeof shortest_text - 1,
                                       static_cast<float>(v), std::chars_format::fixed);
    FUZZ_CHECK(written.ec == std::errc());
    *written.ptr = '\0';
    const double shortest = strtod(shortest_text, nullptr);
    const int decimals = kValueTextLength - 1 - point_at;
    const double unit = pow(10.0, -decimals);
    if (negative) {
        FUZZ_CHECK(back >= shortest);
        FUZZ_CHECK(back - shortest < unit * (1 + 1e-9));
    } else {
        FUZZ_CHECK(back <= shortest || (v < 0 && back == 0));
        FUZZ_CHECK(fabs(shortest - back) < unit * (1 + 1e-9));
    }
    return 0;
}
