// The MQTT side of a line, without the broker: the broker's address, the
// topics of points, status and writes (set topics parsed exactly, level by
// level), the payloads, and which samples are published.
#ifndef QDXPOLL_MQTT_TOPICS_H
#define QDXPOLL_MQTT_TOPICS_H

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "readings/reading.h"

struct BrokerAddress {
    std::string host;  // a name, an IPv4 address or an IPv6 address (without brackets)
    int port = 1883;
    bool tls = false;  // mqtts://
};

// mqtt://HOST[:PORT] or mqtts://HOST[:PORT] (1883, 8883 by default); an IPv6
// address in brackets. False, with *why, for anything else.
bool ParseBrokerAddress(const std::string& text, BrokerAddress* out, std::string* why);

// A topic level as the broker takes it: not empty, no wildcard, no '/', no
// NUL. Prefix and line name must each be made of such levels.
bool ValidTopicLevels(const std::string& text, std::string* why);

struct TopicNames {
    std::string prefix = "qdxtlmv";
    std::string line = "line1";

    std::string Line() const { return prefix + "/" + line; }
    std::string Status() const { return Line() + "/status"; }
    // PREFIX/LINE/01/1/M1
    std::string Point(int unit, int channel, const std::string& identifier) const;
    // What qdxpoll subscribes to for writes: every set topic one level short
    // or long too, so that a wrongly shaped one is seen and refused.
    std::vector<std::string> SetFilters() const;
};

// The point a set topic names: PREFIX/LINE/UU/C/ID/set exactly, unit 00-99,
// channel 0-8, an identifier the driver knows. False, with *why, for any
// other shape.
bool ParseSetTopic(const TopicNames& names, const std::string& topic, std::string* address, std::string* why);

// The most a set payload holds: a value, with room to spare, or
// {"value": ...}.
inline constexpr size_t kSetPayloadBytes = 64;

// The value a set payload carries: a written value (readings/written_value.h,
// "180.5"), or a JSON object {"value": V}, V a number or such text, with no
// other key and none twice. `payload` holds the first bytes of a payload of
// `size` bytes: one over kSetPayloadBytes is refused by its size. False,
// with *why, for anything else.
bool ParseSetPayload(const std::string& payload, size_t size, std::string* value, std::string* why);

// A sample as published: time (ISO 8601 with ms), value, raw text,
// engineering unit, outcome and, for a failure, its cause and the line that
// names it; late when it waited for the broker.
nlohmann::json SamplePayload(const Reading& r, const std::string& unit, bool late);

// Which samples are published: every one, or one that changed by more than
// the deadband since the last published (or whose outcome changed), and at
// least every max_interval.
class PublishFilter {
public:
    PublishFilter(bool every, double deadband, double max_interval_s)
        : every_(every), deadband_(deadband), max_interval_(max_interval_s) {}
    bool Take(const Reading& r, std::chrono::steady_clock::time_point now);

private:
    struct Last {
        bool ok = false;
        bool has_value = false;
        double value = 0;
        std::string status;
        std::chrono::steady_clock::time_point at;
    };
    bool every_;
    double deadband_, max_interval_;
    std::map<std::string, Last> last_;
};

#endif  // QDXPOLL_MQTT_TOPICS_H
