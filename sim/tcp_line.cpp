#include "tcp_line.h"

#include <cstdio>

namespace rexfsim {

TcpLine::~TcpLine() {
    EndConnection();
    if (listener_ != kNoSocket) CloseSocket(listener_);
}

bool TcpLine::Listen(int port, std::string* error) {
    listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener_ == kNoSocket) {
        *error = "cannot make a socket: " + SocketError();
        return false;
    }
#ifndef _WIN32
    // A port given again right after a run: not kept from it by that run's
    // closed connections. (Windows would let another program share the
    // port with this option.)
    const int on = 1;
    setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 4) != 0 || !SetNonBlocking(listener_) ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        *error = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + SocketError();
        return false;
    }
    port_ = ntohs(address.sin_port);
    return true;
}

std::string TcpLine::name() const { return "tcp:127.0.0.1:" + std::to_string(port_); }

void TcpLine::AddWaits(bool want_write, std::vector<PollItem>* items) {
    PollItem listener{};
    listener.fd = listener_;
    listener.events = POLLIN;
    items->push_back(listener);
    connection_waited_ = connection_ != kNoSocket;
    if (!connection_waited_) return;
    PollItem connection{};
    connection.fd = connection_;
    connection.events = static_cast<short>(POLLIN | (want_write ? POLLOUT : 0));
    items->push_back(connection);
}

LineEvents TcpLine::Take(const std::vector<PollItem>& items) {
    LineEvents events;
    if (connection_waited_ && items.size() > 1) {
        const short got = items[1].revents;
        // An end or a failure is found by the read.
        events.readable = (got & (POLLIN | POLLHUP | POLLERR)) != 0;
        events.writable = (got & POLLOUT) != 0;
    }
    // A caller is taken once the connection's news is read: when it stirs,
    // it may be ending, and its follower must not be refused for it (the
    // listener stays ready for the next wait).
    if (!items.empty() && (items[0].revents & POLLIN) != 0 && !events.readable) Accept();
    return events;
}

void TcpLine::Accept() {
    for (;;) {
        const SocketHandle caller = accept(listener_, nullptr, nullptr);
        if (caller == kNoSocket) return;  // nobody more waiting
        if (connection_ != kNoSocket) {
            // One side at a time, as on a serial line: the newcomer learns
            // at once instead of waiting on a line that never answers it.
            std::fprintf(stderr, "rexfsim: a second connection closed: %s serves one at a time\n",
                         name().c_str());
            CloseSocket(caller);
            continue;
        }
        SetNonBlocking(caller);
        // Each answer leaves as it is written, as bytes on a line do.
        const int on = 1;
        setsockopt(caller, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        connection_ = caller;
    }
}

void TcpLine::EndConnection() {
    if (connection_ == kNoSocket) return;
    CloseSocket(connection_);
    connection_ = kNoSocket;
    connection_waited_ = false;
}

long TcpLine::Read(uint8_t* buf, size_t size) {
    if (connection_ == kNoSocket) return 0;
    const auto n = recv(connection_, reinterpret_cast<char*>(buf), static_cast<int>(size), 0);
    if (n > 0) return static_cast<long>(n);
    if (n < 0 && SocketWouldBlock()) return 0;
    EndConnection();  // closed by the other side, or reset
    return -1;
}

long TcpLine::Write(const char* data, size_t size, std::string* why) {
    if (connection_ == kNoSocket) {
        *why = "nobody connected";
        return -1;
    }
    const auto n = send(connection_, data, static_cast<int>(size), 0);
    if (n >= 0) return static_cast<long>(n);
    if (SocketWouldBlock()) return 0;
    *why = SocketError();
    return -1;
}

}  // namespace rexfsim
