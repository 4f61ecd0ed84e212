// The six-character value text of a selecting frame: digits, one decimal
// point and, for negative values, a leading minus sign. The larger the
// value, the fewer the decimals; digits beyond the last place are cut off,
// never rounded. The digits are those of the shortest decimal that reads back
// as the same single-precision number, so a value the host holds as 150.7
// goes out as 150.70, not as the 150.69 of its binary expansion.
#ifndef QDXTLMV_PROTOCOL_VALUE_TEXT_H
#define QDXTLMV_PROTOCOL_VALUE_TEXT_H

#include "host/records.h"
#include "protocol/frames.h"

// Takes the working value of the point from its value cell, by data type.
// False for a data type code above 6.
bool TakeWorkingValue(const PointRecord* point, float* value);

// Formats v into text. False, with text unwritten, when v has no value text:
// not a number, infinite, 10000 or more, or -1000 or less.
bool FormatWorkingValue(float v, char text[kValueTextLength]);

// The value text of the point's value cell; false when the point's value
// cannot be sent (see TakeWorkingValue and FormatWorkingValue).
bool FormatValueText(const PointRecord* point, char text[kValueTextLength]);

#endif  // QDXTLMV_PROTOCOL_VALUE_TEXT_H
