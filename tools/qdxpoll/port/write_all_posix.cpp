// A whole buffer to a non-blocking descriptor, or stuck.
#include "port/write_all_posix.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

bool WriteAll(int fd, const uint8_t* bytes, size_t count) {
    int waited_ms = 0;
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN && waited_ms < kStuckWriteMs) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, 100);
                waited_ms += 100;
                continue;
            }
            if (errno == EAGAIN) errno = ETIMEDOUT;
            return false;
        }
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}
