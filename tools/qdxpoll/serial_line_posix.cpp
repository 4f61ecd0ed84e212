// Opening a serial device for the trace relay.
#include "serial_line_posix.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "line_probe.h"
#include "line_settings.h"
#include "platform.h"
#include "port_lock.h"
#include "rexf/termios_line.h"

std::string DevicePathOfPortName(const std::string& name) {
    if (name == "NUL") return "/dev/null";
    if (name.find('/') != std::string::npos) return name;
    return "/dev/" + name;
}

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
    const std::string path = DevicePathOfPortName(port);
    const int fd = OpenSerialLine(path, line, &t.error);
    if (fd < 0) {
        // The port itself, or only this setting?
        t.port_failed = t.error.find("baud rate") == std::string::npos &&
                        t.error.find("cannot apply the line settings") == std::string::npos;
        return t;
    }
    t.opened = true;
    auto send = [&](const uint8_t* bytes, size_t count) {
        size_t done = 0;
        while (done < count) {
            const ssize_t n = write(fd, bytes + done, count - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
            } else {
                return false;
            }
        }
        return true;
    };
    tcflush(fd, TCIFLUSH);
    t.sent = SteadyClock::now();
    t.wire.push_back(WireChunk{t.sent, Direction::kToUnit, frame});
    if (send(frame.data(), frame.size())) {
        size_t got = 0;
        auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        while (got < need && !Interrupted()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - SteadyClock::now());
            if (left.count() <= 0) break;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 50))) <= 0) continue;
            uint8_t buffer[64];
            const ssize_t n = read(fd, buffer, std::min(sizeof buffer, need - got));
            if (n <= 0) {
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
                break;
            }
            t.wire.push_back(WireChunk{SteadyClock::now(), Direction::kFromUnit,
                                       std::vector<uint8_t>(buffer, buffer + n)});
            got += static_cast<size_t>(n);
            deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
        }
        if (got >= need) {
            const uint8_t eot = 0x04;
            send(&eot, 1);
            tcdrain(fd);
        }
    }
    CloseSerialLine(fd);
    return t;
}
