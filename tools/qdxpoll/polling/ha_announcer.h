// The line's points announced to Home Assistant (mqtt --discovery
// homeassistant): at the first connection, again at every new connection
// (a broker restarted without its retained messages forgets them) and
// whenever Home Assistant says it has started; and each unit's
// availability, offline while it does not answer.
#ifndef QDXPOLL_HA_ANNOUNCER_H
#define QDXPOLL_HA_ANNOUNCER_H

#include <map>
#include <string>
#include <vector>

#include "mqtt/ha_discovery.h"
#include "mqtt/mqtt_link.h"
#include "session/session.h"

class HaAnnouncer {
public:
    HaAnnouncer(Session& session, MqttLink& link, TopicNames names, std::vector<DiscoveryPoint> points);

    // Between cycles, on the thread that drives the module: announces when
    // it is due. A number for S1 gets the unit's own SL..SH, read then.
    void Between();
    // A message on Home Assistant's status topic: "online" asks for the
    // configurations again.
    void HomeAssistantStatus(const std::string& payload);
    // A cycle's readings: a unit whose every request went unanswered is
    // offline, one that answered anything is online.
    void Cycle(const std::vector<Reading>& readings);

private:
    void Announce();
    void ReadLimits(DiscoveryPoint* p);
    void PublishUnit(int unit, bool online);

    Session& session_;
    MqttLink& link_;
    TopicNames names_;
    std::vector<DiscoveryPoint> points_;
    long announced_for_ = 0;  // the connection announced on
    bool asked_ = false;       // Home Assistant came online
    std::map<int, bool> online_;  // a unit's availability as last published
};

#endif  // QDXPOLL_HA_ANNOUNCER_H
