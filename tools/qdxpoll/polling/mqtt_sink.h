// MQTT as a cycle's way out: every sample published (as the publish filter
// lets it), the line's statistics on its status topic now and then, and
// between cycles the set values taken from the broker, each written and
// read back. At the end what waits is refused, and the line says it is
// gone.
#ifndef QDXPOLL_MQTT_SINK_H
#define QDXPOLL_MQTT_SINK_H

#include <chrono>
#include <string>
#include <vector>

#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_topics.h"
#include "polling/cycle_sink.h"
#include "polling/ha_announcer.h"
#include "readings/write_queue.h"
#include "session/session.h"

class MqttSink : public CycleSink {
public:
    // `units` holds each point's engineering unit, in the points' order;
    // `writable` the points a set topic may write.
    MqttSink(Session& session, MqttLink& link, TopicNames names, const PointList& points,
             std::vector<std::string> units, std::vector<std::string> writable);

    // Between cycles: refuses at once what may not be written, and runs at
    // most one write, so that writes never starve the polling.
    void Wait(std::chrono::steady_clock::time_point until);

    void Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) override;
    void End() override;

    // --discovery homeassistant: announces the points between cycles and
    // hears Home Assistant's status.
    void Announce(HaAnnouncer* announcer) { announcer_ = announcer; }

private:
    struct SetRequest {
        std::string topic, address, value;
    };

    void Notes();
    void Take();
    void Write(const SetRequest& r);
    void Refuse(const std::string& topic, const std::string& address, const std::string& value,
                const std::string& cause, const std::string& why);

    Session& session_;
    MqttLink& link_;
    TopicNames names_;
    std::vector<std::string> units_;
    std::vector<std::string> writable_;
    WriteQueue<SetRequest> pending_;
    PublishFilter filter_;
    long samples_ = 0;
    std::chrono::steady_clock::time_point last_status_;
    std::vector<PointStats> stats_;  // the latest, for the status at the end
    HaAnnouncer* announcer_ = nullptr;
};

#endif  // QDXPOLL_MQTT_SINK_H
