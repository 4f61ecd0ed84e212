// Conversion of a value cell's content into the value text.
#include "protocol/value_text.h"

#include <math.h>

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

char Digit(int64_t n) { return static_cast<char>('0' + n % 10); }

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
    // a x 10^k is exact in double for k up to 5, so truncating it gives the
    // digits of the exact binary value.
    const double a = row.negative ? fabs(static_cast<double>(v)) : static_cast<double>(v);
    int place = 0;
    if (row.negative) text[place++] = '-';
    const int64_t whole = static_cast<int64_t>(a);  // below 10000
    int64_t divisor = 1;
    for (int d = 1; d < row.integer_digits; ++d) divisor *= 10;
    for (int d = 0; d < row.integer_digits; ++d, divisor /= 10) text[place++] = Digit(whole / divisor);
    text[place++] = '.';
    double scale = 1.0;
    for (int k = 1; k <= row.decimals; ++k) {
        scale *= 10.0;
        text[place++] = Digit(static_cast<int64_t>(a * scale));  // truncates toward zero
    }
    return true;
}

bool FormatValueText(const PointRecord* point, char text[kValueTextLength]) {
    float v = 0.0f;
    return TakeWorkingValue(point, &v) && FormatWorkingValue(v, text);
}
