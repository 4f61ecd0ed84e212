// "HOST", "HOST:PORT", "[IPv6]" or "[IPv6]:PORT" cut into its parts, once
// for every address qdxpoll takes (the broker, a device server, the page's
// listen address and the Host a browser sends). The cut judges neither the
// host nor the port: each caller holds them to its own rules.
#ifndef QDXPOLL_HOST_PORT_H
#define QDXPOLL_HOST_PORT_H

#include <string>

struct HostPort {
    std::string host;
    bool bracketed = false;  // written as [IPv6]
    bool has_port = false;   // a ':' follows the host
    std::string port;        // what follows that ':', perhaps nothing
};

enum class HostPortCut {
    kCut,
    kNoClosingBracket,  // "[::1"
    kAfterBracket,      // "[::1]x": only ":PORT" may follow the ']'
};

// Unbracketed text with more than one ':' is all host: an IPv6 address out
// of its brackets, for the caller to refuse or take whole.
HostPortCut CutHostPort(const std::string& text, HostPort* out);

// Whether a host (one that a server could bind) means every address of the
// machine: 0.0.0.0, ::, or another spelling of them, zeros and separators
// alone.
bool IsEveryAddress(const std::string& host);

#endif  // QDXPOLL_HOST_PORT_H
