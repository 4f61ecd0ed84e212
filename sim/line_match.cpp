#include "line_match.h"

#include <cmath>
#include <vector>


namespace rexfsim {
namespace {

int Ones(unsigned v) {
    int n = 0;
    for (; v != 0; v >>= 1) n += static_cast<int>(v & 1u);
    return n;
}

// The parity bit sent with a character of value v.
int ParityBit(unsigned v, int parity) {
    switch (parity) {
        case rexf::kParityOdd: return (Ones(v) + 1) % 2;
        case rexf::kParityEven: return Ones(v) % 2;
        case rexf::kParityMark: return 1;
        default: return 0;
    }
}

}  // namespace

std::string ReceiveAs(const std::string& bytes, const LineFormat& tx, const LineFormat& rx) {
    // The sender's line, one level a bit time: idle is 1, a start bit 0,
    // data bits from the least significant, parity, stop bits.
    std::vector<int> level;
    for (const char c : bytes) {
        const unsigned v = static_cast<unsigned char>(c) & ((1u << tx.data_bits) - 1u);
        level.push_back(0);
        for (int i = 0; i < tx.data_bits; ++i) level.push_back(static_cast<int>((v >> i) & 1u));
        if (tx.parity != rexf::kParityNone) level.push_back(ParityBit(v, tx.parity));
        for (int i = 0; i < std::ceil(rexf::StopBitsCount(tx.stop_bits)); ++i) level.push_back(1);
    }
    const double total = static_cast<double>(level.size());
    auto at = [&](double t) {
        return t < 0 || t >= total ? 1 : level[static_cast<size_t>(std::floor(t))];
    };
    // One receiver bit time in sender bit times.
    const double h = static_cast<double>(tx.baud) / static_cast<double>(rx.baud);
    std::string out;
    double pos = 0;
    while (pos < total) {
        // The start of the next character: the line low where the receiver
        // looks (it takes a low line after a framing error as a start bit),
        // else the next falling edge; the sender's levels change only at
        // whole bit times.
        double start = -1;
        if (at(pos) == 0) {
            start = pos;
        } else {
            for (size_t i = static_cast<size_t>(std::floor(pos)) + 1; i < level.size(); ++i)
                if (level[i] == 0) {
                    start = static_cast<double>(i);
                    break;
                }
        }
        if (start < 0) break;
        if (at(start + h / 2) != 0) {  // a glitch, not a start bit
            pos = start + h / 2;
            continue;
        }
        unsigned v = 0;
        for (int i = 0; i < rx.data_bits; ++i) v |= static_cast<unsigned>(at(start + h * (1.5 + i))) << i;
        double next = start + h * (1.5 + rx.data_bits);
        bool error = false;
        if (rx.parity != rexf::kParityNone) {
            error = at(next) != ParityBit(v, rx.parity);
            next += h;
        }
        error |= at(next) != 1;  // the first stop bit is all a receiver checks
        out += error ? '\0' : static_cast<char>(v);
        pos = next;
    }
    return out;
}

bool ReceiveAnswerAsPeer(const LineFormat& peer, const LineFormat& own, Answer* answer) {
    if (peer == own) return false;
    for (Piece& piece : answer->pieces) piece.bytes = ReceiveAs(piece.bytes, own, peer);
    answer->note += std::string(answer->note.empty() ? "" : ", ") + "line " + rexf::LineText(peer) +
                    " against the unit's " + rexf::LineText(own);
    return true;
}

}  // namespace rexfsim
