// Words of the simulator's command lines and table file: splitting a line,
// the point's unit, channel and identifier, bytes and numbers as text.
#ifndef REXFSIM_WORDS_H
#define REXFSIM_WORDS_H

#include <string>
#include <vector>

namespace rexfsim {

// Parses a unit address ("1" or "01", 0..99), a channel digit (0..9) and an
// identifier (two characters, upper-cased). Each returns false if invalid.
bool ParseUnit(const std::string& s, int* unit);
bool ParseChannel(const std::string& s, int* channel);
bool ParseIdent(const std::string& s, std::string* ident);

// Splits a line into words at blanks. A word in double quotes may hold blanks
// and the escapes \xHH, \\ and \" (so any byte can be given); `quoted` tells
// which words were quoted. A '#' outside quotes starts a comment. Returns
// false (with a reason) for an unterminated quote or a bad escape.
bool SplitWords(const std::string& line, std::vector<std::string>* words,
                std::vector<bool>* quoted, std::string* error);

// Shows bytes for people: printable ASCII as is, others as \xHH.
std::string Escape(const std::string& bytes);

// A number as short text ("%g").
std::string Number(double v);

}  // namespace rexfsim

#endif  // REXFSIM_WORDS_H
