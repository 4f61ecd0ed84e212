// Debian's mosquitto for the tests and the benchmark: a broker on 127.0.0.1
// at a free port, from a configuration of its own in a temporary folder
// (with persistence there when asked), stopped and started again at the
// same port; and any program run beside it (qdxpoll, mosquitto_sub) with its
// output in files. Linux only.
#ifndef SUPPORT_MQTT_BROKER_H
#define SUPPORT_MQTT_BROKER_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace support {

// A program running in the background, stdout and stderr each to a file.
class Background {
public:
    Background() = default;
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    bool Start(const std::vector<std::string>& argv);
    pid_t pid() const { return pid_; }
    std::string out() const;
    std::string err() const;
    void Signal(int signal) const;
    // Waits for the exit; the exit code, or -1 (killed by a signal, or still
    // running after `wait`, when it is killed). *cpu_seconds: the CPU time
    // it used, user and system.
    int Wait(std::chrono::milliseconds wait = std::chrono::seconds(30), double* cpu_seconds = nullptr);

private:
    pid_t pid_ = -1;
    std::string out_file_, err_file_;
};

class MqttBroker {
public:
    MqttBroker();
    ~MqttBroker();

    // mosquitto, mosquitto_sub and mosquitto_pub are installed.
    static bool Available();

    // Starts the broker (again, at the same port after Stop) and waits until
    // it takes connections.
    bool Start(bool persistence, std::string* error);
    void Stop();
    int port() const { return port_; }

    // mosquitto_sub on the topic filter, every message as "TOPIC PAYLOAD";
    // extra arguments add to the defaults (-v -q 1).
    std::vector<std::string> SubscribeArgs(const std::string& filter, const std::vector<std::string>& extra = {}) const;
    // One message, sent with mosquitto_pub; true when it went out.
    bool Publish(const std::string& topic, const std::string& payload, bool retain = false) const;
    // The retained messages under the filter now ("TOPIC PAYLOAD" lines).
    std::string Retained(const std::string& filter) const;

private:
    std::string dir_;
    int port_ = 0;
    Background broker_;
};

// Waits until `done` holds for the text that `read` gives; false after `wait`.
bool WaitFor(const std::function<std::string()>& read, const std::function<bool(const std::string&)>& done,
             std::chrono::milliseconds wait);

}  // namespace support

#endif
