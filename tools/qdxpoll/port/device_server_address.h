// A device server named as a port: tcp:HOST:PORT (raw TCP, the line set on
// the server) or rfc2217:HOST:PORT (telnet with the COM-PORT option, which
// sets the line from here). HOST is an IPv4 address, an IPv6 address in
// brackets, or a host name.
#ifndef QDXPOLL_DEVICE_SERVER_ADDRESS_H
#define QDXPOLL_DEVICE_SERVER_ADDRESS_H

#include <string>

enum class ServerKind { kRawTcp, kRfc2217 };

struct DeviceServerAddress {
    ServerKind kind = ServerKind::kRawTcp;
    std::string host;  // without brackets
    int port = 0;      // 1..65535
    bool numeric_ipv6 = false;
};

// Whether a port name names a device server at all (it begins with one of
// the two schemes); a name that does is then parsed, never opened as a file.
bool NamesDeviceServer(const std::string& port_name);

// Parses "tcp:HOST:PORT" or "rfc2217:HOST:PORT"; false, with *error saying
// what is wrong, for a name that does not hold.
bool ParseDeviceServer(const std::string& port_name, DeviceServerAddress* out, std::string* error);

#endif  // QDXPOLL_DEVICE_SERVER_ADDRESS_H
