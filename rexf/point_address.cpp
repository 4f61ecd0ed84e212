// Point addresses by their parts.
#include "rexf/point_address.h"

namespace rexf {

std::optional<PointAddress> PointAddress::Of(const std::string& text) {
    if (text.size() != 6) return std::nullopt;
    return PointAddress(text);
}

PointAddress PointAddress::With(const std::string& identifier) const {
    return PointAddress(unit_and_channel() + identifier);
}

}  // namespace rexf
