// What a REX-F unit holds behind each of the 79 identifiers the driver knows:
// its meaning, whether a host may write it, the range a unit accepts or
// reports, and the decimals the unit keeps. Shared by the simulator (to answer
// as a unit does) and by the host tool (to list and check identifiers).
#ifndef REXF_UNIT_MODEL_H
#define REXF_UNIT_MODEL_H

#include <cstddef>
#include <string>

namespace rexf {

enum class Access { kReadOnly, kReadWrite };

// What a value is counted in: the input range's unit (temperatures, and the
// bands and gaps measured in them), a share of the output, a current
// transformer's amperes, seconds; none for codes, states and switches.
enum class EngineeringUnit { kNone, kInput, kPercent, kAmpere, kSecond };

// The input range of the simulated unit (a type K thermocouple input), which
// bounds the measured value, the set value monitor and the setting limiters.
constexpr double kInputLow = 0.0;
constexpr double kInputHigh = 1372.0;

struct IdentifierModel {
    char ident[3];
    const char* meaning;
    Access access;
    double low, high;   // setting range (writable) or the values a unit reports
    int decimals;       // places the unit keeps
    bool option;        // fitted only on units with that option
    bool within_limits; // writes must also lie within the unit's SL..SH (the set value)
    bool documented;    // false: the manuals at hand say nothing; the row holds defaults
    EngineeringUnit unit;
};

// The 79 identifiers in the driver's table order.
const IdentifierModel* IdentifierModels(size_t* count);

// The same, for a range-for.
struct IdentifierRange {
    const IdentifierModel* first;
    const IdentifierModel* last;
    const IdentifierModel* begin() const { return first; }
    const IdentifierModel* end() const { return last; }
};
IdentifierRange IdentifierList();

// The row for a two-character identifier, or nullptr if the driver has none.
const IdentifierModel* FindIdentifierModel(const std::string& ident);

// "read-only" or "read/write".
const char* AccessName(Access access);

// The unit's symbol: "°C" for the input range (a type K thermocouple input),
// "%", "A", "s"; "" for none.
const char* EngineeringUnitText(EngineeringUnit unit);

// Cuts a value to the places a unit keeps (toward zero, never rounded), as a
// unit does with a written value that has more decimals than it keeps. The
// value is taken as decimal text first, so 150.7 stays 150.7.
double CutToDecimals(double value, int decimals);

}  // namespace rexf

#endif
