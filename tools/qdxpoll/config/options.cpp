// The options more than one command takes, and the points of the line file.
#include "config/options.h"

#include <fmt/format.h>

#include "base/host_port.h"
#include "rexf/unit_list.h"

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

bool ExpandUnitList(const std::vector<std::string>& given, const std::string& units, int channel,
                    std::vector<std::string>* addresses, std::string* why) {
    std::vector<int> list;
    if (!rexf::ParseUnitList(units, &list, why)) {
        *why = "--units: " + *why;
        return false;
    }
    std::vector<std::string> identifiers, kept;
    for (const std::string& a : given) {
        if (a.size() == 2) identifiers.push_back(a);
        else if (a.size() == 6) kept.push_back(a);
        else {
            *why = "\"" + a + "\" is neither an identifier (two characters, such as M1) for --units nor a "
                   "six-character address";
            return false;
        }
    }
    if (identifiers.empty()) {
        *why = "--units goes with identifiers, such as M1 S1; six-character addresses name their unit";
        return false;
    }
    addresses->clear();
    for (int unit : list)
        for (const std::string& id : identifiers) addresses->push_back(fmt::format("{:02d}K{}{}", unit, channel, id));
    addresses->insert(addresses->end(), kept.begin(), kept.end());
    return true;
}
