// Device server port names, checked piece by piece.
#include "port/device_server_address.h"

#include <cctype>

#include "base/host_port.h"

namespace {

const char kForm[] = "expected tcp:HOST:PORT or rfc2217:HOST:PORT, e.g. rfc2217:192.168.1.20:4001 or tcp:[::1]:4001";

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool IsIpv4(const std::string& s) {
    int parts = 0;
    size_t start = 0;
    while (true) {
        const size_t dot = s.find('.', start);
        const std::string part = s.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!AllDigits(part) || part.size() > 3 || std::stoi(part) > 255) return false;
        ++parts;
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    return parts == 4;
}

// Hex groups, colons (one "::" at most), a dotted IPv4 tail, and a zone
// after '%'; the resolver has the last word.
bool LooksIpv6(const std::string& s) {
    const size_t percent = s.find('%');
    const std::string address = s.substr(0, percent);
    if (address.find(':') == std::string::npos || address.find(":::") != std::string::npos) return false;
    if (address.find("::") != address.rfind("::")) return false;
    for (char c : address)
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
    if (percent != std::string::npos) {
        const std::string zone = s.substr(percent + 1);
        if (zone.empty()) return false;
        for (char c : zone)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
    }
    return true;
}

// A DNS name: labels of letters, digits and '-', not beginning or ending
// with '-', 1..63 characters each, 253 in all.
bool IsHostName(const std::string& s) {
    if (s.empty() || s.size() > 253) return false;
    size_t label = 0;
    char last = '.';
    for (char c : s) {
        if (c == '.') {
            if (label == 0 || last == '-') return false;
            label = 0;
        } else {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-') return false;
            if (label == 0 && c == '-') return false;
            if (++label > 63) return false;
        }
        last = c;
    }
    return last != '-';
}

}  // namespace

bool NamesDeviceServer(const std::string& port_name) {
    return port_name.compare(0, 4, "tcp:") == 0 || port_name.compare(0, 8, "rfc2217:") == 0;
}

bool ParseDeviceServer(const std::string& port_name, DeviceServerAddress* out, std::string* error) {
    auto fail = [&](const std::string& why) {
        *error = "port " + port_name + ": " + why + "; " + kForm;
        return false;
    };
    DeviceServerAddress a;
    std::string rest;
    if (port_name.compare(0, 4, "tcp:") == 0) {
        rest = port_name.substr(4);
    } else if (port_name.compare(0, 8, "rfc2217:") == 0) {
        a.kind = ServerKind::kRfc2217;
        rest = port_name.substr(8);
    } else {
        return fail("not a device server");
    }
    HostPort cut;
    switch (CutHostPort(rest, &cut)) {
        case HostPortCut::kNoClosingBracket: return fail("the IPv6 address has no closing ']'");
        case HostPortCut::kAfterBracket: return fail("no :PORT after the address");
        case HostPortCut::kCut: break;
    }
    a.host = cut.host;
    const std::string& port_text = cut.port;
    if (cut.bracketed) {
        if (!LooksIpv6(a.host)) return fail("\"" + a.host + "\" is not an IPv6 address");
        a.numeric_ipv6 = true;
        if (!cut.has_port) return fail("no :PORT after the address");
    } else {
        if (a.host.find(':') != std::string::npos) return fail("an IPv6 address goes in brackets");
        if (!cut.has_port) return fail("no :PORT");
        if (a.host.empty()) return fail("no host");
        bool dotted_digits = true;
        for (char c : a.host) dotted_digits &= std::isdigit(static_cast<unsigned char>(c)) || c == '.';
        if (dotted_digits ? !IsIpv4(a.host) : !IsHostName(a.host))
            return fail("\"" + a.host + "\" is neither an IPv4 address nor a host name");
    }
    if (!AllDigits(port_text) || port_text.size() > 5 || std::stoi(port_text) < 1 || std::stoi(port_text) > 65535)
        return fail("the TCP port must be a number 1..65535, not \"" + port_text + "\"");
    a.port = std::stoi(port_text);
    *out = a;
    return true;
}
