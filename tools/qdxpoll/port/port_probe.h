// Trying one line setting on a port without the driver, for 'qdxpoll probe':
// qdxpoll opens the port itself with the setting, sends one frame and takes
// what comes back, with the times of its pieces.
#ifndef QDXPOLL_PORT_PROBE_H
#define QDXPOLL_PORT_PROBE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "diagnosis/diagnosis.h"
#include "host/records.h"

struct LineTry {
    bool opened = false;
    bool port_failed = false;      // the port itself cannot be opened (not the setting)
    std::string error;
    SteadyClock::time_point sent;  // when the frame was written
    std::vector<WireChunk> wire;   // the frame, then what came back
};

// Opens the port with the line settings, discards pending input, sends the
// frame and reads until `need` bytes came or the line was silent for
// timeout_ms (less when Ctrl-C comes); sends the closing EOT after a whole
// answer, then closes the port.
LineTry TryLineSetting(const std::string& port, const LineValues& line, const std::vector<uint8_t>& frame,
                       size_t need, int timeout_ms);

#endif  // QDXPOLL_PORT_PROBE_H
