// mqtt: polls as poll does and publishes every sample to an MQTT broker;
// with --allow-writes takes set values back on set topics, for the points
// listed as writable only, each written between two cycles and read back.
#include <algorithm>
#include <random>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "config/line_file.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/ha_discovery.h"
#include "mqtt/mqtt_topics.h"
#include "polling/mqtt_sink.h"
#include "polling/polling_command.h"
#include "rexf/unit_model.h"
#include "session/driver_log.h"
#include "session/session.h"

namespace {

std::string DefaultClientId(const std::string& line) {
    std::random_device random;
    return fmt::format("qdxpoll-{}-{:08x}", line, random());
}

}  // namespace

int RunMqtt(Session& session) {
    if (const char* why = MqttLink::Unavailable()) throw ToolError(kExitUsage, why);
    const Options& o = session.options;
    const MqttConfig& m = o.mqtt;
    MqttLinkSetup setup;
    std::string why;
    if (m.broker.empty())
        throw ToolError(kExitUsage, "mqtt needs a broker: --broker mqtt://HOST:PORT, or broker = \"mqtt://HOST:PORT\" "
                                    "in the [mqtt] table of the --config file");
    if (!ParseBrokerAddress(m.broker, &setup.broker, &why)) throw ToolError(kExitUsage, why);
    // Refused before the port is opened: nothing is polled for a broker that cannot be reached.
    if (setup.broker.tls || !m.tls_ca.empty())
        if (const char* no_tls = MqttLink::TlsUnavailable()) {
            const std::string what =
                setup.broker.tls ? m.broker : "the CA file " + m.tls_ca + " (--tls-ca, tls_ca in [mqtt])";
            throw ToolError(kExitUsage, what + ": " + no_tls);
        }
    if (!ValidTopicLevels(m.prefix, &why) || !ValidTopicLevels(o.line_name, &why))
        throw ToolError(kExitUsage, "the topic prefix and the line's name: " + why);
    const TopicNames names{m.prefix, o.line_name};

    session.Load();
    const uint32_t type = session.Type();
    std::vector<std::string> writable;
    for (const std::string& a : o.writable) {
        const auto p = session.ParsePoint(a, type);
        const rexf::IdentifierModel* model = rexf::FindIdentifierModel(p->identifier());
        if (model != nullptr && model->access == rexf::Access::kReadOnly)
            throw ToolError(kExitUsage, "--writable " + p->address + ": " + p->identifier() + " (" + model->meaning +
                                            ") is read-only");
        writable.push_back(p->address);
    }
    if (o.allow_writes && writable.empty())
        ErrorLine("mqtt: --allow-writes without --writable: every set message is refused");
    PointList points = StartPolling(session);

    setup.client_id = m.client_id.empty() ? DefaultClientId(o.line_name) : m.client_id;
    setup.username = m.username;
    setup.password = m.password;
    if (setup.password.empty())
        if (const char* env = std::getenv("QDXPOLL_MQTT_PASSWORD")) setup.password = env;
    setup.tls_ca = m.tls_ca;
    setup.will_topic = setup.online_topic = names.Status();
    setup.will_payload = JsonText({{"state", "offline"}});
    setup.online_payload = JsonText({{"state", "online"}, {"time", IsoTime(WallClock::now())}});
    setup.subscriptions = names.SetFilters();
    if (m.discovery == "homeassistant") setup.subscriptions.push_back(kHomeAssistantStatus);
    setup.max_queued = o.mqtt_limits.max_queued;
    MqttLink link;
    if (!link.Start(setup, &why)) throw ToolError(kExitUsage, why);

    // The file's unit for a point, else the unit model's.
    std::vector<std::string> units;
    for (const auto& p : points) {
        const ConfigPoint* c = o.ConfigPointOf(p->address);
        units.push_back(c != nullptr ? c->unit : DefaultEngineeringUnit(p->identifier()));
    }
    std::vector<DiscoveryPoint> announced;
    if (m.discovery == "homeassistant")
        for (size_t i = 0; i < points.size(); ++i) {
            const Point& p = *points[i];
            DiscoveryPoint d{p.address, p.unit(), p.channel(), p.identifier(), units[i], "", false, std::nullopt};
            d.writable = o.allow_writes && std::find(writable.begin(), writable.end(), p.address) != writable.end();
            if (const ConfigPoint* c = o.ConfigPointOf(p.address)) d.name = c->name;
            announced.push_back(d);
        }
    ErrorLine(fmt::format("mqtt: publishing {} point{} to {} under {}/UNIT/CHANNEL/ID{}. Ctrl-C ends.", points.size(),
                          points.size() == 1 ? "" : "s", m.broker, names.Line(),
                          o.allow_writes ? "; set values taken on .../ID/set" : ""));

    MqttSink sink(session, link, names, points, units, writable);
    HaAnnouncer announcer(session, link, names, std::move(announced));
    if (m.discovery == "homeassistant") sink.Announce(&announcer);
    return RunPolling(session, "mqtt", points, {&sink}, [&sink](auto until) { sink.Wait(until); });
}
