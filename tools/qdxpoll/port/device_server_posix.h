// A device server's connection (POSIX sockets): connected within a bounded
// time, its line set over RFC 2217 where the server speaks it, and its data
// passed through the telnet codec.
#ifndef QDXPOLL_DEVICE_SERVER_POSIX_H
#define QDXPOLL_DEVICE_SERVER_POSIX_H

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "port/device_server_address.h"
#include "port/telnet_codec.h"
#include "rexf/line_format.h"

class DeviceServerLink {
public:
    DeviceServerLink() = default;
    ~DeviceServerLink();
    DeviceServerLink(const DeviceServerLink&) = delete;
    DeviceServerLink& operator=(const DeviceServerLink&) = delete;

    // Connects, each address the host has at most timeout_ms; over RFC 2217
    // then sets the line and waits (again at most timeout_ms) until the
    // server confirms each setting. False with *error set.
    bool Open(const DeviceServerAddress& address, const rexf::LineFormat& line, int timeout_ms, std::string* error);
    void Close();

    int fd() const { return fd_; }
    // The network's round trip as measured while connecting: the TCP
    // handshake, or the server's replies to the line settings.
    int round_trip_ms() const { return round_trip_ms_; }

    // Takes what the server sent; appends its data to *data (nothing, when
    // only telnet commands came). False when the connection is gone (errno
    // 0 when the server closed it).
    bool Read(std::vector<uint8_t>* data);
    // Sends data to the line behind the server; false when it is gone.
    bool Write(const uint8_t* bytes, size_t count);

private:
    bool SendRaw(const std::vector<uint8_t>& bytes);
    bool Negotiate(const rexf::LineFormat& line, int timeout_ms, std::string* error);

    std::mutex mutex_;  // the relay's thread reads, a raw poll may write
    int fd_ = -1;
    bool telnet_ = false;
    telnet::Codec codec_;
    int round_trip_ms_ = 0;
};

#endif  // QDXPOLL_DEVICE_SERVER_POSIX_H
