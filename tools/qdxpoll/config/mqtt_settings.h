// What `qdxpoll mqtt` takes beyond the [mqtt] table of a line file
// (MqttConfig): how often the line's statistics go out, and the bound of
// what waits for the broker.
#ifndef QDXPOLL_MQTT_SETTINGS_H
#define QDXPOLL_MQTT_SETTINGS_H

#include <cstddef>

struct MqttLimits {
    double status_interval_s = 60.0;
    size_t max_queued = 100000;  // messages kept while the broker is away
};

#endif  // QDXPOLL_MQTT_SETTINGS_H
