// Writing a whole buffer to a non-blocking descriptor (the serial device,
// the relay's pseudo-terminal): a side that takes nothing for
// kStuckWriteMs (flow control held, a device that stopped) is stuck, and
// the bytes are given up rather than the caller.
#ifndef QDXPOLL_WRITE_ALL_POSIX_H
#define QDXPOLL_WRITE_ALL_POSIX_H

#include <cstddef>
#include <cstdint>

constexpr int kStuckWriteMs = 2000;

// True when every byte went; else false with errno set, ETIMEDOUT when the
// side was stuck.
bool WriteAll(int fd, const uint8_t* bytes, size_t count);

#endif  // QDXPOLL_WRITE_ALL_POSIX_H
