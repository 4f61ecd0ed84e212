// The line as a raw byte stream over TCP on 127.0.0.1, as a device server
// without telnet gives it: one connection at a time, a second one closed at
// once (as the port is in use), and the line free again when the
// connection ends. Never on any address but the loopback one.
#ifndef REXFSIM_TCP_LINE_H
#define REXFSIM_TCP_LINE_H

#include "line.h"

namespace rexfsim {

class TcpLine : public Line {
public:
    TcpLine() = default;
    ~TcpLine() override;
    TcpLine(const TcpLine&) = delete;
    TcpLine& operator=(const TcpLine&) = delete;

    // Listens on 127.0.0.1:port (0: a free port the system picks); false
    // with *error when it cannot.
    bool Listen(int port, std::string* error);

    std::string name() const override;
    void AddWaits(bool want_write, std::vector<PollItem>* items) override;
    LineEvents Take(const std::vector<PollItem>& items) override;
    long Read(uint8_t* buf, size_t size) override;
    long Write(const char* data, size_t size, std::string* why) override;

private:
    void Accept();
    void EndConnection();

    SocketHandle listener_ = kNoSocket;
    SocketHandle connection_ = kNoSocket;
    int port_ = 0;
    bool connection_waited_ = false;  // the connection is among the items
};

}  // namespace rexfsim

#endif  // REXFSIM_TCP_LINE_H
