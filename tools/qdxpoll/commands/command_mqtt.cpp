// mqtt: polls as poll does and publishes every sample to an MQTT broker;
// with --allow-writes takes set values back on set topics, for the points
// listed as writable only, each written between two cycles and read back.
#include "commands/commands.h"
#include "polling/mqtt_output.h"
#include "polling/polling_command.h"
#include "session/driver_log.h"
#include "session/session.h"

int RunMqtt(Session& session) {
    // Refused before the port is opened: nothing is polled for a broker that cannot be reached.
    const MqttLinkSetup setup = CheckedMqttSetup(session.options);
    session.Load();
    const std::vector<std::string> writable = MqttWritable(session);
    if (session.options.allow_writes && writable.empty())
        ErrorLine("mqtt: --allow-writes without --writable: every set message is refused");
    PointList points = StartPolling(session);
    MqttOutput mqtt(session, points, setup, writable);
    ErrorLine("mqtt: " + mqtt.Note(points.size()) + ". Ctrl-C ends.");
    MqttSink& sink = mqtt.sink();
    return RunPolling(session, "mqtt", points, {&sink}, [&sink](auto until) { sink.Wait(until); });
}
