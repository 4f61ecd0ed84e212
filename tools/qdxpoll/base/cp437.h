// Code page 437 text (the driver's banner) converted to UTF-8 for a terminal.
#ifndef QDXPOLL_CP437_H
#define QDXPOLL_CP437_H

#include <string>

// Bytes below 0x80 are kept as they are; 0x80..0xFF become the characters
// of code page 437 (frame lines, shades, accented letters).
std::string Cp437ToUtf8(const std::string& text);

#endif  // QDXPOLL_CP437_H
