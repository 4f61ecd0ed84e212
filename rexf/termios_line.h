// A line format in POSIX terminal terms: the one table of baud rates and
// their termios speeds, and the settings of a raw line. POSIX only.
#ifndef REXF_TERMIOS_LINE_H
#define REXF_TERMIOS_LINE_H

#include <termios.h>

#include "rexf/line_format.h"

namespace rexf {

// The baud rate of a termios speed (0 for one not in the table), and the
// speed of a baud rate (false for one not in the table).
long BaudOfSpeed(speed_t speed);
bool SpeedOfBaud(long baud, speed_t* speed);

// Makes *tio a raw line in this format: speed, data bits, parity (mark and
// space where the system has them) and stop bits (1.5 taken as 2), receiver
// on, modem lines ignored, no flow control; a character with a parity error
// is read as NUL. VMIN and VTIME are left to the caller. False when the
// baud rate is not in the table (*tio then unchanged).
bool ApplyLineFormat(const LineFormat& line, termios* tio);

}  // namespace rexf

#endif  // REXF_TERMIOS_LINE_H
