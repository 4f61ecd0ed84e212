// The options more than one command takes, and the points of the line file.
#include "config/options.h"

const ConfigPoint* Options::ConfigPointOf(const std::string& address) const {
    for (const ConfigPoint& p : config_points)
        if (p.address == address) return &p;
    return nullptr;
}
