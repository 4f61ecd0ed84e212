// The page's latest readings and grouped failures.
#include "watch/watch_summary.h"

#include <algorithm>

using nlohmann::json;

json LatestJson(const std::vector<PointLatest>& points) {
    json out = json::array();
    for (const PointLatest& p : points) {
        json j = json::object();
        if (p.good_ms != 0) j["good"] = {{"time", p.good_ms}, {"text", p.text}};
        if (p.failed_ms != 0) j["failed"] = {{"time", p.failed_ms}, {"cause", p.cause}, {"what", p.what}};
        out.push_back(std::move(j));
    }
    return out;
}

void FailureGroups::Add(long long ms, const std::string& address, const std::string& cause,
                        const std::string& what, const std::string& hint) {
    AddMany(address, cause, what, hint, 1, ms, ms);
}

void FailureGroups::AddMany(const std::string& address, const std::string& cause, const std::string& what,
                            const std::string& hint, long count, long long first_ms, long long last_ms) {
    auto it = std::find_if(groups_.begin(), groups_.end(),
                           [&](const FailureGroup& g) { return g.address == address && g.cause == cause; });
    if (it == groups_.end()) {
        if (kept_ == 0) {
            Drop(groups_.insert(groups_.end(), {address, cause, what, hint, count, first_ms, last_ms}));
            return;
        }
        if (groups_.size() >= kept_)
            Drop(std::min_element(groups_.begin(), groups_.end(),
                                  [](const auto& a, const auto& b) { return a.last_ms < b.last_ms; }));
        groups_.push_back({address, cause, "", "", 0, first_ms, last_ms});
        it = groups_.end() - 1;
    }
    if (last_ms >= it->last_ms || it->what.empty()) {
        it->what = what;
        it->hint = hint;
    }
    it->count += count;
    it->first_ms = std::min(it->first_ms, first_ms);
    it->last_ms = std::max(it->last_ms, last_ms);
}

void FailureGroups::Drop(std::vector<FailureGroup>::iterator g) {
    if (dropped_groups_++ == 0) {
        dropped_.first_ms = g->first_ms;
        dropped_.last_ms = g->last_ms;
    }
    dropped_.count += g->count;
    dropped_.first_ms = std::min(dropped_.first_ms, g->first_ms);
    dropped_.last_ms = std::max(dropped_.last_ms, g->last_ms);
    groups_.erase(g);
}

json FailureGroups::Json() const {
    std::vector<const FailureGroup*> order;
    for (const FailureGroup& g : groups_) order.push_back(&g);
    std::stable_sort(order.begin(), order.end(), [](auto a, auto b) { return a->last_ms > b->last_ms; });
    json out = json::array();
    for (const FailureGroup* g : order)
        out.push_back({{"address", g->address},
                       {"cause", g->cause},
                       {"what", g->what},
                       {"hint", g->hint},
                       {"count", g->count},
                       {"first", g->first_ms},
                       {"last", g->last_ms}});
    if (dropped_groups_ > 0)
        out.push_back({{"address", ""},
                       {"cause", "older"},
                       {"what", std::to_string(dropped_groups_) + (dropped_groups_ == 1 ? " group" : " groups") +
                                    " of older failures no longer listed (the page keeps the " +
                                    std::to_string(kept_) + " latest); their failures are counted here"},
                       {"hint", ""},
                       {"count", dropped_.count},
                       {"first", dropped_.first_ms},
                       {"last", dropped_.last_ms}});
    return out;
}
