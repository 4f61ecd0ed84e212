#include "rexf/unit_model.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rexf {
namespace {

constexpr Access RO = Access::kReadOnly;
constexpr Access RW = Access::kReadWrite;
constexpr EngineeringUnit IN = EngineeringUnit::kInput;
constexpr EngineeringUnit PCT = EngineeringUnit::kPercent;
constexpr EngineeringUnit AMP = EngineeringUnit::kAmpere;
constexpr EngineeringUnit SEC = EngineeringUnit::kSecond;
constexpr EngineeringUnit NONE = EngineeringUnit::kNone;

// Defaults for identifiers the manuals at hand do not describe.
#define UNDOCUMENTED(id) {id, "not described in the manuals at hand", RW, -999.9, 9999.9, 1, false, false, false, NONE}

const IdentifierModel kModels[] = {
    {"A1", "alarm 1 set value", RW, -999.9, 9999.9, 1, false, false, true, IN},
    {"A2", "alarm 2 set value", RW, -999.9, 9999.9, 1, false, false, true, IN},
    {"A3", "alarm 3 set value", RW, -999.9, 9999.9, 1, false, false, true, IN},
    {"AA", "alarm 1 status", RO, 0, 1, 0, false, false, true, NONE},
    {"AB", "alarm 2 status", RO, 0, 1, 0, false, false, true, NONE},
    {"AC", "alarm 3 status", RO, 0, 1, 0, false, false, true, NONE},
    UNDOCUMENTED("AV"),
    UNDOCUMENTED("AW"),
    {"B1", "burnout", RO, 0, 1, 0, false, false, true, NONE},
    {"B2", "burnout of input 2 (assumed)", RO, 0, 1, 0, false, false, true, NONE},
    UNDOCUMENTED("C1"),
    UNDOCUMENTED("CA"),
    {"D1", "derivative time, s (0: PI action)", RW, 0, 3600, 0, false, false, true, SEC},
    UNDOCUMENTED("DA"),
    UNDOCUMENTED("DP"),
    UNDOCUMENTED("E1"),
    UNDOCUMENTED("F1"),
    UNDOCUMENTED("F2"),
    {"G1", "PID / autotuning (0 PID, 1 autotuning)", RW, 0, 1, 0, false, false, true, NONE},
    {"GB", "autotuning bias", RW, -kInputHigh, kInputHigh, 1, false, false, true, IN},
    {"HA", "alarm 1 differential gap", RW, 0, 100.0, 1, false, false, true, IN},
    {"HB", "alarm 2 differential gap", RW, 0, 100.0, 1, false, false, true, IN},
    UNDOCUMENTED("HH"),
    UNDOCUMENTED("HV"),
    UNDOCUMENTED("HW"),
    {"I1", "integral time, s (0: PD action)", RW, 0, 3600, 0, false, false, true, SEC},
    UNDOCUMENTED("IV"),
    {"J1", "auto/manual (assumed)", RW, 0, 1, 0, false, false, true, NONE},
    UNDOCUMENTED("LA"),
    UNDOCUMENTED("LL"),
    {"M1", "measured value (PV)", RO, kInputLow, kInputHigh, 1, false, false, true, IN},
    {"M2", "current transformer input 1, A (option)", RO, 0, 100.0, 1, true, false, true, AMP},
    {"M3", "current transformer input 2, A (option)", RO, 0, 100.0, 1, true, false, true, AMP},
    {"MS", "set value monitor", RO, kInputLow, kInputHigh, 1, false, false, true, IN},
    {"NA", "alarm 1 energized/de-energized", RW, 0, 1, 0, false, false, true, NONE},
    {"NB", "alarm 2 energized/de-energized", RW, 0, 1, 0, false, false, true, NONE},
    {"O1", "manipulated output, heat side, % (assumed)", RO, -5.0, 105.0, 1, false, false, true, PCT},
    {"O2", "manipulated output, cool side, % (assumed)", RO, -5.0, 105.0, 1, false, false, true, PCT},
    {"OA", "alarm 1 action at input error", RW, 0, 1, 0, false, false, true, NONE},
    {"OB", "alarm 2 action at input error", RW, 0, 1, 0, false, false, true, NONE},
    UNDOCUMENTED("OE"),
    {"OH", "output limiter high, % (assumed)", RW, -5.0, 105.0, 1, false, false, true, PCT},
    {"OL", "output limiter low, % (assumed)", RW, -5.0, 105.0, 1, false, false, true, PCT},
    UNDOCUMENTED("ON"),
    {"OQ", "output value with autotuning off, %", RW, -105.0, 105.0, 1, false, false, true, PCT},
    {"P1", "proportional band (0: on/off action)", RW, 0, 1000.0, 1, false, false, true, IN},
    UNDOCUMENTED("P2"),
    {"PB", "PV bias (assumed)", RW, -199.9, 199.9, 1, false, false, true, IN},
    UNDOCUMENTED("PH"),
    UNDOCUMENTED("PL"),
    UNDOCUMENTED("RA"),
    UNDOCUMENTED("RB"),
    UNDOCUMENTED("RR"),
    {"S1", "set value (SV), within SL..SH", RW, kInputLow, kInputHigh, 1, false, true, true, IN},
    UNDOCUMENTED("S2"),
    {"SH", "setting limiter high (assumed)", RW, kInputLow, kInputHigh, 1, false, false, true, IN},
    {"SL", "setting limiter low (assumed)", RW, kInputLow, kInputHigh, 1, false, false, true, IN},
    {"SR", "RUN/STOP (assumed)", RW, 0, 1, 0, false, false, true, NONE},
    UNDOCUMENTED("SX"),
    UNDOCUMENTED("SY"),
    {"T1", "proportioning cycle, s", RW, 1, 100, 0, false, false, true, SEC},
    {"TG", "alarm 2 delay timer, s", RW, 0, 600.0, 1, false, false, true, SEC},
    UNDOCUMENTED("V1"),
    UNDOCUMENTED("V2"),
    {"WA", "alarm 1 hold action", RW, 0, 1, 0, false, false, true, NONE},
    {"WB", "alarm 2 hold action", RW, 0, 1, 0, false, false, true, NONE},
    UNDOCUMENTED("WH"),
    UNDOCUMENTED("WL"),
    {"XA", "alarm 1 type (code)", RW, 0, 9, 0, false, false, true, NONE},
    {"XB", "alarm 2 type (code)", RW, 0, 9, 0, false, false, true, NONE},
    UNDOCUMENTED("XE"),
    UNDOCUMENTED("XH"),
    {"XI", "input type (code)", RW, 0, 99, 0, false, false, true, NONE},
    UNDOCUMENTED("XL"),
    UNDOCUMENTED("XN"),
    UNDOCUMENTED("XR"),
    UNDOCUMENTED("XV"),
    UNDOCUMENTED("XW"),
    {"ZA", "memory area transfer (assumed)", RW, 1, 8, 0, false, false, true, NONE},
};

#undef UNDOCUMENTED

static_assert(sizeof kModels / sizeof kModels[0] == 79, "the driver knows 79 identifiers");

}  // namespace

const IdentifierModel* IdentifierModels(size_t* count) {
    *count = sizeof kModels / sizeof kModels[0];
    return kModels;
}

IdentifierRange IdentifierList() { return {kModels, kModels + sizeof kModels / sizeof kModels[0]}; }

const IdentifierModel* FindIdentifierModel(const std::string& ident) {
    for (const IdentifierModel& m : kModels)
        if (ident == m.ident) return &m;
    return nullptr;
}

const char* AccessName(Access access) { return access == Access::kReadOnly ? "read-only" : "read/write"; }

const char* EngineeringUnitText(EngineeringUnit unit) {
    switch (unit) {
        case EngineeringUnit::kInput: return "°C";
        case EngineeringUnit::kPercent: return "%";
        case EngineeringUnit::kAmpere: return "A";
        case EngineeringUnit::kSecond: return "s";
        case EngineeringUnit::kNone: break;
    }
    return "";
}

double CutToDecimals(double value, int decimals) {
    if (!std::isfinite(value)) return value;
    // The shortest decimal text of the value (17 significant digits are
    // exact for a double; %.*f of the needed places plus margin keeps "150.7"
    // from becoming 150.69999...), cut after `decimals` places.
    char text[64];
    std::snprintf(text, sizeof text, "%.6f", value);
    char* point = std::strchr(text, '.');
    if (point != nullptr) {
        if (decimals <= 0)
            *point = '\0';
        else if (std::strlen(point + 1) > static_cast<size_t>(decimals))
            point[1 + decimals] = '\0';
    }
    return std::strtod(text, nullptr);
}

}  // namespace rexf
