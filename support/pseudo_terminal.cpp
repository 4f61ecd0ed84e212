#include "support/pseudo_terminal.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace support {

bool OpenPseudoTerminal(PseudoTerminal* pty, std::string* error) {
    *pty = PseudoTerminal{};
    pty->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (pty->master < 0 || grantpt(pty->master) != 0 || unlockpt(pty->master) != 0 ||
        ptsname_r(pty->master, name, sizeof name) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        ClosePseudoTerminal(pty);
        return false;
    }
    pty->slave_path = name;
    pty->held_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->held_slave < 0) {
        *error = "cannot open " + pty->slave_path + ": " + std::strerror(errno);
        ClosePseudoTerminal(pty);
        return false;
    }
    termios t{};
    if (tcgetattr(pty->held_slave, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(pty->held_slave, TCSANOW, &t);
    }
    return true;
}

void ClosePseudoTerminal(PseudoTerminal* pty) {
    for (int* fd : {&pty->master, &pty->held_slave}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

}  // namespace support
