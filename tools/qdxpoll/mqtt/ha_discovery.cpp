// Home Assistant's discovery payloads.
#include "mqtt/ha_discovery.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <fmt/format.h>

#include "rexf/unit_model.h"

namespace {

// Names in discovery ids may hold only letters, digits, _ and -.
std::string IdText(const std::string& s) {
    std::string out;
    for (char c : s) out += std::isalnum(static_cast<unsigned char>(c)) || c == '-' ? c : '_';
    return out;
}

bool OneOf(const std::string& s, std::initializer_list<const char*> list) {
    return std::any_of(list.begin(), list.end(), [&](const char* x) { return s == x; });
}

// A state the unit reports as 0 or 1: an alarm or a burnout, on when 1.
bool IsState(const rexf::IdentifierModel& m) {
    return m.access == rexf::Access::kReadOnly && m.unit == rexf::EngineeringUnit::kNone && m.low == 0 &&
           m.high == 1 && m.decimals == 0;
}

// Home Assistant's class of a value, where its unit fits the class: only
// values that are temperatures (not bands, gaps or biases measured in
// degrees, which it would convert wrongly between °C and °F), the current
// transformer inputs, and times.
std::string DeviceClass(const std::string& identifier, const rexf::IdentifierModel& m, const std::string& unit) {
    switch (m.unit) {
        case rexf::EngineeringUnit::kInput:
            if (OneOf(identifier, {"M1", "MS", "S1", "SH", "SL"}) && OneOf(unit, {"°C", "°F", "K"}))
                return "temperature";
            return "";
        case rexf::EngineeringUnit::kAmpere: return OneOf(unit, {"A", "mA"}) ? "current" : "";
        case rexf::EngineeringUnit::kSecond: return OneOf(unit, {"s", "ms", "min", "h", "d"}) ? "duration" : "";
        case rexf::EngineeringUnit::kPercent:
        case rexf::EngineeringUnit::kNone: break;
    }
    return "";
}

const char* const kComponents[] = {"sensor", "binary_sensor", "number"};

}  // namespace

std::string UnitAvailabilityTopic(const TopicNames& names, int unit) {
    return fmt::format("{}/{:02d}/availability", names.Line(), unit);
}

std::vector<DiscoveryMessage> HomeAssistantConfigs(const TopicNames& names, const DiscoveryPoint& point) {
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(point.identifier);
    const std::string node = IdText(names.prefix + "_" + names.line);
    const std::string object = node + "_" + point.address;
    const std::string state = names.Point(point.unit, point.channel, point.identifier);
    const bool state_only = m != nullptr && IsState(*m) && !point.writable;
    const std::string component = point.writable ? "number" : state_only ? "binary_sensor" : "sensor";

    nlohmann::json p;
    p["name"] = !point.name.empty() ? point.name
                                    : fmt::format("{} {}", point.address, m != nullptr ? m->meaning : point.identifier);
    p["unique_id"] = object;
    p["object_id"] = object;
    p["state_topic"] = state;
    p["value_template"] = "{{ value_json.value }}";
    p["json_attributes_topic"] = state;
    p["availability"] = nlohmann::json::array(
        {{{"topic", UnitAvailabilityTopic(names, point.unit)}},
         {{"topic", names.Status()}, {"value_template", "{{ value_json.state }}"}}});
    p["availability_mode"] = "all";
    p["device"] = {{"identifiers", {fmt::format("{}_{:02d}", node, point.unit)}},
                   {"name", fmt::format("REX-F unit {:02d} ({})", point.unit, names.line)},
                   {"manufacturer", "RKC"},
                   {"model", "REX-F"}};
    if (state_only) {
        p["payload_on"] = "1";
        p["payload_off"] = "0";
        p["device_class"] = "problem";
    } else {
        if (!point.engineering_unit.empty()) p["unit_of_measurement"] = point.engineering_unit;
        const std::string device_class = m != nullptr ? DeviceClass(point.identifier, *m, point.engineering_unit) : "";
        if (!device_class.empty()) p["device_class"] = device_class;
    }
    if (point.writable) {
        p["command_topic"] = state + "/set";
        if (point.limits) {
            p["min"] = point.limits->first;
            p["max"] = point.limits->second;
        } else if (m != nullptr) {
            p["min"] = m->low;
            p["max"] = m->high;
        }
        if (m != nullptr) p["step"] = std::pow(10.0, -m->decimals);
        p["mode"] = "box";
    } else if (!state_only && !point.engineering_unit.empty()) {
        // A measurement has a unit; a code (an input type, an alarm type) is
        // no quantity to average or chart.
        p["state_class"] = "measurement";
    }

    std::vector<DiscoveryMessage> out;
    out.push_back({fmt::format("homeassistant/{}/{}/{}/config", component, node, point.address), p});
    for (const char* other : kComponents)
        if (component != other)
            out.push_back({fmt::format("homeassistant/{}/{}/{}/config", other, node, point.address), nullptr});
    return out;
}
