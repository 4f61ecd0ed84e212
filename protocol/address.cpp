// Parse request (3): upper-cases, checks and decodes a point address text
// into the point record's unit address, channel and identifier.
#include "protocol/address.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "host/handlers.h"

char g_address_scratch[kAddressScratchLength + 1];

const char* const kPositionCharSets[kAddressScratchLength] = {
    "0123456789",              // unit address, tens
    "0123456789",              // unit address, ones
    "K",                       // fixed letter
    "012345678",               // channel
    "ABCDEFGHIJLMNOPRSTVWXZ",  // identifier, first character
    "ABCDEGHILNPQRSVWXY123",   // identifier, second character
    " ",                       // end of text, or one trailing blank
};

namespace {

// One row of the identifier table: the first character and the second
// characters that complete an identifier with it.
struct IdentifierRow {
    char first;
    const char* seconds;
};

const IdentifierRow kIdentifierTable[] = {
    {'A', "123ABCVW"}, {'B', "12"},        {'C', "1A"},   {'D', "1AP"},
    {'E', "1"},        {'F', "12"},        {'G', "1B"},   {'H', "ABHVW"},
    {'I', "1V"},       {'J', "1"},         {'L', "AL"},   {'M', "123S"},
    {'N', "AB"},       {'O', "12ABEHLNQ"}, {'P', "12BHL"}, {'R', "ABR"},
    {'S', "12HLRXY"},  {'T', "1G"},        {'V', "12"},   {'W', "ABHL"},
    {'X', "ABEHILNRVW"}, {'Z', "A"},
};

// True when c occurs in the NUL-terminated set (the NUL itself excluded).
bool InSet(const char* set, char c) { return c != '\0' && strchr(set, c) != nullptr; }

}  // namespace

char UpperAddressChar(char c) {
    const int8_t value = static_cast<int8_t>(c);
    return value >= 97 ? static_cast<char>(value - 32) : c;
}

bool FillAddressScratch(char* text) {
    size_t length = 0;
    for (; text[length] != '\0'; ++length) {
        const char upper = UpperAddressChar(text[length]);
        text[length] = upper;
        if (length < kAddressScratchLength) g_address_scratch[length] = upper;
    }
    for (size_t i = length; i < kAddressScratchLength; ++i) g_address_scratch[i] = ' ';
    g_address_scratch[kAddressScratchLength] = '\0';
    return length <= kAddressScratchLength;
}

bool CheckAddressChars(const char* const sets[kAddressScratchLength]) {
    for (int position = 0; position < kAddressScratchLength; ++position) {
        if (!InSet(sets[position], g_address_scratch[position])) return false;
    }
    return true;
}

bool CheckIdentifier(char first, char second) {
    for (const IdentifierRow& row : kIdentifierTable) {
        if (row.first == first) return InSet(row.seconds, second);
    }
    return false;
}

int32_t ParseAddress(const RequestBlock* request) {
    PointAddressBlock* block = static_cast<PointAddressBlock*>(request->parameter);
    PointRecord* point = &block->point;

    if (!FillAddressScratch(block->address_text)) return kResultInvalidAddress;
    if (!CheckAddressChars(kPositionCharSets)) return kResultInvalidAddress;

    point->width = 32;
    point->bit_number = kNoBit;
    int unit = 0;
    int channel = 0;
    sscanf(g_address_scratch, "%2d", &unit);
    sscanf(g_address_scratch + 3, "%1d", &channel);
    point->unit_address = unit;
    point->channel = channel;
    const char first = g_address_scratch[4];
    const char second = g_address_scratch[5];
    point->identifier = static_cast<unsigned char>(first) * 256 + static_cast<unsigned char>(second);

    return CheckIdentifier(first, second) ? kResultOk : kResultInvalidAddress;
}
