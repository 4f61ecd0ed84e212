// Home Assistant's MQTT discovery for the points of a line: which kind of
// entity each point is (a binary sensor for a state, a number for a point
// that may be written, a sensor for the rest), its device class from the
// unit model, and its availability: its unit's first, the line's second,
// both needed.
#ifndef QDXPOLL_HA_DISCOVERY_H
#define QDXPOLL_HA_DISCOVERY_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "mqtt/mqtt_topics.h"

// Where Home Assistant says it has (re)started: "online" asks for the
// configurations again.
inline constexpr const char* kHomeAssistantStatus = "homeassistant/status";

struct DiscoveryPoint {
    std::string address;  // 01K1S1
    int unit = 0, channel = 0;
    std::string identifier;
    std::string engineering_unit;  // as the samples carry it
    std::string name;              // the line file's; "" for none
    bool writable = false;         // a set topic writes it
    // The unit's own limits for a written value (SL..SH for S1), read from
    // the unit; none: the unit model's range.
    std::optional<std::pair<double, double>> limits;
};

// A unit's availability topic: PREFIX/LINE/UU/availability, "online" or
// "offline", retained.
std::string UnitAvailabilityTopic(const TopicNames& names, int unit);

struct DiscoveryMessage {
    std::string topic;
    nlohmann::json payload;  // null: an empty retained message, which removes the entity
};

// The point's config message, then empty ones for its config topics under
// the other kinds of entity, so that a point that changed kind (written
// before, read-only now) is not announced twice.
std::vector<DiscoveryMessage> HomeAssistantConfigs(const TopicNames& names, const DiscoveryPoint& point);

#endif  // QDXPOLL_HA_DISCOVERY_H
