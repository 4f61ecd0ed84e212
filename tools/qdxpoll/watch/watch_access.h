// Whom the page's server answers, decided on parsed addresses and exact
// lists, never on text prefixes: requests addressed to an IP address or
// localhost (a loopback one when it listens there), from its own page only,
// and writes, when it is served beyond this machine, only with the token it
// printed.
#ifndef QDXPOLL_WATCH_ACCESS_H
#define QDXPOLL_WATCH_ACCESS_H

#include <string>

// The host and port of a Host header or of an origin: an IPv4 address in
// dotted decimal, an IPv6 address in brackets, or localhost, each with an
// optional port.
struct PageHost {
    std::string host;  // as given, without brackets: "127.0.0.1", "::1", "localhost"
    int port = -1;     // -1: none given
    bool ip_literal = false;
    bool loopback = false;
};

// False for anything else: a name that may point anywhere, an address with
// bytes after it, a port that is no number of 0..65535.
bool ParsePageHost(const std::string& text, PageHost* out);

// Whether an address text (the one the server listens on) is a loopback
// one: 127.0.0.0/8, ::1, an IPv4-mapped loopback address, or localhost.
bool IsLoopbackAddress(const std::string& address);

class PageAccess {
public:
    PageAccess() = default;
    PageAccess(const std::string& listen_address, int port);

    // The Host header of a request: an IP literal or localhost (loopback
    // ones when the server listens on loopback), or the very address it was
    // told to listen on. An empty one is none of these.
    bool HostAllowed(const std::string& host_header) const;

    // The Origin header: absent (no browser sends it for a page's own
    // reading requests), or exactly one of the server's own origins: http,
    // a host that HostAllowed takes, the server's port, nothing more.
    bool OriginAllowed(const std::string& origin) const;

    // Sec-Fetch-Site, which browsers add to every request: only the page's
    // own requests ("same-origin") and those the user typed ("none") pass;
    // another site's (cross-site, same-site), even blind ones by <img> or
    // <script>, do not. Absent: no browser, or an old one.
    static bool FetchSiteAllowed(const std::string& fetch_site);

    bool loopback() const { return loopback_; }

private:
    bool HostAllowed(const PageHost& h, const std::string& text) const;

    std::string listen_address_;
    int port_ = 0;
    bool loopback_ = true;
};

// Whether a Content-Type header names exactly this media type (compared
// without regard to case), with or without parameters: "application/json;
// charset=utf-8" is application/json, "application/jsonx" is not.
bool MediaTypeIs(const std::string& content_type, const char* type);

// A new write token: 128 bits from the system's random source, as 32 hex
// digits; "" when the system gives none.
std::string NewWriteToken();

// Compares a token given with the one expected, in a time that does not
// depend on where they differ.
bool SameToken(const std::string& given, const std::string& expected);

#endif  // QDXPOLL_WATCH_ACCESS_H
