// Point values as the host keeps them: the seven data types, the 4-byte
// value cell, reading a cell back as text and filling it from the text that
// the user typed.
#ifndef QDXPOLL_VALUES_H
#define QDXPOLL_VALUES_H

#include <cstdint>
#include <optional>
#include <string>

#include "host/records.h"

// Type names as the command line spells them; index = data type code.
const char* TypeName(uint32_t type);
std::optional<uint32_t> TypeFromName(const std::string& name);
// True for the types kept in the 32-bit place at offset 0.
bool IsWideType(uint32_t type);

// Cell places: the 16-bit one at offset 2, the 32-bit one at offset 0.
uint16_t CellU16(const ValueCell& cell);
uint32_t CellU32(const ValueCell& cell);
void SetCellU16(ValueCell* cell, uint16_t value);
void SetCellU32(ValueCell* cell, uint32_t value);

// A value read from a cell, ready for every output form.
struct CellValue {
    std::string text;      // natural text: no exponent, no trailing zeros
    bool numeric = true;   // false for a BCD cell holding a non-decimal nibble
    double number = 0;     // the value as a number (when numeric)
    bool is_integer = true;
    int64_t integer = 0;   // the value when is_integer
};

// Reads the cell as the data type keeps it; a bit read shows the u16 at
// offset 2 (0 or 1) whatever the type.
CellValue DecodeCell(uint32_t type, const ValueCell& cell, bool bit_read);

// Shortest decimal text that reads back as the same float, never in
// exponent form ("25.5", "-199.9", "0.001", "1000").
std::string FloatText(float value);

// Fills the cell from a written value (the grammar of written_value.h) for
// the data type. Refuses text that is not a number of the type (an integer
// type takes whole values only: 150, 150.0 or 1.5e2), out of the type's
// range, or outside what the driver's six-character value text can carry
// (-999.9 .. 9999.9); the message says why. Returns false on refusal.
bool EncodeValue(uint32_t type, const std::string& text, ValueCell* cell, std::string* why);

// Whether a value read back after a write matches the written one, allowing
// for the driver's six-character value text (one unit in its last place).
bool SameAsWritten(uint32_t type, const CellValue& written, const CellValue& read_back);

// Whether a unit holds the written value: the same as written (above), or
// the written value cut to the decimals the unit keeps for the identifier
// (a unit cuts, never rounds: 42.57 is held as 42.5 with one decimal).
bool HeldAtUnitResolution(const std::string& identifier, uint32_t type, const CellValue& written,
                          const CellValue& held);

#endif  // QDXPOLL_VALUES_H
