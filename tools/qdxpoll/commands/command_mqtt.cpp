// mqtt: polls as poll does and publishes every sample to an MQTT broker;
// with --allow-writes takes set values back on set topics, for the points
// listed as writable only, each written between two cycles and read back.
#include <algorithm>
#include <deque>
#include <random>
#include <thread>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "config/line_config.h"
#include "mqtt/mqtt_link.h"
#include "mqtt/mqtt_topics.h"
#include "platform/platform.h"
#include "polling/polling.h"
#include "rexf/line_timing.h"
#include "rexf/unit_model.h"
#include "session/driver_log.h"
#include "session/session.h"
#include "session/write_policy.h"

namespace {

// Set values that wait for a gap between cycles, and how long one may wait.
constexpr size_t kWritesWaiting = 8;
constexpr auto kWriteWithdrawn = std::chrono::seconds(30);

struct SetRequest {
    std::string topic, address, value;
    std::chrono::steady_clock::time_point received;
};

std::string DefaultClientId(const std::string& line) {
    std::random_device random;
    return fmt::format("qdxpoll-{}-{:08x}", line, random());
}

class MqttBridge {
public:
    MqttBridge(Session& session, MqttLink& link, TopicNames names, std::vector<std::string> writable)
        : session_(session), link_(link), names_(std::move(names)), writable_(std::move(writable)) {}

    // Between cycles: refuses at once what may not be written, and runs
    // at most one write, so that writes never starve the polling.
    void Wait(std::chrono::steady_clock::time_point until) {
        bool wrote = false;
        while (!Interrupted()) {
            Notes();
            Take();
            if (!wrote && !pending_.empty()) {
                Write(pending_.front());
                pending_.pop_front();
                wrote = true;
            }
            const auto now = std::chrono::steady_clock::now();
            if (now >= until) return;
            std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now,
                                                                                     std::chrono::milliseconds(10)));
        }
    }

    void Notes() {
        for (const std::string& note : link_.TakeNotes()) ErrorLine("mqtt: " + note);
    }

    // Refuses what waits unwritten at the end.
    void Close() {
        Take();
        for (const SetRequest& r : pending_) Refuse(r.topic, r.address, r.value, "ended", "qdxpoll ended before the write");
        pending_.clear();
    }

private:
    void Take() {
        const auto now = std::chrono::steady_clock::now();
        while (!pending_.empty() && now - pending_.front().received > kWriteWithdrawn) {
            const SetRequest& r = pending_.front();
            Refuse(r.topic, r.address, r.value, "withdrawn", "withdrawn unsent after 30 s waiting for the polling");
            pending_.pop_front();
        }
        for (const MqttInbound& m : link_.TakeInbound()) {
            std::string address, value, why;
            if (m.retain) {
                Refuse(m.topic, "", "", "retained",
                       "a retained set message is never written: it would be written again at every start");
            } else if (!ParseSetTopic(names_, m.topic, &address, &why)) {
                Refuse(m.topic, "", "", "bad_topic", why);
            } else if (!ParseSetPayload(m.payload, &value, &why)) {
                Refuse(m.topic, address, "", "bad_payload", why);
            } else if (!session_.options.allow_writes) {
                Refuse(m.topic, address, value, "not_allowed", "writes from MQTT need qdxpoll mqtt --allow-writes");
            } else if (std::find(writable_.begin(), writable_.end(), address) == writable_.end()) {
                Refuse(m.topic, address, value, "not_writable",
                       writable_.empty() ? "no point is listed as writable (--writable)"
                                         : address + " is not listed as writable (--writable)");
            } else if (pending_.size() >= kWritesWaiting) {
                Refuse(m.topic, address, value, "busy",
                       fmt::format("{} writes wait already; try again", kWritesWaiting));
            } else {
                pending_.push_back(SetRequest{m.topic, address, value, now});
            }
        }
    }

    void Write(const SetRequest& r) {
        const ClientWrite c = WriteForClient(session_, r.address, r.value, true);
        if (!c.sent) {
            Refuse(r.topic, r.address, r.value, "bad_value", c.refusal);
            return;
        }
        nlohmann::json j = ReadingJson(c.reading);
        nlohmann::json result;
        result["time"] = j["time"];
        result["address"] = r.address;
        result["value"] = r.value;
        result["ok"] = c.ok;
        result["outcome"] = c.reading.status;
        if (!c.reading.raw.empty()) result["held"] = c.reading.raw;
        if (!c.ok) {
            result["cause"] = c.reading.status;
            if (!c.reading.error.empty()) result["error"] = c.reading.error;
            if (!c.hint.empty()) result["hint"] = c.hint;
        }
        link_.Enqueue(r.topic + "/result", result, false, false);
        session_.reporter.Emit(c.reading, "write from mqtt: ");
    }

    void Refuse(const std::string& topic, const std::string& address, const std::string& value,
                const std::string& cause, const std::string& why) {
        ErrorLine("mqtt: refused the message on " + topic + ": " + why);
        nlohmann::json result;
        result["time"] = IsoTime(WallClock::now());
        if (!address.empty()) result["address"] = address;
        if (!value.empty()) result["value"] = value;
        result["ok"] = false;
        result["outcome"] = "refused";
        result["cause"] = cause;
        result["error"] = why;
        link_.Enqueue(topic + "/result", result, false, false);
    }

    Session& session_;
    MqttLink& link_;
    TopicNames names_;
    std::vector<std::string> writable_;
    std::deque<SetRequest> pending_;
};

nlohmann::json StatusPayload(const char* state, const std::vector<PointStats>& stats, const MqttLinkCounts& c,
                             long samples) {
    nlohmann::json j;
    j["state"] = state;
    j["time"] = IsoTime(WallClock::now());
    j["samples"] = samples;
    j["published"] = c.published;
    j["queued"] = c.queued;
    j["dropped"] = c.dropped;
    j["connections"] = c.connections;
    nlohmann::json points = nlohmann::json::array();
    for (const PointStats& s : stats) points.push_back(StatsJson(s));
    j["points"] = points;
    return j;
}

}  // namespace

void AddMqttOptions(CLI::App* mqtt, Options* o) {
    MqttConfig& m = o->mqtt;
    mqtt->add_option("ADDRESS", o->addresses, "Point addresses (default: the --config file's points)");
    AddTypeOption(mqtt, o);
    AddCycleOptions(mqtt, o);
    mqtt->add_option("--broker", m.broker, "The broker: mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS");
    mqtt->add_option("--prefix", m.prefix, "First topic level(s)")->capture_default_str();
    mqtt->add_option("--line-name", o->line_name, "The line's topic level: PREFIX/LINE/UNIT/CHANNEL/ID")
        ->capture_default_str();
    mqtt->add_option("--client-id", m.client_id, "MQTT client id (default qdxpoll-LINE- and a random number)");
    mqtt->add_option("--username", m.username, "User name at the broker");
    mqtt->add_option("--password", m.password,
                     "Password at the broker (better: the variable QDXPOLL_MQTT_PASSWORD, which no one else sees)");
    mqtt->add_option("--tls-ca", m.tls_ca, "CA certificate file: connect with TLS, the broker checked against it");
    mqtt->add_option("--publish", m.publish, "every: each sample; change: when it changed by more than --deadband")
        ->check(CLI::IsMember({"every", "change"}))
        ->capture_default_str();
    mqtt->add_option("--deadband", m.deadband, "With --publish change: the least change published")
        ->check(CLI::Range(0.0, 1e6));
    mqtt->add_option("--max-interval", m.max_interval_s,
                     "With --publish change: publish each point at least every this many seconds (0: only on change)")
        ->check(CLI::Range(0.0, 1e6));
    mqtt->add_option("--status-interval", o->mqtt_limits.status_interval_s, "Seconds between the line's statistics on PREFIX/LINE/status")
        ->check(CLI::Range(1.0, 86400.0))
        ->capture_default_str();
    mqtt->add_option("--max-queued", o->mqtt_limits.max_queued, "Messages kept while the broker is away (then the oldest go)")
        ->check(CLI::Range(1, 10000000))
        ->capture_default_str();
    mqtt->add_option("--discovery", m.discovery, "Announce the points to Home Assistant (retained config messages)")
        ->check(CLI::IsMember({"homeassistant"}));
    mqtt->add_flag("--allow-writes", o->allow_writes,
                   "Take set values on PREFIX/LINE/UU/C/ID/set for the --writable points (each read back)");
    mqtt->add_option("--writable", o->writable,
                     "The points a set topic may write, e.g. 01K1S1,02K1S1 (default: the --config file's writable "
                     "points)")
        ->delimiter(',');
}

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
    session.OpenPort(session.RequirePort(), rexf::kMaxIntervalTimeMs);
    PointList points = session.ParsePoints(o.addresses, type);

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
    setup.max_queued = o.mqtt_limits.max_queued;
    MqttLink link;
    if (!link.Start(setup, &why)) throw ToolError(kExitUsage, why);

    // The file's unit for a point, else the unit model's.
    std::vector<std::string> units;
    for (const auto& p : points) {
        const ConfigPoint* c = o.ConfigPointOf(p->address);
        units.push_back(c != nullptr ? c->unit : DefaultEngineeringUnit(p->identifier()));
    }
    if (m.discovery == "homeassistant")
        for (size_t i = 0; i < points.size(); ++i) {
            const Point& p = *points[i];
            const bool can_write = o.allow_writes &&
                                   std::find(writable.begin(), writable.end(), p.address) != writable.end();
            DiscoveryMessage d =
                HomeAssistantConfig(names, p.address, p.unit(), p.channel(), p.identifier(), units[i], can_write);
            const ConfigPoint* c = o.ConfigPointOf(p.address);
            if (c != nullptr && !c->name.empty()) d.payload["name"] = c->name;
            link.Enqueue(d.topic, d.payload, true, false);
        }
    ErrorLine(fmt::format("mqtt: publishing {} point{} to {} under {}/UNIT/CHANNEL/ID{}. Ctrl-C ends.", points.size(),
                          points.size() == 1 ? "" : "s", m.broker, names.Line(),
                          o.allow_writes ? "; set values taken on .../ID/set" : ""));

    MqttBridge bridge(session, link, names, writable);
    PublishFilter filter(m.publish == "every", m.deadband, m.max_interval_s);
    long samples = 0;
    auto last_status = std::chrono::steady_clock::now();
    double seconds = 0;
    bool interrupted = false;
    const auto stats = PollLoop(
        session, points, o.count, o.interval_s, &seconds, &interrupted,
        [&bridge](std::chrono::steady_clock::time_point until) { bridge.Wait(until); },
        [&](const std::vector<Reading>& readings, const std::vector<PointStats>& s) {
            const auto now = std::chrono::steady_clock::now();
            for (size_t i = 0; i < readings.size(); ++i) {
                const Reading& r = readings[i];
                if (r.tally == Tally::kSkipped) continue;  // a dead point resting: no sample this cycle
                ++samples;
                if (!filter.Take(r, now)) continue;
                link.Enqueue(names.Point(r.unit, r.channel, r.identifier), SamplePayload(r, units[i], false), true,
                             true);
            }
            if (std::chrono::duration<double>(now - last_status).count() >= o.mqtt_limits.status_interval_s) {
                last_status = now;
                link.Enqueue(names.Status(), StatusPayload("online", s, link.Counts(), samples), true, false);
            }
            bridge.Notes();
        });
    // What waits is let go out for a while, then the line says it is gone.
    bridge.Close();
    const size_t unsent = link.Stop(names.Status(), JsonText(StatusPayload("offline", stats, link.Counts(), samples)),
                                    std::chrono::seconds(5));
    bridge.Notes();
    if (unsent > 0) ErrorLine(fmt::format("mqtt: {} messages could not be handed to the broker before the end", unsent));
    session.driver->Close();
    session.relay.Stop();
    session.reporter.Stats(stats, seconds, interrupted);
    return session.Finish();
}
