// Home Assistant's discovery, kept true over restarts of the broker and of
// Home Assistant.
#include "polling/ha_announcer.h"

#include <fmt/format.h>

#include "session/driver_log.h"

namespace {

// The requests that met no answer at all: a silent unit, or no port.
bool Unanswered(const Reading& r) { return !r.ok && (r.status == "silent" || r.status == "port_lost"); }

bool Polled(const Reading& r) {
    return r.summary_class != SummaryClass::kSkipped && r.summary_class != SummaryClass::kInterrupted;
}

}  // namespace

HaAnnouncer::HaAnnouncer(Session& session, MqttLink& link, TopicNames names, std::vector<DiscoveryPoint> points)
    : session_(session), link_(link), names_(std::move(names)), points_(std::move(points)) {}

void HaAnnouncer::HomeAssistantStatus(const std::string& payload) {
    if (payload == "online") asked_ = true;
}

void HaAnnouncer::Between() {
    const MqttLinkCounts c = link_.Counts();
    if (!c.connected) return;
    if (!asked_ && c.connections == announced_for_) return;
    asked_ = false;
    announced_for_ = c.connections;
    Announce();
}

void HaAnnouncer::Announce() {
    for (DiscoveryPoint& p : points_) {
        if (p.writable && p.identifier == "S1") ReadLimits(&p);
        for (const DiscoveryMessage& m : HomeAssistantConfigs(names_, p)) {
            if (m.payload.is_null())
                link_.EnqueueText(m.topic, "", true);
            else
                link_.Enqueue(m.topic, m.payload, true, false);
        }
    }
    // A broker that lost its retained messages lost these too.
    for (const auto& [unit, online] : online_) PublishUnit(unit, online);
}

// The unit's SL and SH, read now: they bound what it takes as S1. Read as
// the host reads them, but not counted as the poll's failures.
void HaAnnouncer::ReadLimits(DiscoveryPoint* p) {
    double limit[2] = {0, 0};
    const char* ids[2] = {"SL", "SH"};
    std::string why;
    for (int i = 0; i < 2 && why.empty(); ++i) {
        std::unique_ptr<Point> point;
        try {
            point = session_.ParsePoint(fmt::format("{:02d}K{}{}", p->unit, p->channel, ids[i]), session_.Type());
        } catch (const std::exception& e) {
            why = e.what();
            break;
        }
        const Reading r = session_.MakeReading(*point, session_.Request(RequestKind::kRead, point.get()), false, "read");
        if (r.ok && r.value.numeric)
            limit[i] = r.value.number;
        else
            why = r.error.empty() ? r.status : r.error;
    }
    if (why.empty() && !(limit[0] <= limit[1])) why = fmt::format("SL {} is above SH {}", limit[0], limit[1]);
    if (why.empty()) {
        p->limits = std::make_pair(limit[0], limit[1]);
        return;
    }
    ErrorLine(fmt::format("mqtt: {}: the unit's limits SL..SH could not be read ({}); Home Assistant is given {}",
                          p->address, why,
                          p->limits ? fmt::format("the last read, {:g}..{:g}", p->limits->first, p->limits->second)
                                    : std::string("the whole input range")));
}

void HaAnnouncer::PublishUnit(int unit, bool online) {
    online_[unit] = online;
    link_.EnqueueText(UnitAvailabilityTopic(names_, unit), online ? "online" : "offline", true);
}

void HaAnnouncer::Cycle(const std::vector<Reading>& readings) {
    std::map<int, int> polled, unanswered;
    for (const Reading& r : readings)
        if (Polled(r)) {
            ++polled[r.unit];
            unanswered[r.unit] += Unanswered(r);
        }
    for (const auto& [unit, n] : polled) {
        const bool online = unanswered[unit] < n;
        const auto it = online_.find(unit);
        if (it == online_.end() || it->second != online) PublishUnit(unit, online);
    }
}
