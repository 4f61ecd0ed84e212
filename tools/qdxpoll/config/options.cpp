// The options more than one command takes, and the points of the line file.
#include "config/options.h"

#include <fmt/format.h>

#include "base/host_port.h"

const ConfigPoint* Options::ConfigPointOf(const std::string& address) const {
    for (const ConfigPoint& p : config_points)
        if (p.address == address) return &p;
    return nullptr;
}

std::string ListenAddressProblem(std::string* address) {
    const std::string text = *address;
    HostPort cut;
    switch (CutHostPort(text, &cut)) {
        case HostPortCut::kNoClosingBracket: return "\"" + text + "\": no ']' after the IPv6 address";
        case HostPortCut::kAfterBracket: return "\"" + text + "\": only the address, e.g. [fd00::2]";
        case HostPortCut::kCut: break;
    }
    if (cut.has_port) return "\"" + text + "\": the address alone; the port is --http PORT";
    if (cut.host.empty()) return "no address given, e.g. 127.0.0.1, 0.0.0.0 or [::1]";
    if (cut.bracketed && cut.host.find(':') == std::string::npos)
        return "\"" + text + "\": brackets hold an IPv6 address";
    *address = cut.host;
    return "";
}

std::string IntervalProblem(double seconds) {
    if (seconds == 0 || seconds >= kLeastIntervalS) return "";
    return fmt::format("an interval of {:g} s is none: give 0 (cycles back to back) or at least {:g} s", seconds,
                       kLeastIntervalS);
}
