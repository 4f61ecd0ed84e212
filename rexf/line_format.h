// The format of a REX-F line: baud rate, data bits, parity and stop bits, as
// the text "9600,7O2" and in words. Parity and stop bits are kept in the
// codes a host's line values use (so they pass between the two unchanged).
#ifndef REXF_LINE_FORMAT_H
#define REXF_LINE_FORMAT_H

#include <string>

namespace rexf {

enum Parity { kParityNone = 0, kParityOdd = 1, kParityEven = 2, kParityMark = 3, kParitySpace = 4 };
enum StopBits { kStopBits1 = 0, kStopBits1_5 = 1, kStopBits2 = 2 };

struct LineFormat {
    long baud = 9600;
    int data_bits = 7;
    int parity = kParityOdd;
    int stop_bits = kStopBits2;
};

bool operator==(const LineFormat& a, const LineFormat& b);
inline bool operator!=(const LineFormat& a, const LineFormat& b) { return !(a == b); }

// "9600,7O2": baud rate, data bits, parity letter (N O E M S), stop bits.
std::string LineText(const LineFormat& line);
// Reads that text (also with '/' or ' ' after the baud rate): baud rate
// 1..4000000, data bits 5..8, a parity letter in either case, stop bits 1,
// 1.5 or 2. False when it does not read.
bool ParseLineText(const std::string& text, LineFormat* line);

// "none", "odd", "even", "mark", "space" ("unknown" for another code).
const char* ParityName(int parity);
// The code of a parity name (any case); false for another word.
bool ParityFromName(const std::string& name, int* parity);
// "1", "1.5", "2" ("unknown" for another code).
const char* StopBitsName(int stop_bits);
// The code of "1", "1.5" or "2"; false for another text.
bool StopBitsFromName(const std::string& name, int* stop_bits);
// The stop bits a code stands for: 1, 1.5 or 2.
double StopBitsCount(int stop_bits);

// "9600 baud, 7 data bits, odd parity, 2 stop bits".
std::string DescribeLine(const LineFormat& line);

}  // namespace rexf

#endif  // REXF_LINE_FORMAT_H
