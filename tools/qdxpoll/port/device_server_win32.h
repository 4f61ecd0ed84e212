// A device server's connection through Winsock: connected within a bounded
// time, its line set over RFC 2217 where the server speaks it, and its data
// passed through the telnet codec.
#ifndef QDXPOLL_DEVICE_SERVER_WIN32_H
#define QDXPOLL_DEVICE_SERVER_WIN32_H

#include <winsock2.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "port/device_server_address.h"
#include "port/telnet_codec.h"
#include "rexf/line_format.h"

class DeviceServerSocket {
public:
    DeviceServerSocket() = default;
    ~DeviceServerSocket();
    DeviceServerSocket(const DeviceServerSocket&) = delete;
    DeviceServerSocket& operator=(const DeviceServerSocket&) = delete;

    // Connects, each address at most timeout_ms; over RFC 2217 then sets the
    // line and waits (again at most timeout_ms) for the server to confirm
    // every setting. False with *error set.
    bool Open(const DeviceServerAddress& address, const rexf::LineFormat& line, int timeout_ms, std::string* error);
    void Close();
    int round_trip_ms() const { return round_trip_ms_; }

    // Waits at most wait_ms for what the server sends and appends its data
    // to *data. False when the connection is gone, *why saying how.
    bool Read(std::vector<uint8_t>* data, int wait_ms, std::string* why);
    bool Write(const uint8_t* bytes, size_t count);
    // Sends the line settings again (the driver set others); the server's
    // replies come with the data and are not waited for.
    bool SetLine(const rexf::LineFormat& line);
    bool speaks_rfc2217() const { return telnet_; }

private:
    bool SendRaw(const std::vector<uint8_t>& bytes);
    bool Negotiate(const rexf::LineFormat& line, int timeout_ms, std::string* error);

    std::mutex mutex_;  // the reading thread answers the server; the driver writes
    SOCKET socket_ = INVALID_SOCKET;
    bool telnet_ = false;
    telnet::Codec codec_;
    int round_trip_ms_ = 0;
};

#endif  // QDXPOLL_DEVICE_SERVER_WIN32_H
