#include "base/json_text.h"

#include <set>
#include <vector>

std::string JsonText(const nlohmann::json& j) {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

bool ParseJsonNoDuplicates(const std::string& text, nlohmann::json* out, std::string* why) {
    using Event = nlohmann::json::parse_event_t;
    std::vector<std::set<std::string>> keys;  // of each object open
    std::string twice;
    bool duplicate = false;
    const auto seen = [&](int, Event event, nlohmann::json& parsed) {
        switch (event) {
            case Event::object_start: keys.emplace_back(); break;
            case Event::object_end:
                if (!keys.empty()) keys.pop_back();
                break;
            case Event::key:
                if (!keys.empty() && !keys.back().insert(parsed.get<std::string>()).second && !duplicate) {
                    duplicate = true;
                    twice = parsed.get<std::string>();
                }
                break;
            default: break;
        }
        return true;
    };
    nlohmann::json j = nlohmann::json::parse(text, seen, false);
    if (j.is_discarded()) {
        *why = "not JSON";
        return false;
    }
    if (duplicate) {
        *why = "the key " + JsonText(nlohmann::json(twice)) + " is given twice";
        return false;
    }
    *out = std::move(j);
    return true;
}
