// What `qdxpoll mqtt` is told: the broker, the names of its topics, when a
// sample is published, what may be written from the broker, and the bound
// of what waits for the broker.
#ifndef QDXPOLL_MQTT_SETTINGS_H
#define QDXPOLL_MQTT_SETTINGS_H

#include <cstddef>
#include <string>
#include <vector>

struct MqttSettings {
    std::string broker;            // mqtt://HOST:PORT or mqtts://HOST:PORT
    std::string prefix = "qdxtlmv";
    std::string line_name = "line1";
    std::string client_id;         // "" : qdxtlmv-LINE
    std::string username;
    std::string password;          // "" : QDXPOLL_MQTT_PASSWORD, when set
    std::string tls_ca;            // a CA certificate file: TLS
    std::string publish = "every"; // every | change
    double deadband = 0.0;         // publish = change: the least change published
    double max_interval_s = 0.0;   // publish = change: at least this often (0: only on change)
    std::string discovery;         // "" | homeassistant
    std::vector<std::string> writable;  // the points a set topic may write
    double status_interval_s = 60.0;
    size_t max_queued = 100000;    // samples kept while the broker is away
};

#endif  // QDXPOLL_MQTT_SETTINGS_H
