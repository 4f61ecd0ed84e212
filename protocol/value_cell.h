// Byte-wise access to the two places of a host value cell: a 32-bit value at
// offset 0 and a 16-bit value at offset 2 (the upper half of the 32-bit one on
// the little-endian machines the module runs on).
#ifndef QDXTLMV_PROTOCOL_VALUE_CELL_H
#define QDXTLMV_PROTOCOL_VALUE_CELL_H

#include <stdint.h>
#include <string.h>

#include "host/records.h"

inline uint16_t CellU16(const ValueCell* cell) {
    uint16_t v;
    memcpy(&v, cell->bytes + 2, sizeof v);
    return v;
}

inline void SetCellU16(ValueCell* cell, uint16_t v) { memcpy(cell->bytes + 2, &v, sizeof v); }

inline uint32_t CellU32(const ValueCell* cell) {
    uint32_t v;
    memcpy(&v, cell->bytes, sizeof v);
    return v;
}

inline void SetCellU32(ValueCell* cell, uint32_t v) { memcpy(cell->bytes, &v, sizeof v); }

inline float CellFloat(const ValueCell* cell) {
    float v;
    memcpy(&v, cell->bytes, sizeof v);
    return v;
}

inline void SetCellFloat(ValueCell* cell, float v) { memcpy(cell->bytes, &v, sizeof v); }

#endif  // QDXTLMV_PROTOCOL_VALUE_CELL_H
