// Conversion of a value cell's content into the value text.
#include "protocol/value_text.h"

#include <math.h>
#include <string.h>

#include <charconv>
#include <system_error>

#include "protocol/value_cell.h"

namespace {

// Threshold of the ".DDDDD" row: the double nearest to -10^-6, compared with
// the value widened to double.
const double kSmallNegative = -0.000001;

struct TextRow {
    int integer_digits;  // digits before the point
    int decimals;        // digits after the point
    bool negative;
};

// Chooses the row of the value text by the size of v, testing from the top.
bool ChooseRow(float v, TextRow* row) {
    if (!(v < 10000.0f) || !(v > -1000.0f)) return false;  // also NaN
    if (v >= 1000.0f) *row = {4, 1, false};
    else if (v >= 100.0f) *row = {3, 2, false};
    else if (v >= 10.0f) *row = {2, 3, false};
    else if (v >= 1.0f) *row = {1, 4, false};
    else if (static_cast<double>(v) >= kSmallNegative) *row = {0, 5, false};
    else if (v > -1.0f) *row = {0, 4, true};
    else if (v > -10.0f) *row = {1, 3, true};
    else if (v > -100.0f) *row = {2, 2, true};
    else *row = {3, 1, true};
    return true;
}

}  // namespace

bool TakeWorkingValue(const PointRecord* point, float* value) {
    const ValueCell* cell = point->value;
    switch (static_cast<uint32_t>(point->data_type)) {
        case kTypeU16:
        case kTypeState:
            *value = static_cast<float>(CellU16(cell));
            return true;
        case kTypeS16:
            *value = static_cast<float>(static_cast<int16_t>(CellU16(cell)));
            return true;
        case kTypeBcd: {
            const unsigned bcd = CellU16(cell);
            // A nibble of 10 to 15 counts with its value (0x00FA is 160).
            *value = static_cast<float>((bcd >> 12) * 1000u + ((bcd >> 8) & 0xFu) * 100u + ((bcd >> 4) & 0xFu) * 10u +
                                        (bcd & 0xFu));
            return true;
        }
        case kTypeFloat:
            *value = CellFloat(cell);
            return true;
        case kTypeS32:
            *value = static_cast<float>(static_cast<int32_t>(CellU32(cell)));
            return true;
        case kTypeU32:
            *value = static_cast<float>(CellU32(cell));
            return true;
        default:
            return false;
    }
}

bool FormatWorkingValue(float v, char text[kValueTextLength]) {
    TextRow row;
    if (!ChooseRow(v, &row)) return false;
    // The digits are those of the shortest decimal that reads back as the same
    // single-precision number: the value the host holds (150.7, not the
    // binary 150.6999969...), so that a unit keeping fewer places does not
    // store it one step low. Digits beyond the row's last place are cut off.
    // Values below 10000 in magnitude need at most about 50 characters
    // (the smallest subnormals in fixed notation).
    char digits[64];
    const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits - 1, fabsf(v),
                                                       std::chars_format::fixed);
    if (written.ec != std::errc()) return false;
    *written.ptr = '\0';
    const char* point = strchr(digits, '.');
    const size_t whole_length = point != nullptr ? static_cast<size_t>(point - digits) : strlen(digits);
    const char* fraction = point != nullptr ? point + 1 : "";
    // Between -0.000001 and 0 the row shows the point and zeros.
    const bool zero = !row.negative && v < 0.0f;

    int place = 0;
    if (row.negative) text[place++] = '-';
    for (int d = row.integer_digits; d > 0; --d) {
        // The integer part of the shortest text is the integer part of v.
        const size_t from_end = static_cast<size_t>(d);
        text[place++] = from_end <= whole_length ? digits[whole_length - from_end] : '0';
    }
    text[place++] = '.';
    bool fraction_left = true;
    for (int k = 0; k < row.decimals; ++k) {
        if (fraction_left && fraction[k] == '\0') fraction_left = false;
        text[place++] = (zero || !fraction_left) ? '0' : fraction[k];
    }
    return true;
}

bool FormatValueText(const PointRecord* point, char text[kValueTextLength]) {
    float v = 0.0f;
    return TakeWorkingValue(point, &v) && FormatWorkingValue(v, text);
}
