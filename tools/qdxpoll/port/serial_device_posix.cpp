// Opening a serial device for the trace relay.
#include "port/serial_device_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "config/line_settings.h"
#include "port/port_lock.h"
#include "rexf/termios_line.h"

namespace {

std::string InUse(const std::string& path) {
    const std::string who = DescribeOpeners(OtherOpeners(path));
    return path + " is in use by " + (who.empty() ? "another program" : who);
}

}  // namespace

int OpenSerialDevice(const std::string& path, const LineValues& line, std::string* error) {
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

void CloseSerialDevice(int fd) {
    if (fd < 0) return;
    // The exclusive mode belongs to the terminal and would outlive us while
    // a pseudo-terminal's far side keeps it alive.
    ioctl(fd, TIOCNXCL);
    close(fd);
}
