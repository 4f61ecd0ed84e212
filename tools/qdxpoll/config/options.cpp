// The options more than one command takes, and the points of the line file.
#include "config/options.h"

#include <fmt/format.h>

const ConfigPoint* Options::ConfigPointOf(const std::string& address) const {
    for (const ConfigPoint& p : config_points)
        if (p.address == address) return &p;
    return nullptr;
}

std::string IntervalProblem(double seconds) {
    if (seconds == 0 || seconds >= kLeastIntervalS) return "";
    return fmt::format("an interval of {:g} s is none: give 0 (cycles back to back) or at least {:g} s", seconds,
                       kLeastIntervalS);
}
