// qdxpoll's connection to an MQTT broker (libmosquitto, its own thread):
// messages wait in a bounded queue that the polling only appends to, so a
// slow or absent broker never holds the polling up; they go out in order, at
// QoS 1, as the broker takes them. While the broker is away they wait, and
// the samples among them go out marked late once it is back. The connection
// is made again with backoff (1 s doubling to 30 s). Where the build has
// no libmosquitto, Unavailable() says why.
#ifndef QDXPOLL_MQTT_LINK_H
#define QDXPOLL_MQTT_LINK_H

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "mqtt/mqtt_topics.h"

struct MqttLinkSetup {
    BrokerAddress broker;
    std::string client_id, username, password, tls_ca;
    std::string will_topic, will_payload;       // retained, set when the connection dies unclosed
    std::string online_topic, online_payload;   // retained, published on every connection
    std::vector<std::string> subscriptions;     // taken as inbound messages
    size_t max_queued = 100000;
};

// A message that came on a subscribed topic: its first bytes (a set
// payload is short; the rest is never kept) and its whole size.
struct MqttInbound {
    std::string topic, payload;
    size_t size = 0;
    bool retain = false;
};

// Messages refused unread on one topic ("": on topics beyond those counted
// one by one), because as many as are taken at once waited already.
struct MqttRefusedUnread {
    std::string topic;
    long count = 0;
};

struct MqttLinkCounts {
    bool connected = false;
    long connections = 0;
    size_t queued = 0;      // waiting, not yet handed to the broker
    long published = 0;     // acknowledged by the broker
    long dropped = 0;       // pushed out of a full queue, oldest first
    long inbound = 0;          // messages that came on the subscribed topics
    long inbound_refused = 0;  // of them, beyond what waits to be taken
};

class MqttLink {
public:
    MqttLink();
    ~MqttLink();
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Why this build of qdxpoll has no MQTT, or null when it has it.
    static const char* Unavailable();
    // Why this build's MQTT cannot encrypt (mqtts://, a CA file), or null
    // when it can.
    static const char* TlsUnavailable();

    // Starts connecting (and goes on trying in the background). False, with
    // *error, when the setup cannot be used (a CA file that cannot be read).
    bool Start(const MqttLinkSetup& setup, std::string* error);

    // Queues a message; never waits. A sample's payload gets "late": true
    // when it could not go out at once.
    void Enqueue(const std::string& topic, const nlohmann::json& payload, bool retain, bool sample);
    // The same with a payload that is no JSON object: a word, or empty (a
    // retained empty message removes what the broker keeps on the topic).
    void EnqueueText(const std::string& topic, std::string payload, bool retain);

    // What came on the subscribed topics since the last call (at most 8
    // wait; more are counted as refused, by topic, for TakeRefusedUnread).
    std::vector<MqttInbound> TakeInbound();
    std::vector<MqttRefusedUnread> TakeRefusedUnread();
    // Unsubscribes, and waits up to `wait` until the broker says that no
    // more messages come; false when it did not say so in time.
    bool StopTaking(std::chrono::milliseconds wait);
    // Connection events (connected, lost and why) since the last call.
    std::vector<std::string> TakeNotes();
    MqttLinkCounts Counts() const;

    // Lets what is queued go out for up to `grace`, publishes the closing
    // status, and disconnects. Returns how many messages were left unsent.
    size_t Stop(const std::string& topic, const std::string& payload, std::chrono::milliseconds grace);

    struct State;

private:
    std::unique_ptr<State> state_;
};

#endif  // QDXPOLL_MQTT_LINK_H
