// Opening a serial device for the trace relay.
#include "port/serial_line_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "config/line_settings.h"
#include "platform/platform.h"
#include "port/line_probe.h"
#include "port/port_lock.h"
#include "port/real_port_posix.h"
#include "rexf/termios_line.h"

namespace {

std::string InUse(const std::string& path) {
    const std::string who = DescribeOpeners(OtherOpeners(path));
    return path + " is in use by " + (who.empty() ? "another program" : who);
}

}  // namespace

int OpenSerialLine(const std::string& path, const LineValues& line, std::string* error) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno == EBUSY ? InUse(path) : "cannot open " + path + ": " + std::strerror(errno);
        return -1;
    }
    auto fail = [&](const std::string& why) {
        *error = why;
        ioctl(fd, TIOCNXCL);
        close(fd);
        return -1;
    };
    // flock keeps out who locks (pyserial's exclusive=True, the driver,
    // another qdxpoll), root included; TIOCEXCL keeps out every other opener
    // but root's.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(InUse(path));
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return fail(path + " is not a serial device");
    if (ioctl(fd, TIOCEXCL) != 0) return fail("cannot take " + path + " for qdxpoll alone: " + std::strerror(errno));
    // A character with a parity error is taken as NUL, as the driver's own
    // port does; 1.5 stop bits are two on POSIX.
    if (!rexf::ApplyLineFormat(FormatOf(line), &tio))
        return fail("baud rate " + std::to_string(line.baud_rate) + " is not a standard speed");
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    // A pseudo-terminal keeps 8 data bits and no parity whatever is asked,
    // and then reports EINVAL; it still carries the bytes.
    if (tcsetattr(fd, TCSANOW, &tio) != 0 && errno != EINVAL)
        return fail("cannot apply the line settings to " + path + ": " + std::strerror(errno));
    return fd;
}

void CloseSerialLine(int fd) {
    if (fd < 0) return;
    // The exclusive mode belongs to the terminal and would outlive us while
    // a pseudo-terminal's far side keeps it alive.
    ioctl(fd, TIOCNXCL);
    close(fd);
}

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
