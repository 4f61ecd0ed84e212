// Address texts through the parse request (3). The input, up to its first
// NUL, is the host's address text, held in a buffer of exactly its length
// plus the NUL so that any read past the text is caught.
//
// Checks: the result is 0 or 1; the text is upper-cased in place, character
// by character, and keeps its length; the result and the point record agree
// with an independent reading of the address format and identifier table:
// untouched when the text is too long or a character is out of place, all
// five fields written (width 32, bit 255, unit, channel, identifier) when the
// characters pass, and result 0 exactly for a known identifier. Nothing else
// in the point address block changes.
#include <stdint.h>
#include <string.h>

#include <vector>

#include "fuzz_support.h"
#include "host/handlers.h"

namespace {

char ExpectedUpper(char c) {
    const int8_t v = static_cast<int8_t>(c);
    return v >= 97 ? static_cast<char>(v - 32) : c;
}

bool CharAllowed(int position, char c) {
    static const char* const kSets[7] = {
        "0123456789", "0123456789", "K", "012345678", "ABCDEFGHIJLMNOPRSTVWXZ", "ABCDEGHILNPQRSVWXY123", " ",
    };
    return c != '\0' && strchr(kSets[position], c) != nullptr;
}

bool KnownIdentifier(char first, char second) {
    static const char* const kRows[] = {
        "A123ABCVW", "B12", "C1A", "D1AP", "E1", "F12", "G1B", "HABHVW", "I1V", "J1", "LAL",
        "M123S", "NAB", "O12ABEHLNQ", "P12BHL", "RABR", "S12HLRXY", "T1G", "V12", "WABHL", "XABEHILNRVW", "ZA",
    };
    for (const char* row : kRows) {
        if (row[0] == first) return second != '\0' && strchr(row + 1, second) != nullptr;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t* nul = static_cast<const uint8_t*>(memchr(data, 0, size));
    const size_t length = nul != nullptr ? static_cast<size_t>(nul - data) : size;

    std::vector<char> original(data, data + length);
    char* text = new char[length + 1];
    memcpy(text, data, length);
    text[length] = '\0';

    PointAddressBlock block;
    memset(&block, 0xA5, sizeof block);
    block.address_text = text;
    ValueCell cell;
    block.point.value = &cell;
    const PointAddressBlock before = block;

    RequestBlock request;
    memset(&request, 0x5A, sizeof request);
    request.port = nullptr;
    request.request_code = kRequestParse;
    request.parameter = &block;
    const int32_t result = QdxMain(&request);

    FUZZ_CHECK(result == 0 || result == 1);
    FUZZ_CHECK(text[length] == '\0');
    for (size_t i = 0; i < length; ++i) FUZZ_CHECK(text[i] == ExpectedUpper(original[i]));

    // The expected outcome, read from the upper-cased text padded to 7.
    char padded[7];
    for (size_t i = 0; i < 7; ++i) padded[i] = i < length ? text[i] : ' ';
    bool chars_pass = length <= 7;
    for (int position = 0; chars_pass && position < 7; ++position) chars_pass = CharAllowed(position, padded[position]);

    const PointRecord& point = block.point;
    FUZZ_CHECK(block.address_text == before.address_text);
    FUZZ_CHECK(memcmp(&block.reserved, &before.reserved, sizeof block.reserved) == 0);
    if (!chars_pass) {
        FUZZ_CHECK(result == 1);
        FUZZ_CHECK(memcmp(&point, &before.point, sizeof point) == 0);
    } else {
        FUZZ_CHECK(length == 6 || (length == 7 && text[6] == ' '));
        FUZZ_CHECK(point.width == 32);
        FUZZ_CHECK(point.bit_number == 255);
        FUZZ_CHECK(point.unit_address == (padded[0] - '0') * 10 + (padded[1] - '0'));
        FUZZ_CHECK(point.unit_address >= 0 && point.unit_address <= 99);
        FUZZ_CHECK(point.channel == padded[3] - '0');
        FUZZ_CHECK(point.channel >= 0 && point.channel <= 8);
        FUZZ_CHECK(point.identifier == static_cast<uint8_t>(padded[4]) * 256 + static_cast<uint8_t>(padded[5]));
        FUZZ_CHECK(result == (KnownIdentifier(padded[4], padded[5]) ? 0 : 1));
        // Nothing but the five fields is written.
        PointRecord rest = point;
        rest.width = before.point.width;
        rest.bit_number = before.point.bit_number;
        rest.unit_address = before.point.unit_address;
        rest.channel = before.point.channel;
        rest.identifier = before.point.identifier;
        FUZZ_CHECK(memcmp(&rest, &before.point, sizeof rest) == 0);
    }
    if (result == 0) FUZZ_CHECK(chars_pass);

    delete[] text;
    return 0;
}
