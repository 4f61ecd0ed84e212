// Value cells: layout by data type, natural text, parsing with range checks.
#include "readings/values.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "readings/written_value.h"
#include "rexf/unit_model.h"

namespace {

const char* const kTypeNames[] = {"u16", "s16", "bcd", "float", "s32", "u32", "state"};
constexpr uint32_t kTypeCount = sizeof kTypeNames / sizeof kTypeNames[0];

// What the driver's six-character value text holds: four integer digits for
// a positive value, three after a minus sign.
constexpr double kWireLowExclusive = -1000.0;
constexpr double kWireHighExclusive = 10000.0;

std::string WireRangeMessage(const std::string& text) {
    return "value " + text +
           " does not fit the driver's six-character value text (-999.9 .. 9999.9)";
}

}  // namespace

const char* TypeName(uint32_t type) { return type < kTypeCount ? kTypeNames[type] : "?"; }

std::optional<uint32_t> TypeFromName(const std::string& name) {
    for (uint32_t i = 0; i < kTypeCount; ++i)
        if (name == kTypeNames[i]) return i;
    return std::nullopt;
}

bool IsWideType(uint32_t type) { return type == kTypeFloat || type == kTypeS32 || type == kTypeU32; }

uint16_t CellU16(const ValueCell& cell) {
    uint16_t v;
    std::memcpy(&v, cell.bytes + 2, sizeof v);
    return v;
}

uint32_t CellU32(const ValueCell& cell) {
    uint32_t v;
    std::memcpy(&v, cell.bytes, sizeof v);
    return v;
}

void SetCellU16(ValueCell* cell, uint16_t value) { std::memcpy(cell->bytes + 2, &value, sizeof value); }
void SetCellU32(ValueCell* cell, uint32_t value) { std::memcpy(cell->bytes, &value, sizeof value); }

std::string FloatText(float value) {
    if (std::isnan(value)) return "nan";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (result.ec != std::errc()) return "?";
    return std::string(buffer, result.ptr);
}

CellValue DecodeCell(uint32_t type, const ValueCell& cell, bool bit_read) {
    CellValue v;
    auto set_integer = [&v](int64_t i) {
        v.integer = i;
        v.number = static_cast<double>(i);
        v.text = std::to_string(i);
    };
    if (bit_read) {
        set_integer(CellU16(cell));
        return v;
    }
    switch (type) {
        case kTypeU16:
        case kTypeState:
            set_integer(CellU16(cell));
            break;
        case kTypeS16:
            set_integer(static_cast<int16_t>(CellU16(cell)));
            break;
        case kTypeBcd: {
            const uint16_t raw = CellU16(cell);
            char digits[8];
            std::snprintf(digits, sizeof digits, "%04X", static_cast<unsigned>(raw));
            v.text = digits;
            bool decimal = true;
            int64_t value = 0;
            for (int shift = 12; shift >= 0; shift -= 4) {
                const unsigned nibble = (raw >> shift) & 0xF;
                if (nibble > 9) decimal = false;
                value = value * 10 + nibble;
            }
            v.numeric = decimal;
            v.integer = value;
            v.number = static_cast<double>(value);
            break;
        }
        case kTypeFloat: {
            float f;
            std::memcpy(&f, cell.bytes, sizeof f);
            v.is_integer = false;
            v.text = FloatText(f);
            v.numeric = std::isfinite(f);
            // The number as its text reads, so that JSON shows 25.5 and not
            // the double nearest to the float.
            v.number = v.numeric ? std::strtod(v.text.c_str(), nullptr) : 0.0;
            break;
        }
        case kTypeS32:
            set_integer(static_cast<int32_t>(CellU32(cell)));
            break;
        case kTypeU32:
            set_integer(CellU32(cell));
            break;
        default:
            v.numeric = false;
            v.text = "?";
            break;
    }
    return v;
}

bool EncodeValue(uint32_t type, const std::string& text, ValueCell* cell, std::string* why) {
    WrittenValue given;
    if (!ParseWrittenValue(text, &given, why)) return false;
    if (type == kTypeFloat) {
        const float f = static_cast<float>(given.number);
        if (!(f > kWireLowExclusive && f < kWireHighExclusive)) {
            *why = WireRangeMessage(given.text);
            return false;
        }
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        SetCellU32(cell, bits);
        return true;
    }

    struct Range {
        long long low, high;
    };
    Range range;
    switch (type) {
        case kTypeU16: range = {0, 65535}; break;
        case kTypeS16: range = {-32768, 32767}; break;
        case kTypeBcd: range = {0, 9999}; break;
        case kTypeS32: range = {INT32_MIN, INT32_MAX}; break;
        case kTypeU32: range = {0, UINT32_MAX}; break;
        case kTypeState: range = {0, 1}; break;
        default:
            *why = "unknown data type";
            return false;
    }
    if (!given.whole) {
        *why = "value " + given.text + " is not a whole number (type " + TypeName(type) + ")";
        return false;
    }
    const long long v = given.integer;
    if (!given.integer_fits || v < range.low || v > range.high) {
        *why = "value " + given.text + " is out of range for type " + TypeName(type) + " (" +
               std::to_string(range.low) + " .. " + std::to_string(range.high) + ")";
        return false;
    }
    if (!(v > kWireLowExclusive && v < kWireHighExclusive)) {
        *why = WireRangeMessage(given.text);
        return false;
    }
    switch (type) {
        case kTypeBcd: {
            uint16_t packed = 0;
            long long rest = v;
            for (int shift = 0; shift <= 12; shift += 4) {
                packed = static_cast<uint16_t>(packed | ((rest % 10) << shift));
                rest /= 10;
            }
            SetCellU16(cell, packed);
            break;
        }
        case kTypeS32:
        case kTypeU32:
            SetCellU32(cell, static_cast<uint32_t>(v));
            break;
        default:
            SetCellU16(cell, static_cast<uint16_t>(v));
            break;
    }
    return true;
}

bool SameAsWritten(uint32_t type, const CellValue& written, const CellValue& read_back) {
    if (!written.numeric || !read_back.numeric) return written.text == read_back.text;
    if (type != kTypeFloat) return written.number == read_back.number;
    // The value text keeps five significant digits: 1234.5, 123.45, 12.345,
    // 1.2345, .12345 (one digit less after a minus
    // sign); anything below its last place is cut off.
    const double magnitude = std::fabs(written.number);
    double last_place = 0.00001;
    if (magnitude >= 1000) last_place = 0.1;
    else if (magnitude >= 100) last_place = 0.01;
    else if (magnitude >= 10) last_place = 0.001;
    else if (magnitude >= 1) last_place = 0.0001;
    // A negative value gives one of its six places to the minus sign.
    if (written.number < 0) last_place *= 10;
    return std::fabs(written.number - read_back.number) <= last_place * 1.001;
}

bool HeldAtUnitResolution(const std::string& identifier, uint32_t type, const CellValue& written,
                          const CellValue& held) {
    if (SameAsWritten(type, written, held)) return true;
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(identifier);
    if (m == nullptr || !written.numeric || !held.numeric) return false;
    const double kept = rexf::CutToDecimals(written.number, m->decimals);
    return std::fabs(held.number - kept) < 0.5 * std::pow(10.0, -m->decimals);
}
