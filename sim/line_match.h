// A line whose two ends disagree: the simulator reads what line settings the
// other side of its pseudo-terminal asked for and, when they differ from the
// unit's own, turns each answer into the bytes the other side's receiver
// would take from it, as a UART at the other side's settings samples the
// unit's characters.
//
// A Linux pseudo-terminal keeps 8 data bits and no parity whatever is asked,
// but the master side still shows the baud rate, the stop bits, and in INPCK
// and PARODD whether parity was asked for and which (PARODD alone: odd, as a
// side that never sets INPCK asks for it). The data bits are not
// shown: the other side is taken to use 7 with parity and 8 without, as the
// usual settings pair them.
#ifndef REXFSIM_LINE_MATCH_H
#define REXFSIM_LINE_MATCH_H

#include <termios.h>

#include <string>

#include "controller.h"
#include "rexf/line_format.h"

namespace rexfsim {

using rexf::LineFormat;

// What the other side of the pseudo-terminal whose master is master_fd asked
// for; false when the terminal's settings cannot be read.
bool PeerLineFormat(int master_fd, LineFormat* peer);

// The bytes a receiver at rx takes from bytes sent back to back at tx: each
// character sampled in the middle of rx's bit times, a character with a
// parity or framing error taken as NUL (as a port that checks parity
// delivers it).
std::string ReceiveAs(const std::string& bytes, const LineFormat& tx, const LineFormat& rx);

// When the other side of master_fd asks for other settings than own, turns
// every piece of the answer into what the other side receives and notes it
// for the trace; returns whether it did.
bool ReceiveAnswerAsPeer(int master_fd, const LineFormat& own, Answer* answer);

}  // namespace rexfsim

#endif  // REXFSIM_LINE_MATCH_H
