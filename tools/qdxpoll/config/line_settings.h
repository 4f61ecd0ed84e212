// The line settings qdxpoll gives the driver: the host's line values as a
// REX-F line format and back, the values the options ask for, and the reply
// timeout in the driver's steps.
#ifndef QDXPOLL_LINE_SETTINGS_H
#define QDXPOLL_LINE_SETTINGS_H

#include <cstdint>
#include <string>

#include "config/options.h"
#include "host/records.h"
#include "rexf/line_format.h"

// The host's line values as a line format, and back (a baud rate above
// 65535 does not fit the line values: it becomes 0).
rexf::LineFormat FormatOf(const LineValues& line);
LineValues ValuesOf(const rexf::LineFormat& format);

// "9600,7O2" and "9600 baud, 7 data bits, odd parity, 2 stop bits".
std::string LineText(const LineValues& line);
std::string DescribeLine(const LineValues& line);

// The line values the options ask for, each unset one taken from the
// driver's defaults. Throws ToolError (64) for a --line that does not read,
// or one given together with --baud, --data-bits, --parity or --stop-bits.
LineValues ResolveLine(const Options& options, const LineValues& defaults);

// Reply timeout in the driver's 10 ms units, rounded up: 95 ms -> 10.
int32_t TimeoutUnits(int timeout_ms);

// The reply timeout that an answer from a unit with this interval time
// always meets at the line's settings (a multiple of 10 ms).
int SafeTimeoutMs(const LineValues& line, int interval_ms);

#endif  // QDXPOLL_LINE_SETTINGS_H
