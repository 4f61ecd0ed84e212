// The bare descriptor of the floor, raw at 9600 baud.
#include "raw_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench_support.h"

namespace qdxbench {

void RawLine::Open(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) Fail("cannot open " + path + ": " + std::strerror(errno));
    termios t{};
    if (tcgetattr(fd_, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(fd_, TCSANOW, &t);
    }
    tcflush(fd_, TCIFLUSH);
}

void RawLine::Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

bool RawLine::Write(const uint8_t* bytes, size_t count) {
    return write(fd_, bytes, count) == static_cast<ssize_t>(count);
}


bool RawLine::ReadExact(uint8_t* buffer, size_t count, int timeout_ms) {
    size_t got = 0;
    while (got < count) {
        pollfd p{fd_, POLLIN, 0};
        const int r = poll(&p, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        const ssize_t n = read(fd_, buffer + got, count - got);
        if (n > 0) {
            got += static_cast<size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

}  // namespace qdxbench
