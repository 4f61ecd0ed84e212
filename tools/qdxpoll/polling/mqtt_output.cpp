// The broker's connection and the sink that publishes to it.
#include "polling/mqtt_output.h"

#include <algorithm>
#include <cstdlib>
#include <random>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "base/json_text.h"
#include "config/line_file.h"
#include "mqtt/ha_discovery.h"
#include "rexf/unit_model.h"

namespace {

std::string DefaultClientId(const std::string& line) {
    std::random_device random;
    return fmt::format("qdxpoll-{}-{:08x}", line, random());
}

TopicNames NamesOf(const Options& o) { return TopicNames{o.mqtt.prefix, o.line_name}; }

// The points Home Assistant is told of.
std::vector<DiscoveryPoint> Announced(const Options& o, const PointList& points, const std::vector<std::string>& units,
                                      const std::vector<std::string>& writable) {
    std::vector<DiscoveryPoint> announced;
    for (size_t i = 0; i < points.size(); ++i) {
        const Point& p = *points[i];
        DiscoveryPoint d{p.address, p.unit(), p.channel(), p.identifier(), units[i], "", false, std::nullopt};
        d.writable = o.allow_writes && std::find(writable.begin(), writable.end(), p.address) != writable.end();
        if (const ConfigPoint* c = o.ConfigPointOf(p.address)) d.name = c->name;
        announced.push_back(d);
    }
    return announced;
}

}  // namespace

MqttLinkSetup CheckedMqttSetup(const Options& o) {
    if (const char* why = MqttLink::Unavailable()) throw ToolError(kExitUsage, why);
    const MqttConfig& m = o.mqtt;
    MqttLinkSetup setup;
    std::string why;
    if (m.broker.empty())
        throw ToolError(kExitUsage, "mqtt needs a broker: --broker mqtt://HOST:PORT, or broker = \"mqtt://HOST:PORT\" "
                                    "in the [mqtt] table of the --config file");
    if (!ParseBrokerAddress(m.broker, &setup.broker, &why)) throw ToolError(kExitUsage, why);
    if (setup.broker.tls || !m.tls_ca.empty())
        if (const char* no_tls = MqttLink::TlsUnavailable()) {
            const std::string what =
                setup.broker.tls ? m.broker : "the CA file " + m.tls_ca + " (--tls-ca, tls_ca in [mqtt])";
            throw ToolError(kExitUsage, what + ": " + no_tls);
        }
    if (!ValidTopicLevels(m.prefix, &why) || !ValidTopicLevels(o.line_name, &why))
        throw ToolError(kExitUsage, "the topic prefix and the line's name: " + why);
    const TopicNames names = NamesOf(o);
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
    return setup;
}

std::vector<std::string> MqttWritable(Session& session) {
    std::vector<std::string> writable;
    for (const std::string& a : session.options.writable) {
        const auto p = session.ParsePoint(a, session.Type());
        const rexf::IdentifierModel* model = rexf::FindIdentifierModel(p->identifier());
        if (model != nullptr && model->access == rexf::Access::kReadOnly)
            throw ToolError(kExitUsage, "--writable " + p->address + ": " + p->identifier() + " (" + model->meaning +
                                            ") is read-only");
        writable.push_back(p->address);
    }
    return writable;
}

MqttOutput::MqttOutput(Session& session, const PointList& points, const MqttLinkSetup& setup,
                       std::vector<std::string> writable)
    : session_(session), names_(NamesOf(session.options)) {
    const Options& o = session.options;
    std::string why;
    if (!link_.Start(setup, &why)) throw ToolError(kExitUsage, why);
    // The file's unit for a point, else the unit model's.
    std::vector<std::string> units;
    for (const auto& p : points) {
        const ConfigPoint* c = o.ConfigPointOf(p->address);
        units.push_back(c != nullptr ? c->unit : DefaultEngineeringUnit(p->identifier()));
    }
    const bool discovery = o.mqtt.discovery == "homeassistant";
    std::vector<DiscoveryPoint> announced;
    if (discovery) announced = Announced(o, points, units, writable);
    sink_ = std::make_unique<MqttSink>(session, link_, names_, points, std::move(units), std::move(writable));
    announcer_ = std::make_unique<HaAnnouncer>(session, link_, names_, std::move(announced));
    if (discovery) sink_->Announce(announcer_.get());
}

std::string MqttOutput::Note(size_t points) const {
    const Options& o = session_.options;
    return fmt::format("publishing {} point{} to {} under {}/UNIT/CHANNEL/ID{}", points, points == 1 ? "" : "s",
                       o.mqtt.broker, names_.Line(), o.allow_writes ? "; set values taken on .../ID/set" : "");
}
