// A line whose two ends disagree: when the line settings the other side
// asked for (as its line shows them, Line::PeerFormat) differ from the
// unit's own, each answer is turned into the bytes the other side's
// receiver would take from it, as a UART at the other side's settings
// samples the unit's characters.
#ifndef REXFSIM_LINE_MATCH_H
#define REXFSIM_LINE_MATCH_H

#include <string>

#include "controller.h"
#include "rexf/line_format.h"

namespace rexfsim {

using rexf::LineFormat;

// The bytes a receiver at rx takes from bytes sent back to back at tx: each
// character sampled in the middle of rx's bit times, a character with a
// parity or framing error taken as NUL (as a port that checks parity
// delivers it).
std::string ReceiveAs(const std::string& bytes, const LineFormat& tx, const LineFormat& rx);

// When the other side asks for other settings (peer) than own, turns every
// piece of the answer into what the other side receives and notes it for
// the trace; returns whether it did.
bool ReceiveAnswerAsPeer(const LineFormat& peer, const LineFormat& own, Answer* answer);

}  // namespace rexfsim

#endif  // REXFSIM_LINE_MATCH_H
