#include "rexf/unit_list.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace rexf {
namespace {

// Numbers 0..highest and ranges FIRST-LAST, separated by commas; `noun`
// names them in the message.
bool ParseList(const std::string& text, int highest, const std::string& noun, std::vector<int>* out,
               std::string* why) {
    out->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string part = text.substr(start, comma - start);
        int a = -1, b = -1, used = 0;
        const int n = std::sscanf(part.c_str(), "%d%n-%d%n", &a, &used, &b, &used);
        const bool whole = used == static_cast<int>(part.size()) && !part.empty() &&
                           std::isdigit(static_cast<unsigned char>(part[0]));
        if (n == 1) b = a;
        if (!whole || n < 1 || a < 0 || b > highest || a > b) {
            *why = noun + " list \"" + text + "\": \"" + part + "\" is not a " + noun + " 0-" +
                   std::to_string(highest) + " or a range FIRST-LAST; e.g. 0-" + std::to_string(highest) +
                   " or 1,3,5-" + std::to_string(std::min(highest, 9));
            return false;
        }
        for (int v = a; v <= b; ++v)
            if (std::find(out->begin(), out->end(), v) == out->end()) out->push_back(v);
        start = comma + 1;
    }
    return true;
}

}  // namespace

bool ParseUnitList(const std::string& text, std::vector<int>* units, std::string* why) {
    return ParseList(text, 99, "unit", units, why);
}

bool ParseChannelList(const std::string& text, int highest, std::vector<int>* channels, std::string* why) {
    return ParseList(text, highest, "channel", channels, why);
}

}  // namespace rexf
