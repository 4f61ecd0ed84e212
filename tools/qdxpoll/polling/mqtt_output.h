// A line's points published to its broker, as mqtt and run both do: the
// broker's address and the topics checked before the port opens, the
// connection, the sink of every cycle and Home Assistant's announcements.
#ifndef QDXPOLL_MQTT_OUTPUT_H
#define QDXPOLL_MQTT_OUTPUT_H

#include <memory>
#include <string>
#include <vector>

#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_topics.h"
#include "polling/ha_announcer.h"
#include "polling/mqtt_sink.h"
#include "session/session.h"

// The connection the options ask for (broker, TLS, will and subscriptions).
// Throws ToolError (64) for a setup that cannot be used.
MqttLinkSetup CheckedMqttSetup(const Options& o);
// The points a set topic may write: the listed ones, each checked writable.
// Throws ToolError (64) for a read-only one. The module is loaded.
std::vector<std::string> MqttWritable(Session& session);

class MqttOutput {
public:
    // Starts the connection (which goes on trying in the background).
    // Throws ToolError when the setup cannot be used.
    MqttOutput(Session& session, const PointList& points, const MqttLinkSetup& setup,
               std::vector<std::string> writable);

    MqttSink& sink() { return *sink_; }
    MqttLinkCounts Counts() const { return link_.Counts(); }
    // What the broker gets, for the user.
    std::string Note(size_t points) const;

private:
    Session& session_;
    TopicNames names_;
    MqttLink link_;
    std::unique_ptr<MqttSink> sink_;
    std::unique_ptr<HaAnnouncer> announcer_;
};

#endif  // QDXPOLL_MQTT_OUTPUT_H
