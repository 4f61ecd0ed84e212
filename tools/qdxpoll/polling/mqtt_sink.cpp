// Every cycle to the broker, and the set values from it.
#include "polling/mqtt_sink.h"

#include <algorithm>
#include <thread>

#include <fmt/format.h>

#include "base/json_text.h"
#include "platform/platform.h"
#include "session/driver_log.h"
#include "session/write_policy.h"

namespace {

nlohmann::json StatusPayload(const char* state, const std::vector<PointStats>& stats, const MqttLinkCounts& c,
                             long samples, long answered) {
    nlohmann::json j;
    j["state"] = state;
    j["time"] = IsoTime(WallClock::now());
    j["samples"] = samples;
    j["published"] = c.published;
    j["queued"] = c.queued;
    j["dropped"] = c.dropped;
    j["connections"] = c.connections;
    j["set_received"] = c.inbound;
    j["set_answered"] = answered;
    nlohmann::json points = nlohmann::json::array();
    for (const PointStats& s : stats) points.push_back(StatsJson(s));
    j["points"] = points;
    return j;
}

}  // namespace

MqttSink::MqttSink(Session& session, MqttLink& link, TopicNames names, const PointList& points,
                   std::vector<std::string> units, std::vector<std::string> writable)
    : session_(session),
      link_(link),
      names_(std::move(names)),
      units_(std::move(units)),
      writable_(std::move(writable)),
      filter_(session.options.mqtt.publish == "every", session.options.mqtt.deadband,
              session.options.mqtt.max_interval_s),
      last_status_(std::chrono::steady_clock::now()),
      last_floods_(last_status_),
      stats_(points.size()) {
    for (size_t i = 0; i < points.size(); ++i) stats_[i].address = points[i]->address;
}

void MqttSink::Wait(std::chrono::steady_clock::time_point until, bool* shared) {
    bool own = false;
    bool& wrote = shared != nullptr ? *shared : own;
    while (!Interrupted()) {
        Notes();
        Take();
        if (announcer_ != nullptr) announcer_->Between();
        AnswerFloods(false);
        if (!wrote) {
            if (const auto next = pending_.TakeNext()) {
                Write(*next);
                wrote = true;
            }
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= until) return;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(until - now,
                                                                                 std::chrono::milliseconds(10)));
    }
}

void MqttSink::Cycle(const std::vector<Reading>& readings, const std::vector<PointStats>& stats) {
    stats_ = stats;
    const auto now = std::chrono::steady_clock::now();
    for (size_t i = 0; i < readings.size(); ++i) {
        const Reading& r = readings[i];
        if (r.summary_class == SummaryClass::kSkipped) continue;  // a dead point resting: no sample this cycle
        ++samples_;
        if (!filter_.Take(r, now)) continue;
        link_.Enqueue(names_.Point(r.unit, r.channel, r.identifier), SamplePayload(r, units_[i], false), true, true);
    }
    if (std::chrono::duration<double>(now - last_status_).count() >= session_.options.mqtt_limits.status_interval_s) {
        last_status_ = now;
        link_.Enqueue(names_.Status(), StatusPayload("online", stats, link_.Counts(), samples_, answered_), true, false);
    }
    if (announcer_ != nullptr) announcer_->Cycle(readings);
    Notes();
}

// What waits unwritten is refused; what waits unsent is let go out for a
// while, then the line says it is gone.
void MqttSink::End() {
    // No set message comes after these are answered.
    const bool left = link_.StopTaking(std::chrono::seconds(2));
    Take();
    AnswerFloods(true);
    for (const SetRequest& r : pending_.TakeAll())
        Refuse(r.topic, r.address, r.value, "ended", "qdxpoll ended before the write");
    const MqttLinkCounts counts = link_.Counts();
    const size_t unsent = link_.Stop(names_.Status(), JsonText(StatusPayload("offline", stats_, counts, samples_, answered_)),
                                     std::chrono::seconds(5));
    Notes();
    if (!left)
        ErrorLine("mqtt: the broker did not confirm that the set topics were left: a set message sent at the very "
                  "end may have had no result");
    if (counts.inbound > 0)
        ErrorLine(fmt::format("mqtt: {} set message{} received, {} answered on .../set/result{}", counts.inbound,
                              counts.inbound == 1 ? "" : "s", answered_,
                              counts.inbound_refused > 0
                                  ? fmt::format(" ({} refused unread in floods, counted in one result a second)",
                                                counts.inbound_refused)
                                  : ""));
    if (unsent > 0) ErrorLine(fmt::format("mqtt: {} messages could not be handed to the broker before the end", unsent));
}

void MqttSink::Notes() {
    for (const std::string& note : link_.TakeNotes()) ErrorLine("mqtt: " + note);
}

void MqttSink::Take() {
    const auto now = std::chrono::steady_clock::now();
    pending_.WithdrawStale(
        [this](const SetRequest& r) {
            Refuse(r.topic, r.address, r.value, "withdrawn",
                   fmt::format("withdrawn unsent after {} s waiting for the polling",
                               std::chrono::seconds(write_limits::kWithdrawnAfter).count()));
        },
        now);
    for (const MqttInbound& m : link_.TakeInbound()) {
        std::string address, value, why;
        if (m.topic == kHomeAssistantStatus) {
            if (announcer_ != nullptr) announcer_->HomeAssistantStatus(m.payload);
        } else if (m.retain) {
            Refuse(m.topic, "", "", "retained",
                   "a retained set message is never written: it would be written again at every start");
        } else if (!ParseSetTopic(names_, m.topic, &address, &why)) {
            Refuse(m.topic, "", "", "bad_topic", why);
        } else if (!ParseSetPayload(m.payload, m.size, &value, &why)) {
            Refuse(m.topic, address, "", "bad_payload", why);
        } else if (!session_.options.allow_writes) {
            Refuse(m.topic, address, value, "not_allowed", "writes from MQTT need qdxpoll mqtt --allow-writes");
        } else if (std::find(writable_.begin(), writable_.end(), address) == writable_.end()) {
            Refuse(m.topic, address, value, "not_writable",
                   writable_.empty() ? "no point is listed as writable (--writable)"
                                     : address + " is not listed as writable (--writable)");
        } else if (!pending_.Offer(SetRequest{m.topic, address, value}, now)) {
            Refuse(m.topic, address, value, "busy",
                   fmt::format("{} writes wait already; try again", write_limits::kMaxWaiting));
        }
    }
}

void MqttSink::AnswerFloods(bool now) {
    const auto at = std::chrono::steady_clock::now();
    if (!now && at - last_floods_ < std::chrono::seconds(1)) return;
    last_floods_ = at;
    long all = 0;
    const std::vector<MqttRefusedUnread> floods = link_.TakeRefusedUnread();
    for (const MqttRefusedUnread& f : floods) {
        nlohmann::json result;
        result["time"] = IsoTime(WallClock::now());
        result["ok"] = false;
        result["outcome"] = "refused";
        result["cause"] = "busy";
        result["count"] = f.count;
        result["error"] = fmt::format("{} set message{} {}refused unread since the last such result: they came "
                                      "faster than they are taken (a flood); none was written",
                                      f.count, f.count == 1 ? "" : "s",
                                      f.topic.empty() ? "on other set topics " : "");
        Answer(f.topic.empty() ? names_.Line() + "/set" : f.topic, result, f.count);
        all += f.count;
    }
    if (all > 0)
        ErrorLine(fmt::format("mqtt: refused {} set message{} unread in a flood, counted in one result a topic", all,
                              all == 1 ? "" : "s"));
}

void MqttSink::Answer(const std::string& topic, const nlohmann::json& result, long messages) {
    link_.Enqueue(topic + "/result", result, false, false);
    answered_ += messages;
}

void MqttSink::Write(const SetRequest& r) {
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
    Answer(r.topic, result);
    session_.reporter.Emit(c.reading, "write from mqtt: ");
}

void MqttSink::Refuse(const std::string& topic, const std::string& address, const std::string& value,
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
    Answer(topic, result);
}
