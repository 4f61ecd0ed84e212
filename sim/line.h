// The simulator's end of the line, whatever carries it: a pseudo-terminal or
// a serial device (Linux, tty_line_posix.*), or one TCP connection at a time
// on 127.0.0.1 (tcp_line.*). It is read and written without blocking.
#ifndef REXFSIM_LINE_H
#define REXFSIM_LINE_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform.h"
#include "rexf/line_format.h"

namespace rexfsim {

// What a wait found on the line.
struct LineEvents {
    bool readable = false;  // bytes to read, or an end to find
    bool writable = false;  // it takes bytes again
    bool hung_up = false;   // a device without its other side: nothing to read
};

class Line {
public:
    virtual ~Line() = default;

    // What the first output line announces: a path, or tcp:127.0.0.1:PORT.
    virtual std::string name() const = 0;
    // Adds what to wait on; want_write when the line has not taken all of
    // an answer.
    virtual void AddWaits(bool want_write, std::vector<PollItem>* items) = 0;
    // What the wait found; items holds this line's items first, as added.
    virtual LineEvents Take(const std::vector<PollItem>& items) = 0;
    // What has arrived, without waiting: the count read, 0 when nothing is
    // there, -1 when the other side has gone (a connection ended).
    virtual long Read(uint8_t* buf, size_t size) = 0;
    // Sends without waiting: the count taken (0: none now, wait until it is
    // writable), or -1 with *why when nobody takes them.
    virtual long Write(const char* data, size_t size, std::string* why) = 0;
    // The line settings the other side asked for, where the line shows them
    // (a pseudo-terminal); false elsewhere.
    virtual bool PeerFormat(rexf::LineFormat*) const { return false; }
};

}  // namespace rexfsim

#endif  // REXFSIM_LINE_H
