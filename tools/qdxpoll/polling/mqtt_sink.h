// MQTT as a cycle's way out: every sample published (as the publish filter
// lets it), the line's statistics on its status topic now and then, and
// between cycles the set values taken from the broker, each written and
// read back. Every set message gets one result, its own or, refused unread
// in a flood, a count in one a second. At the end the set topics are left,
// what waits is refused, and the line says it is gone.
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
    // most one write, so that writes never starve the polling. With `wrote`,
    // that one write is shared with the page's in the same gap.
    void Wait(std::chrono::steady_clock::time_point until, bool* wrote = nullptr);

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
    // The set messages refused unread in a flood: one result a topic, with
    // their count, at most once a second (or at once, at the end).
    void AnswerFloods(bool now);
    void Write(const SetRequest& r);
    void Refuse(const std::string& topic, const std::string& address, const std::string& value,
                const std::string& cause, const std::string& why);
    // The result on topic/result, answering so many set messages.
    void Answer(const std::string& topic, const nlohmann::json& result, long messages = 1);

    Session& session_;
    MqttLink& link_;
    TopicNames names_;
    std::vector<std::string> units_;
    std::vector<std::string> writable_;
    WriteQueue<SetRequest> pending_;
    PublishFilter filter_;
    long samples_ = 0;
    std::chrono::steady_clock::time_point last_status_;
    std::chrono::steady_clock::time_point last_floods_;
    long answered_ = 0;  // set messages answered on their /set/result, each counted ones included
    std::vector<PointStats> stats_;  // the latest, for the status at the end
    HaAnnouncer* announcer_ = nullptr;
};

#endif  // QDXPOLL_MQTT_SINK_H
