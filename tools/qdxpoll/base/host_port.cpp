// Cutting an address into host and port.
#include "base/host_port.h"

#include <algorithm>

HostPortCut CutHostPort(const std::string& text, HostPort* out) {
    HostPort a;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos) return HostPortCut::kNoClosingBracket;
        a.host = text.substr(1, close - 1);
        a.bracketed = true;
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return HostPortCut::kAfterBracket;
            a.has_port = true;
            a.port = text.substr(close + 2);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        const size_t colon = text.find(':');
        a.host = text.substr(0, colon);
        a.has_port = true;
        a.port = text.substr(colon + 1);
    } else {
        a.host = text;
    }
    *out = a;
    return HostPortCut::kCut;
}

bool IsEveryAddress(const std::string& host) { return !host.empty() && host.find_first_not_of("0.:") == std::string::npos; }
