// Builds without libmosquitto (a build without the library for its target,
// or a Windows build without its source): mqtt says why it is missing.
#include "mqtt/mqtt_link.h"

struct MqttLink::State {};

MqttLink::MqttLink() = default;
MqttLink::~MqttLink() = default;

const char* MqttLink::Unavailable() {
#ifdef _WIN32
    return "this qdxpoll.exe is built without mqtt: it publishes through libmosquitto, which its build found no "
           "source of to compile; 'qdxpoll poll --json' gives the same samples for a script to pass on";
#else
    return "this qdxpoll is built without mqtt: it publishes through libmosquitto, which the build found no "
           "library of for its target (Debian: libmosquitto-dev); 'qdxpoll poll --json' gives the same samples";
#endif
}

const char* MqttLink::TlsUnavailable() { return Unavailable(); }

bool MqttLink::Start(const MqttLinkSetup&, std::string* error) {
    *error = Unavailable();
    return false;
}

void MqttLink::Enqueue(const std::string&, const nlohmann::json&, bool, bool) {}
void MqttLink::EnqueueText(const std::string&, std::string, bool) {}
std::vector<MqttInbound> MqttLink::TakeInbound() { return {}; }
std::vector<MqttRefusedUnread> MqttLink::TakeRefusedUnread() { return {}; }
bool MqttLink::StopTaking(std::chrono::milliseconds) { return true; }
std::vector<std::string> MqttLink::TakeNotes() { return {}; }
MqttLinkCounts MqttLink::Counts() const { return {}; }
size_t MqttLink::Stop(const std::string&, const std::string&, std::chrono::milliseconds) { return 0; }
