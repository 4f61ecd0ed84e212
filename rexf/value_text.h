// The six characters a unit sends and takes for a value.
#ifndef REXF_VALUE_TEXT_H
#define REXF_VALUE_TEXT_H

#include <cstddef>
#include <string>

namespace rexf {

constexpr size_t kValueTextChars = 6;

// The text of a value without zero suppression: digits, one point and a
// leading '-' for negatives; the larger the value the fewer the decimals,
// digits beyond the last place cut off, never rounded. The value is taken as
// a single-precision number first, as the controllers hold it. Values beyond
// the text's range are clamped to 9999.9 or -999.9; NaN gives .00000.
std::string FormatValueText(double value);

// The text of a value a unit holds with `decimals` places, as its replies
// carry it: zero-padded to six characters ("0150.7", "-024.5", "000001").
// Fewer places are shown where the value needs the room.
std::string UnitText(double value, int decimals);

// Reads value text as the controllers accept it: optional leading blanks, an
// optional '-', digits with at most one point and at least one digit,
// nothing else. Returns false for anything else.
bool ParseValueText(const std::string& text, double* value);

}  // namespace rexf

#endif  // REXF_VALUE_TEXT_H
