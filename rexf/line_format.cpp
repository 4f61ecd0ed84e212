#include "rexf/line_format.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace rexf {
namespace {

const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};
const char kParityLetters[] = "NOEMS";
const char* const kStopBitsNames[] = {"1", "1.5", "2"};

constexpr long kHighestBaud = 4000000;

}  // namespace

bool operator==(const LineFormat& a, const LineFormat& b) {
    return a.baud == b.baud && a.data_bits == b.data_bits && a.parity == b.parity && a.stop_bits == b.stop_bits;
}

std::string LineText(const LineFormat& line) {
    const char letter = line.parity >= 0 && line.parity < 5 ? kParityLetters[line.parity] : '?';
    return std::to_string(line.baud) + "," + std::to_string(line.data_bits) + letter + StopBitsName(line.stop_bits);
}

bool ParseLineText(const std::string& text, LineFormat* line) {
    unsigned long baud = 0;
    unsigned data_bits = 0;
    char parity = 0;
    char stop[8] = {};
    int used = 0;
    if (std::sscanf(text.c_str(), "%lu%*[,/ ]%1u%c%7[0-9.]%n", &baud, &data_bits, &parity, stop, &used) != 4 ||
        used != static_cast<int>(text.size()))
        return false;
    const char* letter =
        parity == 0 ? nullptr : std::strchr(kParityLetters, std::toupper(static_cast<unsigned char>(parity)));
    int stop_bits = 0;
    if (baud < 1 || baud > static_cast<unsigned long>(kHighestBaud) || data_bits < 5 || data_bits > 8 ||
        letter == nullptr || !StopBitsFromName(stop, &stop_bits))
        return false;
    line->baud = static_cast<long>(baud);
    line->data_bits = static_cast<int>(data_bits);
    line->parity = static_cast<int>(letter - kParityLetters);
    line->stop_bits = stop_bits;
    return true;
}

const char* ParityName(int parity) { return parity >= 0 && parity < 5 ? kParityNames[parity] : "unknown"; }

bool ParityFromName(const std::string& name, int* parity) {
    std::string lower = name;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (int i = 0; i < 5; ++i)
        if (lower == kParityNames[i]) {
            *parity = i;
            return true;
        }
    return false;
}

const char* StopBitsName(int stop_bits) {
    return stop_bits >= 0 && stop_bits < 3 ? kStopBitsNames[stop_bits] : "unknown";
}

bool StopBitsFromName(const std::string& name, int* stop_bits) {
    for (int i = 0; i < 3; ++i)
        if (name == kStopBitsNames[i]) {
            *stop_bits = i;
            return true;
        }
    return false;
}

double StopBitsCount(int stop_bits) {
    return stop_bits == kStopBits1 ? 1.0 : stop_bits == kStopBits1_5 ? 1.5 : 2.0;
}

std::string DescribeLine(const LineFormat& line) {
    return std::to_string(line.baud) + " baud, " + std::to_string(line.data_bits) + " data bits, " +
           ParityName(line.parity) + " parity, " + StopBitsName(line.stop_bits) + " stop bits";
}

}  // namespace rexf
