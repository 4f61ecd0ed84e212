// Records exchanged between the host runtime and the QDXTLMV driver module.
//
// This is the chief header of the module: every record the host owns and
// passes to QdxMain is laid out here, field by field, with the byte offsets the
// host relies on.
//
// Layout on 32-bit builds (Linux -m32, Windows i686): every offset and size
// below is exact and checked by static_asserts at the end of this file.
// Layout on 64-bit builds: pointer fields widen to 8 bytes, in the same order,
// with natural alignment; every other field keeps its width (the port handle
// stays 32 bits).
//
// All integers are little-endian. The host allocates and owns every record;
// the driver keeps no pointer to any of them beyond one call.
#ifndef QDXTLMV_HOST_RECORDS_H
#define QDXTLMV_HOST_RECORDS_H

#include <stddef.h>
#include <stdint.h>

// Calling convention of the entry point: cdecl on 32-bit Windows (the
// undecorated export name QdxMain), the platform default elsewhere.
#if defined(_WIN32)
#define QDX_CDECL __cdecl
#else
#define QDX_CDECL
#endif

// Longest port name a record can hold, without its terminating NUL.
enum { kPortNameMax = 11, kPortNameField = 12 };

// The four line values, in the same order and widths wherever they appear:
// start and reopen parameters, serial settings, driver info record.
struct LineValues {
    uint16_t baud_rate;
    uint16_t data_bits;  // platform codes: 5..8
    uint16_t stop_bits;  // 0 one, 1 one and a half, 2 two
    uint16_t parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
};

// Serial settings (22 bytes): what ComOpen needs to open and configure a port.
struct SerialSettings {
    char port_name[kPortNameField];  // NUL-terminated, at most 11 characters
    LineValues line;
    uint16_t control_lines;  // DTR/RTS selection bits (see serial/serial.h)
};

// Port record: one per serial port, owned by the host; keeps the port's
// state between calls. The driver uses its first 58 bytes.
struct PortRecord {
    int32_t reply_timeout;     // units of 10 ms
    uint32_t active;           // enable value from start; 1 after open/reopen
    uint32_t port_handle;      // 0 when no port is held
    SerialSettings settings;   // +12, 22 bytes
    uint8_t poll_frame[8];     // +34, rebuilt before every read attempt
    uint8_t select_frame[16];  // +42, rebuilt before every write attempt
};
enum { kPortRecordUsedBytes = 58 };

// Request block: one per call; the driver only reads it.
struct RequestBlock {
    PortRecord* port;
    uint32_t request_code;    // 0..15
    int32_t instance;         // host's number for this driver instance
    uint32_t reserved;        // not read by the driver
    void* parameter;          // request-specific record
};

// Start parameters (request 1).
struct StartParams {
    char port_name[kPortNameField];
    uint32_t enable;          // 0: leave the port closed, do nothing more
    int32_t reply_timeout;    // units of 10 ms
    LineValues line;
};

// Reopen parameters (request 15).
struct ReopenParams {
    char port_name[kPortNameField];
    int32_t reply_timeout;    // 0 keeps the port record's reply timeout
    LineValues line;          // baud rate 0 keeps the port record's line values
};

// Data type codes: how a point's value is kept in its value cell.
enum DataType : uint32_t {
    kTypeU16 = 0,    // u16 at offset 2
    kTypeS16 = 1,    // i16 at offset 2
    kTypeBcd = 2,    // four-digit packed BCD at offset 2
    kTypeFloat = 3,  // IEEE 754 single at offset 0
    kTypeS32 = 4,    // i32 at offset 0
    kTypeU32 = 5,    // u32 at offset 0
    kTypeState = 6,  // 0/1 as u16 at offset 2
};

// Value cell: host storage of one value. The driver uses a 32-bit place at
// offset 0 and a 16-bit place at offset 2 (the upper half of the 32-bit one).
// Accessed bytewise (memcpy) so any host buffer is safe to use.
struct ValueCell {
    uint8_t bytes[4];
};

enum { kNoBit = 255 };

// Point record (requests 5, 6, 7; also embedded in the point address block).
struct PointRecord {
    uint8_t reserved0[8];
    int32_t unit_address;     // 0..99
    int32_t channel;          // 0..8
    int32_t identifier;       // first char * 256 + second char
    int32_t bit_number;       // 255: none
    int32_t width;            // 16 or 32, for the read-bit request
    int32_t data_type;        // DataType code; written by the host only
    int32_t bit_read_flag;    // set to 1 by the read-bit request
    uint8_t reserved1[4];
    ValueCell* value;         // host storage of the point's value
};

// Point address block (request 3).
struct PointAddressBlock {
    char* address_text;       // NUL-terminated; upper-cased in place
    uint32_t reserved;
    PointRecord point;
};

// Driver info record (request 14); the driver fills every field.
struct DriverInfo {
    uint32_t fixed70;
    const char* driver_name;
    const char* banner;
    uint32_t fixed60;         // in the place of the start parameters' enable
    uint32_t fixed4;          // in the place of the start parameters' timeout
    LineValues default_line;
    uint32_t fixed0;
};

// Result codes to the host.
enum HostResult : int32_t {
    kResultOk = 0,
    kResultInvalidAddress = 1,  // parse request only
    kResultFailed = 2,
};

// Request codes of the request table.
enum RequestCode : uint32_t {
    kRequestStart = 1,
    kRequestFlushInput = 2,
    kRequestParse = 3,
    kRequestNoop = 4,
    kRequestReadBit = 5,
    kRequestReadValue = 6,
    kRequestWriteValue = 7,
    kRequestRefused = 10,
    kRequestClose = 11,
    kRequestCloseAlt = 12,
    kRequestOpen = 13,
    kRequestDriverInfo = 14,
    kRequestReopen = 15,
    kRequestTableSize = 16,
};

static_assert(sizeof(LineValues) == 8, "line values are four u16");
static_assert(sizeof(SerialSettings) == 22, "serial settings are 22 bytes");
static_assert(offsetof(SerialSettings, line) == 12, "");
static_assert(offsetof(SerialSettings, control_lines) == 20, "");
static_assert(offsetof(PortRecord, reply_timeout) == 0, "");
static_assert(offsetof(PortRecord, active) == 4, "");
static_assert(offsetof(PortRecord, port_handle) == 8, "");
static_assert(offsetof(PortRecord, settings) == 12, "");
static_assert(offsetof(PortRecord, poll_frame) == 34, "");
static_assert(offsetof(PortRecord, select_frame) == 42, "");
static_assert(offsetof(PortRecord, select_frame) + 16 == kPortRecordUsedBytes, "");
static_assert(sizeof(StartParams) == 28, "");
static_assert(offsetof(StartParams, enable) == 12, "");
static_assert(offsetof(StartParams, reply_timeout) == 16, "");
static_assert(offsetof(StartParams, line) == 20, "");
static_assert(sizeof(ReopenParams) == 24, "");
static_assert(offsetof(ReopenParams, reply_timeout) == 12, "");
static_assert(offsetof(ReopenParams, line) == 16, "");
static_assert(offsetof(PointRecord, unit_address) == 8, "");
static_assert(offsetof(PointRecord, channel) == 12, "");
static_assert(offsetof(PointRecord, identifier) == 16, "");
static_assert(offsetof(PointRecord, bit_number) == 20, "");
static_assert(offsetof(PointRecord, width) == 24, "");
static_assert(offsetof(PointRecord, data_type) == 28, "");
static_assert(offsetof(PointRecord, bit_read_flag) == 32, "");
static_assert(offsetof(PointRecord, value) == 40, "");
static_assert(sizeof(ValueCell) == 4, "");

#if UINTPTR_MAX == 0xFFFFFFFFu
// Exact 32-bit layout the host relies on.
static_assert(sizeof(RequestBlock) == 20, "");
static_assert(offsetof(RequestBlock, request_code) == 4, "");
static_assert(offsetof(RequestBlock, instance) == 8, "");
static_assert(offsetof(RequestBlock, parameter) == 16, "");
static_assert(sizeof(PortRecord) >= kPortRecordUsedBytes, "");
static_assert(sizeof(PointRecord) == 44, "");
static_assert(sizeof(PointAddressBlock) == 52, "");
static_assert(offsetof(PointAddressBlock, point) == 8, "");
static_assert(offsetof(PointAddressBlock, point) + offsetof(PointRecord, unit_address) == 16, "");
static_assert(offsetof(PointAddressBlock, point) + offsetof(PointRecord, width) == 32, "");
static_assert(sizeof(DriverInfo) == 32, "");
static_assert(offsetof(DriverInfo, driver_name) == 4, "");
static_assert(offsetof(DriverInfo, banner) == 8, "");
static_assert(offsetof(DriverInfo, fixed60) == 12, "");
static_assert(offsetof(DriverInfo, fixed4) == 16, "");
static_assert(offsetof(DriverInfo, default_line) == 20, "");
static_assert(offsetof(DriverInfo, fixed0) == 28, "");
#endif

#endif  // QDXTLMV_HOST_RECORDS_H
