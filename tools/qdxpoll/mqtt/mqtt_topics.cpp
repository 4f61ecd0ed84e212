#include "mqtt/mqtt_topics.h"

#include <algorithm>
#include <cctype>
#include <cmath>

#include <fmt/format.h>

#include "base/host_port.h"
#include "base/json_text.h"
#include "readings/written_value.h"
#include "rexf/unit_model.h"

namespace {

std::vector<std::string> Levels(const std::string& topic) {
    std::vector<std::string> levels;
    size_t start = 0;
    for (;;) {
        const size_t slash = topic.find('/', start);
        levels.push_back(topic.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return levels;
        start = slash + 1;
    }
}

bool AllDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

bool HostNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.'; }
bool Ipv6Char(char c) { return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.'; }

}  // namespace

bool ParseBrokerAddress(const std::string& text, BrokerAddress* out, std::string* why) {
    BrokerAddress b;
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
    } else if (text.rfind("mqtts://", 0) == 0) {
        rest = text.substr(8);
        b.tls = true;
        b.port = 8883;
    } else {
        *why = "the broker is given as mqtt://HOST:PORT (or mqtts://HOST:PORT for TLS), not \"" + text + "\"";
        return false;
    }
    HostPort cut;
    switch (CutHostPort(rest, &cut)) {
        case HostPortCut::kNoClosingBracket:
            *why = "the broker's IPv6 address lacks its closing ]: " + text;
            return false;
        case HostPortCut::kAfterBracket:
            *why = "after the broker's address only :PORT may follow: " + text;
            return false;
        case HostPortCut::kCut: break;
    }
    b.host = cut.host;
    if (cut.bracketed) {
        if (b.host.empty() || b.host.find(':') == std::string::npos) {
            *why = "no IPv6 address in brackets: " + text;
            return false;
        }
        for (char c : b.host)
            if (!Ipv6Char(c)) {
                *why = "not an IPv6 address in brackets: " + text;
                return false;
            }
    } else {
        if (b.host.empty() || b.host.size() > 253) {
            *why = "no broker host in " + text;
            return false;
        }
        for (char c : b.host)
            if (!HostNameChar(c)) {
                *why = "the broker host may hold letters, digits, '-' and '.' only (a path, user or password "
                       "does not belong in the address): " + text;
                return false;
            }
    }
    const std::string port_text = cut.has_port && cut.port.empty() ? "?" : cut.port;
    if (!port_text.empty()) {
        if (!AllDigits(port_text) || port_text.size() > 5 || std::stoi(port_text) < 1 || std::stoi(port_text) > 65535) {
            *why = "the broker port must be 1..65535: " + text;
            return false;
        }
        b.port = std::stoi(port_text);
    }
    *out = b;
    return true;
}

bool ValidTopicLevels(const std::string& text, std::string* why) {
    for (const std::string& level : Levels(text)) {
        if (level.empty()) {
            *why = "\"" + text + "\" has an empty topic level";
            return false;
        }
        for (char c : level)
            if (c == '+' || c == '#' || c == '\0') {
                *why = "\"" + text + "\" holds a wildcard (+ or #) or NUL, which a topic name may not";
                return false;
            }
    }
    return true;
}

std::string TopicNames::Point(int unit, int channel, const std::string& identifier) const {
    return fmt::format("{}/{:02d}/{}/{}", Line(), unit, channel, identifier);
}

std::vector<std::string> TopicNames::SetFilters() const {
    return {Line() + "/+/+/set", Line() + "/+/+/+/set", Line() + "/+/+/+/+/set"};
}

bool ParseSetTopic(const TopicNames& names, const std::string& topic, std::string* address, std::string* why) {
    const std::vector<std::string> want = Levels(names.Line());
    const std::vector<std::string> got = Levels(topic);
    if (got.size() != want.size() + 4 || got.back() != "set") {
        *why = "a set topic is " + names.Line() + "/UNIT/CHANNEL/IDENTIFIER/set (e.g. " + names.Line() +
               "/01/1/S1/set)";
        return false;
    }
    for (size_t i = 0; i < want.size(); ++i)
        if (got[i] != want[i]) {
            *why = "not a topic of this line (" + names.Line() + ")";
            return false;
        }
    const std::string& unit = got[want.size()];
    const std::string& channel = got[want.size() + 1];
    const std::string& identifier = got[want.size() + 2];
    if (unit.size() != 2 || !AllDigits(unit)) {
        *why = "the unit is two digits, 00-99, not \"" + unit + "\"";
        return false;
    }
    if (channel.size() != 1 || channel[0] < '0' || channel[0] > '8') {
        *why = "the channel is one digit, 0-8, not \"" + channel + "\"";
        return false;
    }
    if (identifier.size() != 2 || rexf::FindIdentifierModel(identifier) == nullptr) {
        *why = "no identifier \"" + identifier + "\" ('qdxpoll identifiers' lists them)";
        return false;
    }
    *address = unit + "K" + channel + identifier;
    return true;
}

bool ParseSetPayload(const std::string& payload, size_t size, std::string* value, std::string* why) {
    if (size > kSetPayloadBytes || payload.size() > kSetPayloadBytes) {
        *why = fmt::format("a set payload is a value such as 180.5 or {{\"value\": 180.5}}, at most {} bytes; this "
                           "one has {} bytes", kSetPayloadBytes, std::max(size, payload.size()));
        return false;
    }
    const size_t first = payload.find_first_not_of(" \t\r\n");
    std::string text = payload;
    if (first != std::string::npos && payload[first] == '{') {
        nlohmann::json j;
        std::string json_why;
        const bool parsed = ParseJsonNoDuplicates(payload, &j, &json_why);
        if (!parsed || !j.is_object() || j.size() != 1 || !j.contains("value")) {
            *why = "a JSON set payload is {\"value\": 180.5}" + (parsed ? std::string() : " (this one: " + json_why + ")");
            return false;
        }
        if (!WrittenValueFromJson(j["value"], &text, why)) return false;
    }
    WrittenValue given;
    if (!ParseWrittenValue(text, &given, why)) return false;
    *value = given.text;
    return true;
}

nlohmann::json SamplePayload(const Reading& r, const std::string& unit, bool late) {
    nlohmann::json j;
    j["time"] = IsoTime(r.time);
    if (!r.has_value) j["value"] = nullptr;
    else if (!r.value.numeric) j["value"] = r.value.text;
    else if (r.value.is_integer) j["value"] = r.value.integer;
    else j["value"] = r.value.number;
    if (!r.raw.empty()) j["raw"] = r.raw;
    if (!unit.empty()) j["unit"] = unit;
    j["outcome"] = r.ok ? "ok" : "failed";
    if (!r.ok) {
        j["cause"] = r.status;
        if (!r.error.empty()) j["error"] = r.error;
    }
    if (r.cycle > 0) j["cycle"] = r.cycle;
    if (late) j["late"] = true;
    return j;
}

bool PublishFilter::Take(const Reading& r, std::chrono::steady_clock::time_point now) {
    Last next;
    next.ok = r.ok;
    next.has_value = r.has_value && r.value.numeric;
    next.value = r.value.number;
    next.status = r.status;
    next.at = now;
    const auto it = last_.find(r.address);
    bool take = every_ || it == last_.end();
    if (!take) {
        const Last& last = it->second;
        const bool outcome_changed = last.ok != next.ok || last.status != next.status ||
                                     last.has_value != next.has_value;
        const bool value_changed = next.has_value && std::fabs(next.value - last.value) > deadband_;
        const bool due = max_interval_ > 0 &&
                         std::chrono::duration<double>(now - last.at).count() >= max_interval_;
        take = outcome_changed || value_changed || due;
    }
    if (take) last_[r.address] = next;
    return take;
}
