// Point address texts such as 01K1M1: two digits of unit address, the letter
// K, a channel digit and a two-character identifier, with an optional
// trailing blank.
#ifndef QDXTLMV_PROTOCOL_ADDRESS_H
#define QDXTLMV_PROTOCOL_ADDRESS_H

enum { kAddressScratchLength = 7 };

// The module-wide address scratch: the upper-cased text padded with blanks to
// 7 characters, always followed by a NUL. Every parse request rewrites all of
// it before reading it.
extern char g_address_scratch[kAddressScratchLength + 1];

// Characters allowed at positions 1 to 7 of an address, one set a position.
extern const char* const kPositionCharSets[kAddressScratchLength];

// Upper-cases one address character: taken as a signed 8-bit value, 97 or
// more is lowered by 32 (so codes 123 to 127 become 91 to 95 too).
char UpperAddressChar(char c);

// Copies the host's text into the scratch through UpperAddressChar, writes
// each upper-cased character back into the text and pads the scratch with
// blanks. Returns false for a text of more than 7 characters (which is still
// upper-cased in place, but never copied past the scratch).
bool FillAddressScratch(char* text);

// True when every scratch character is in its position's set.
bool CheckAddressChars(const char* const sets[kAddressScratchLength]);

// True when the pair is one of the 79 identifiers of the address table.
bool CheckIdentifier(char first, char second);

#endif  // QDXTLMV_PROTOCOL_ADDRESS_H
