#include "tty_line_posix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "options.h"
#include "rexf/termios_line.h"

namespace rexfsim {

TtyLine::~TtyLine() {
    if (!link_.empty()) unlink(link_.c_str());
    if (pty_.master >= 0)
        support::ClosePseudoTerminal(&pty_);
    else if (fd_ >= 0)
        close(fd_);
}

void TtyLine::OpenPty() {
    std::string error;
    if (!support::OpenPseudoTerminal(&pty_, &error)) Fail(error);
    fd_ = pty_.master;
    path_ = pty_.slave_path;
    fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_NONBLOCK);
}

void TtyLine::OpenDevice(const std::string& path, const rexf::LineFormat& format) {
    path_ = path;
    fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) Fail("cannot open " + path_ + ": " + std::strerror(errno));
    termios t{};
    if (tcgetattr(fd_, &t) != 0) Fail(path_ + " is not a serial device");
    if (!rexf::ApplyLineFormat(format, &t)) Fail("unsupported --baud " + std::to_string(format.baud));
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    // Pseudo-terminals refuse 7 data bits and parity; the line still works.
    if (tcsetattr(fd_, TCSANOW, &t) != 0)
        std::fprintf(stderr, "rexfsim: warning: line settings not taken by %s: %s\n", path_.c_str(),
                     std::strerror(errno));
    tcflush(fd_, TCIOFLUSH);
}

void TtyLine::MakeLink(const std::string& link) {
    struct stat st{};
    if (lstat(link.c_str(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) Fail(link + " exists and is no symlink");
        unlink(link.c_str());  // left behind by an earlier run
    }
    if (symlink(path_.c_str(), link.c_str()) != 0)
        Fail("cannot make the link " + link + ": " + std::strerror(errno));
    link_ = link;
}

void TtyLine::AddWaits(bool want_write, std::vector<PollItem>* items) {
    items->push_back(pollfd{fd_, static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0});
}

LineEvents TtyLine::Take(const std::vector<PollItem>& items) {
    LineEvents events;
    const short got = items.empty() ? 0 : items[0].revents;
    events.readable = (got & POLLIN) != 0;
    events.writable = (got & POLLOUT) != 0;
    events.hung_up = !events.readable && (got & (POLLHUP | POLLERR)) != 0;
    return events;
}

long TtyLine::Read(uint8_t* buf, size_t size) {
    const ssize_t n = read(fd_, buf, size);
    // Nothing there, or a hang-up, which the wait shows.
    return n > 0 ? static_cast<long>(n) : 0;
}

long TtyLine::Write(const char* data, size_t size, std::string* why) {
    const ssize_t n = write(fd_, data, size);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EAGAIN || errno == EINTR) return 0;
    *why = std::strerror(errno);
    return -1;
}

// A Linux pseudo-terminal keeps 8 data bits and no parity whatever is asked,
// but the master side still shows the baud rate, the stop bits, and in INPCK
// and PARODD whether parity was asked for and which (PARODD alone: odd, as a
// side that never sets INPCK asks for it). The data bits are not shown: the
// other side is taken to use 7 with parity and 8 without, as the usual
// settings pair them.
bool TtyLine::PeerFormat(rexf::LineFormat* peer) const {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return false;
    peer->baud = rexf::BaudOfSpeed(cfgetospeed(&t));
    // PARENB does not survive on a pseudo-terminal, PARODD does: a side that
    // asked for odd parity without INPCK (as ser2net does) still shows it.
    const bool odd = (t.c_cflag & PARODD) != 0;
    const bool parity = (t.c_iflag & INPCK) != 0 || odd;
    peer->parity = parity ? (odd ? rexf::kParityOdd : rexf::kParityEven) : rexf::kParityNone;
    peer->data_bits = parity ? 7 : 8;
    peer->stop_bits = (t.c_cflag & CSTOPB) != 0 ? rexf::kStopBits2 : rexf::kStopBits1;
    return peer->baud > 0;
}

}  // namespace rexfsim
