// Trying one line setting on a port (POSIX, a device server too), for
// probe: through the real port, as the relay opens it.
#include "port/port_probe.h"

#include <poll.h>
#include <termios.h>

#include <algorithm>

#include "platform/platform.h"
#include "port/real_port_posix.h"

LineTry TryLineSetting(const std::string& port, const LineValues& line, const std::vector<uint8_t>& frame,
                       size_t need, int timeout_ms) {
    LineTry t;
    RealPort real;
    if (!real.Open(port, line, &t.error)) {
        // The port itself, or only this setting?
        t.port_failed = t.error.find("baud rate") == std::string::npos &&
                        t.error.find("cannot apply the line settings") == std::string::npos &&
                        t.error.find("the device server set") == std::string::npos;
        return t;
    }
    t.opened = true;
    // Behind a device server the answer comes a network round trip later.
    timeout_ms += real.round_trip_ms();
    if (!real.is_device_server()) tcflush(real.fd(), TCIFLUSH);
    t.sent = SteadyClock::now();
    t.wire.push_back(WireChunk{t.sent, Direction::kToUnit, frame});
    if (real.Write(frame.data(), frame.size())) {
        size_t got = 0;
        auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        while (got < need && !Interrupted()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) break;
            pollfd p{real.fd(), POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50))) <= 0) continue;
            std::vector<uint8_t> data;
            if (!real.Read(&data)) break;
            if (data.empty()) continue;
            t.wire.push_back(WireChunk{SteadyClock::now(), Direction::kFromUnit, data});
            got += data.size();
            deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        }
        if (got >= need) {
            const uint8_t eot = 0x04;
            real.Write(&eot, 1);
            if (!real.is_device_server()) tcdrain(real.fd());
        }
    }
    return t;
}
