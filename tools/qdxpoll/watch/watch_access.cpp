// Host, origin and token checks of the page's server.
#include "watch/watch_access.h"

#include <cctype>
#include <cstring>

#include "base/host_port.h"
#include "watch/watch_system.h"

namespace {

bool EqualsNoCase(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// 1 to 5 decimal digits, 0..65535.
bool ParsePort(const std::string& text, int* port) {
    if (text.empty() || text.size() > 5) return false;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value > 65535) return false;
    *port = value;
    return true;
}

// An IP literal as inet_pton reads it (the text must hold no NUL, or the
// parse would stop there); sets *loopback.
bool ParseIp(const std::string& text, bool ipv6, bool* loopback) {
    if (text.empty() || text.find('\0') != std::string::npos) return false;
    if (!ipv6) {
        in_addr a{};
        if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
        *loopback = (ntohl(a.s_addr) >> 24) == 127;
        return true;
    }
    in6_addr a{};
    if (inet_pton(AF_INET6, text.c_str(), &a) != 1) return false;
    static const unsigned char kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    *loopback = IN6_IS_ADDR_LOOPBACK(&a) || (std::memcmp(a.s6_addr, kMappedPrefix, 12) == 0 && a.s6_addr[12] == 127);
    return true;
}

bool Printable(const std::string& text) {
    for (char c : text)
        if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f) return false;
    return true;
}

// A host name with or without ":PORT" (the listen name the user gave): the
// name, and the port in *port where one follows its last ':'.
std::string NameBeforePort(const std::string& text, int* port) {
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos && ParsePort(text.substr(colon + 1), port)) return text.substr(0, colon);
    return text;
}

}  // namespace

bool ParsePageHost(const std::string& text, PageHost* out) {
    PageHost h;
    if (text.empty() || !Printable(text)) return false;
    HostPort cut;
    if (CutHostPort(text, &cut) != HostPortCut::kCut) return false;
    h.host = cut.host;
    if (cut.bracketed) {
        if (!ParseIp(h.host, true, &h.loopback)) return false;
        h.ip_literal = true;
    } else if (EqualsNoCase(h.host, "localhost")) {
        h.loopback = true;
    } else if (ParseIp(h.host, false, &h.loopback)) {
        h.ip_literal = true;
    } else {
        return false;
    }
    if (cut.has_port && !ParsePort(cut.port, &h.port)) return false;
    *out = h;
    return true;
}

bool IsLoopbackAddress(const std::string& address) {
    if (EqualsNoCase(address, "localhost")) return true;
    bool loopback = false;
    return (ParseIp(address, false, &loopback) || ParseIp(address, true, &loopback)) && loopback;
}

PageAccess::PageAccess(const std::string& listen_address, int port)
    : listen_address_(listen_address), port_(port), loopback_(IsLoopbackAddress(listen_address)) {}

bool PageAccess::HostAllowed(const PageHost& h, const std::string& text) const {
    if (loopback_) return h.loopback;
    return h.ip_literal || h.loopback || (!text.empty() && EqualsNoCase(text, listen_address_.c_str()));
}

bool PageAccess::HostAllowed(const std::string& host_header) const {
    PageHost h;
    if (ParsePageHost(host_header, &h)) return HostAllowed(h, "");
    // The name the user told it to listen on, with or without the port.
    if (loopback_ || !Printable(host_header)) return false;
    int port = 0;
    return HostAllowed(PageHost{}, NameBeforePort(host_header, &port));
}

bool PageAccess::OriginAllowed(const std::string& origin) const {
    if (origin.empty()) return true;
    static const char kScheme[] = "http://";
    const size_t scheme = sizeof kScheme - 1;
    if (origin.size() <= scheme || !EqualsNoCase(origin.substr(0, scheme), kScheme)) return false;
    const std::string authority = origin.substr(scheme);
    PageHost h;
    bool allowed = false;
    if (ParsePageHost(authority, &h)) {
        allowed = HostAllowed(h, "");
    } else if (!loopback_ && Printable(authority)) {
        allowed = HostAllowed(PageHost{}, NameBeforePort(authority, &h.port));
    }
    return allowed && (h.port < 0 ? 80 : h.port) == port_;
}

bool PageAccess::FetchSiteAllowed(const std::string& fetch_site) {
    return fetch_site.empty() || fetch_site == "same-origin" || fetch_site == "none";
}

bool MediaTypeIs(const std::string& content_type, const char* type) {
    const size_t semicolon = content_type.find(';');
    size_t begin = 0, end = semicolon == std::string::npos ? content_type.size() : semicolon;
    while (begin < end && (content_type[begin] == ' ' || content_type[begin] == '\t')) ++begin;
    while (end > begin && (content_type[end - 1] == ' ' || content_type[end - 1] == '\t')) --end;
    return EqualsNoCase(content_type.substr(begin, end - begin), type);
}

std::string NewWriteToken() {
    unsigned char bytes[16];
    if (!SystemRandomBytes(bytes, sizeof bytes)) return "";
    static const char kHex[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token += kHex[b >> 4];
        token += kHex[b & 15];
    }
    return token;
}

bool SameToken(const std::string& given, const std::string& expected) {
    if (expected.empty()) return false;
    // Every byte of the expected token is compared, whatever the given one
    // holds; only its length shows.
    unsigned char differ = given.size() != expected.size();
    for (size_t i = 0; i < expected.size(); ++i)
        differ |= static_cast<unsigned char>(expected[i] ^ (i < given.size() ? given[i] : 0));
    return differ == 0;
}
