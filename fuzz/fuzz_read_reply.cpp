// The read path (requests 6 and 5) against whatever the controller sends.
//
// Input: a 12-byte header, then the fake line's reply script (fake_line.h).
//   0      bit 0: read bit (5) instead of read value (6)
//   1      data type: 0..7 from the low 3 bits, or with bit 7 set the byte
//          itself as a signed code (negative codes store nothing)
//   2      bit number: 0xFF is 255 (no bit), any other byte is signed
//   3      width: bit 0 chooses 32 or 16; with bit 7 set the byte itself,
//          signed (a width that selects no bit)
//   4, 5   unit address (mod 100), channel (mod 9)
//   6, 7   identifier characters
//   8..11  the value cell's content before the read
// Checks: the result is 0 or 2; the polling frames and closing EOT that go out
// are the ones expected; every log line is one of the four reply-check lines,
// and they are exactly the lines an independent check of the replies
// predicts; after result 2 the value cell is untouched; a bit read leaves
// 0 or 1 at offset 2.
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "fake_line.h"
#include "fuzz_support.h"
#include "host/handlers.h"

namespace {

enum { kHeaderSize = 12 };

struct Expectation {
    bool good_reply = false;
    int polls = 0;
    std::vector<std::string> lines;
    uint8_t reply[11] = {};
};

// Walks the reply script as the line would serve it to three polls, and says
// what the driver must log and whether a good reply arrives.
Expectation Predict(const uint8_t* script, size_t size, uint8_t id_high, uint8_t id_low) {
    Expectation e;
    size_t pos = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        ++e.polls;
        size_t length = 0;
        int mode = 0;
        const uint8_t* bytes = script + pos;
        if (pos < size) {
            const uint8_t header = script[pos++];
            mode = header >> 6;
            length = header & 0x3F;
            if (length > size - pos) length = size - pos;
            bytes = script + pos;
            pos += length;
        }
        if (mode == 2 || length < 11) continue;  // silence or a short reply: no line
        const uint8_t* r = bytes;
        uint8_t bcc = 0;
        for (int i = 1; i <= 9; ++i) bcc ^= r[i];
        char line[80];
        if (r[0] != 0x02) {
            e.lines.emplace_back("QDXTLMV> Read reply missing STX");
        } else if (r[1] != id_high || r[2] != id_low) {
            e.lines.emplace_back("QDXTLMV> Read reply incorrect identifier");
        } else if (r[9] != 0x03) {
            e.lines.emplace_back("QDXTLMV> Read reply missing ETX");
        } else if (r[10] != bcc) {
            snprintf(line, sizeof line, "QDXTLMV> Read reply incorrect BCC - (%2x!=%2x)", bcc, r[10]);
            e.lines.emplace_back(line);
        } else {
            e.good_reply = true;
            memcpy(e.reply, r, 11);
            return e;
        }
    }
    return e;
}

bool IsDocumentedLine(const std::string& line) {
    if (line == "QDXTLMV> Read reply missing STX" || line == "QDXTLMV> Read reply incorrect identifier" ||
        line == "QDXTLMV> Read reply missing ETX") {
        return true;
    }
    unsigned computed = 0;
    unsigned received = 0;
    char tail = 0;
    if (sscanf(line.c_str(), "QDXTLMV> Read reply incorrect BCC - (%2x!=%2x%c", &computed, &received, &tail) != 3 ||
        tail != ')') {
        return false;
    }
    char again[80];
    snprintf(again, sizeof again, "QDXTLMV> Read reply incorrect BCC - (%2x!=%2x)", computed, received);
    return line == again;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeaderSize) return -1;
    const bool read_bit = data[0] & 1;
    const int32_t data_type = (data[1] & 0x80) ? static_cast<int8_t>(data[1]) : (data[1] & 7);
    const int32_t bit_number = data[2] == 0xFF ? 255 : static_cast<int8_t>(data[2]);
    const int32_t width = (data[3] & 0x80) ? static_cast<int8_t>(data[3]) : ((data[3] & 1) ? 32 : 16);
    const uint8_t* script = data + kHeaderSize;
    const size_t script_size = size - kHeaderSize;

    fake_line::Reset();
    fake_line::SetScript(script, script_size);
    CaptureLogLines();

    PortRecord port;
    memset(&port, 0, sizeof port);
    strcpy(port.settings.port_name, "LINE");
    FUZZ_CHECK(ComOpen(&port.settings, &port.port_handle) == kComOk);

    ValueCell* cell = new ValueCell;
    memcpy(cell->bytes, data + 8, 4);
    const ValueCell cell_before = *cell;

    PointRecord point;
    memset(&point, 0xC3, sizeof point);
    point.unit_address = data[4] % 100;
    point.channel = data[5] % 9;
    point.identifier = data[6] * 256 + data[7];
    point.bit_number = bit_number;
    point.width = width;
    point.data_type = data_type;
    point.bit_read_flag = 0;
    point.value = cell;
    const PointRecord point_before = point;

    RequestBlock request;
    memset(&request, 0, sizeof request);
    request.port = &port;
    request.request_code = read_bit ? kRequestReadBit : kRequestReadValue;
    request.parameter = &point;
    const int32_t result = QdxMain(&request);

    FUZZ_CHECK(result == 0 || result == 2);

    // What went out: one polling frame per attempt, then EOT after a good reply.
    const Expectation e = Predict(script, script_size, data[6], data[7]);
    const std::vector<std::vector<uint8_t>>& writes = fake_line::Writes();
    const uint8_t poll[8] = {0x04, static_cast<uint8_t>('0' + point.unit_address / 10),
                             static_cast<uint8_t>('0' + point.unit_address % 10), 'K',
                             static_cast<uint8_t>('0' + point.channel), data[6], data[7], 0x05};
    FUZZ_CHECK(writes.size() == static_cast<size_t>(e.polls) + (e.good_reply ? 1 : 0));
    for (int i = 0; i < e.polls; ++i) {
        FUZZ_CHECK(writes[i].size() == 8 && memcmp(writes[i].data(), poll, 8) == 0);
    }
    if (e.good_reply) FUZZ_CHECK(writes.back().size() == 1 && writes.back()[0] == 0x04);

    for (const std::string& line : LoggedLines()) FUZZ_CHECK(IsDocumentedLine(line));
    FUZZ_CHECK(LoggedLines() == e.lines);

    if (!e.good_reply) FUZZ_CHECK(result == 2);
    if (result == 2) FUZZ_CHECK(memcmp(cell, &cell_before, sizeof *cell) == 0);
    const bool stores = data_type >= 0 && data_type <= 6;
    if (result == 0 && !stores && !(read_bit && bit_number != 255 && (width == 16 || width == 32))) {
        FUZZ_CHECK(memcmp(cell, &cell_before, sizeof *cell) == 0);
    }
    if (result == 0 && e.good_reply && data_type == 3) {
        // A float point keeps the parsed value; a bit read then replaces
        // only the upper half.
        float x = 0.0f;
        char field[8] = {};
        memcpy(field, e.reply + 3, 7);
        FUZZ_CHECK(sscanf(field, "%6f", &x) == 1);
        float stored;
        memcpy(&stored, cell->bytes, 4);
        if (!read_bit || bit_number == 255 || (width != 16 && width != 32)) {
            FUZZ_CHECK(memcmp(&stored, &x, 4) == 0);
        }
    }
    if (result == 0 && data_type == 6) {
        uint16_t state;
        memcpy(&state, cell->bytes + 2, 2);
        FUZZ_CHECK(state == 0 || state == 1);
    }
    if (read_bit && result == 0 && bit_number != 255 && (width == 16 || width == 32)) {
        uint16_t bit;
        memcpy(&bit, cell->bytes + 2, 2);
        FUZZ_CHECK(bit == 0 || bit == 1);
    }

    // The point record: only the bit-read flag, and only for a bit read.
    PointRecord rest = point;
    if (read_bit) {
        FUZZ_CHECK(point.bit_read_flag == 1);
        rest.bit_read_flag = point_before.bit_read_flag;
    }
    FUZZ_CHECK(memcmp(&rest, &point_before, sizeof rest) == 0);

    ComClose(port.port_handle);
    delete cell;
    return 0;
}
