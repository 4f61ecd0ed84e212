// qdxpoll mqtt end to end: the built tool on the simulator's line, Debian's
// mosquitto on 127.0.0.1, and mosquitto_sub as the plant's subscriber.
#include <signal.h>

#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/mqtt_broker.h"
#include "tests/support/simulator.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

std::string ToolPath() {
#ifdef QDX_QDXPOLL_PATH
    return QDX_QDXPOLL_PATH;
#else
    return std::string();
#endif
}

// "TOPIC PAYLOAD" lines of mosquitto_sub -v, in order.
std::vector<std::pair<std::string, std::string>> Messages(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> messages;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) messages.emplace_back(line.substr(0, space), line.substr(space + 1));
    }
    return messages;
}

std::vector<json> PayloadsOn(const std::string& text, const std::string& topic) {
    std::vector<json> payloads;
    for (const auto& [t, p] : Messages(text))
        if (t == topic) payloads.push_back(json::parse(p, nullptr, false));
    return payloads;
}

// The write results among them.
std::vector<std::pair<std::string, std::string>> Results(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> results;
    for (const auto& m : Messages(text))
        if (m.first.size() > 7 && m.first.compare(m.first.size() - 7, 7, "/result") == 0) results.push_back(m);
    return results;
}

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class QdxpollMqttTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
#ifndef QDX_MQTT
        GTEST_SKIP() << "qdxpoll is built without mqtt here (no libmosquitto-dev for this target)";
#endif
        if (!support::MqttBroker::Available()) GTEST_SKIP() << "mosquitto and its clients are not installed";
        std::string error;
        // qdxpoll is given a link to the line, gone with the simulator: a
        // qdxpoll that lost its line never finds another test's simulator
        // at the pseudo-terminal number handed out again.
        port_ = "/tmp/qdxtest-mqtt-line-" + std::to_string(getpid());
        ASSERT_TRUE(sim_.Start({"--no-drift", "--link", port_}, {}, &error)) << error;
        ASSERT_TRUE(broker_.Start(Persistent(), &error)) << error;
    }
    virtual bool Persistent() const { return false; }

    std::vector<std::string> Mqtt(const std::vector<std::string>& args) const {
        std::vector<std::string> argv{ToolPath(), "--port", port_, "--quiet", "mqtt", "--broker",
                                      "mqtt://127.0.0.1:" + std::to_string(broker_.port())};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    // Starts a subscriber and waits until it takes messages.
    void Subscribe(support::Background* sub, const std::string& filter, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = broker_.SubscribeArgs(filter, extra);
        args.insert(args.end(), {"-t", "qdxtest/ready"});
        ASSERT_TRUE(sub->Start(args));
        ASSERT_TRUE(support::WaitFor(
            [&] {
                broker_.Publish("qdxtest/ready", "1");
                return sub->out();
            },
            [](const std::string& out) { return Has(out, "qdxtest/ready 1"); }, 10s));
    }

    // The line is online once its status says so.
    void WaitOnline() {
        ASSERT_TRUE(support::WaitFor([&] { return broker_.Retained("qdxtlmv/line1/status"); },
                                     [](const std::string& s) { return Has(s, "\"state\":\"online\""); }, 10s));
    }

    qdxtest::Simulator sim_;
    std::string port_;
    support::MqttBroker broker_;
};

TEST_F(QdxpollMqttTest, PublishesSamplesRetainedWithStatusAndWill) {
    support::Background sub;
    Subscribe(&sub, "qdxtlmv/#");
    support::Background tool;
    ASSERT_TRUE(tool.Start(Mqtt({"01K1M1", "01K1O2", "05K1M1", "--count", "3", "--interval", "0.1", "--timeout", "30",
                                 "--status-interval", "1"})));
    EXPECT_EQ(tool.Wait(), 69) << tool.err();  // unit 05 never answers
    ASSERT_TRUE(support::WaitFor([&] { return sub.out(); },
                                 [](const std::string& s) { return Has(s, "\"state\":\"offline\""); }, 10s))
        << sub.out();
    const std::string out = sub.out();
    const std::regex iso(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$)");
    struct Case {
        std::string topic;
        json value;
        std::string raw, unit, outcome, cause;
    } cases[] = {
        {"qdxtlmv/line1/01/1/M1", 24.0, "0024.0", "°C", "ok", ""},
        {"qdxtlmv/line1/01/1/O2", 12.2, "0012.2", "%", "ok", ""},
        {"qdxtlmv/line1/05/1/M1", nullptr, "", "°C", "failed", "silent"},
    };
    for (const Case& c : cases) {
        const auto payloads = PayloadsOn(out, c.topic);
        ASSERT_EQ(payloads.size(), 3u) << c.topic << "\n" << out;
        for (size_t i = 0; i < payloads.size(); ++i) {
            const json& p = payloads[i];
            EXPECT_EQ(p["cycle"], i + 1) << p;
            EXPECT_TRUE(std::regex_match(p["time"].get<std::string>(), iso)) << p;
            EXPECT_EQ(p["outcome"], c.outcome) << p;
            if (c.value.is_null()) EXPECT_TRUE(p["value"].is_null()) << p;
            else EXPECT_NEAR(p["value"].get<double>(), c.value.get<double>(), 0.5) << p;
            EXPECT_EQ(p.value("raw", "").size(), c.raw.empty() ? 0u : 6u) << p;
            EXPECT_EQ(p.value("unit", ""), c.unit) << p;
            EXPECT_EQ(p.value("cause", ""), c.cause) << p;
            EXPECT_EQ(Has(p.value("error", ""), "no answer from unit 05"), !c.cause.empty()) << p;
            EXPECT_FALSE(p.contains("late")) << p;
        }
    }
    // Online first, the statistics once a second, offline at the end.
    const auto status = PayloadsOn(out, "qdxtlmv/line1/status");
    ASSERT_GE(status.size(), 2u) << out;
    EXPECT_EQ(status.front()["state"], "online");
    EXPECT_EQ(status.back()["state"], "offline");
    EXPECT_EQ(status.back()["samples"], 9);
    EXPECT_EQ(status.back()["points"][2]["no_answer"], 3) << status.back();

    // What stays for a subscriber that comes later: each point's last value.
    const std::string retained = broker_.Retained("qdxtlmv/#");
    EXPECT_TRUE(Has(retained, "qdxtlmv/line1/01/1/M1 {\"cycle\":3,")) << retained;
    EXPECT_TRUE(Has(retained, "qdxtlmv/line1/status {") && Has(retained, "\"state\":\"offline\"")) << retained;

    // Killed, qdxpoll leaves its last will.
    support::Background killed;
    ASSERT_TRUE(killed.Start(Mqtt({"01K1M1", "--interval", "0.1"})));
    WaitOnline();
    killed.Signal(SIGKILL);
    killed.Wait();
    EXPECT_TRUE(support::WaitFor([&] { return broker_.Retained("qdxtlmv/line1/status"); },
                                 [](const std::string& s) { return Has(s, "{\"state\":\"offline\"}"); }, 10s));
}

// mqtt through a port lost for good ends as poll does: the line's summary
// names the outage and the measured cycle, and the line still says it is
// offline at the end.
TEST_F(QdxpollMqttTest, ThroughALostPortItEndsWithTheLinesSummary) {
    support::Background tool;
    ASSERT_TRUE(tool.Start(Mqtt({"01K1M1", "--count", "15", "--interval", "0.2"})));
    WaitOnline();
    std::this_thread::sleep_for(500ms);
    sim_.Stop();
    EXPECT_EQ(tool.Wait(), 66) << tool.err();
    const std::string out = tool.out();
    EXPECT_TRUE(Has(out, "  cycle: every 0.2 s configured")) << out;
    // Once, or more where another test's simulator takes the same
    // pseudo-terminal number meanwhile and the port seems back for a while.
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n  port lost \d+ times?, )"))) << out;
    EXPECT_TRUE(Has(out, "samples missing (the port was lost)")) << out;
    EXPECT_TRUE(Has(broker_.Retained("qdxtlmv/line1/status"), "\"state\":\"offline\"")) << tool.err();
}

TEST_F(QdxpollMqttTest, SetTopicsWriteOnlyWhatIsAllowed) {
    // A set value left retained is never written when qdxpoll starts.
    ASSERT_TRUE(broker_.Publish("qdxtlmv/line1/01/1/S1/set", "99", true));
    struct Case {
        bool allow;
        std::string topic, payload;
        std::string outcome, cause;
        std::string unit, s1_after;  // the simulator's S1 of that unit afterwards
        std::string error = "";      // a part of the result's error
    } cases[] = {
        {true, "qdxtlmv/line1/01/1/S1/set", "", "refused", "retained", "1", "ok 0150.0"},
        {true, "qdxtlmv/line1/01/1/S1/set", "1e2", "verified", "", "1", "ok 0100.0"},
        {true, "qdxtlmv/line1/01/1/S1/set", "180.5", "verified", "", "1", "ok 0180.5"},
        {true, "qdxtlmv/line1/01/1/S1/set", "{\"value\": 181}", "verified", "", "1", "ok 0181.0"},
        {true, "qdxtlmv/line1/01/1/S1/set", "{\"value\": 170, \"value\": 175}", "refused", "bad_payload", "1",
         "ok 0181.0", "\"value\" is given twice"},
        {true, "qdxtlmv/line1/01/1/S1/set", std::string(100000, '1'), "refused", "bad_payload", "1", "ok 0181.0",
         "this one has 100000 bytes"},
        {true, "qdxtlmv/line1/01/1/S1/set", "2000", "refused", "refused", "1", "ok 0181.0"},
        {true, "qdxtlmv/line1/02/1/S1/set", "170", "refused", "not_writable", "2", "ok 0150.0"},
        {true, "qdxtlmv/line1/01/1/S1/set", "12abc", "refused", "bad_payload", "1", "ok 0181.0"},
        {true, "qdxtlmv/line1/01/1/1/S1/set", "170", "refused", "bad_topic", "1", "ok 0181.0"},
        {true, "qdxtlmv/line1/01/9/S1/set", "170", "refused", "bad_topic", "1", "ok 0181.0"},
        {false, "qdxtlmv/line1/01/1/S1/set", "170", "refused", "not_allowed", "1", "ok 0181.0"},
    };
    for (bool allow : {true, false}) {
        support::Background sub;
        Subscribe(&sub, "qdxtlmv/line1/+/+/+/set/result", {"-t", "qdxtlmv/line1/+/+/+/+/set/result"});
        // Allowed: the line's file names the broker and the writable point.
        const std::string config = std::string(::testing::TempDir()) + "qdxtest-line.toml";
        std::ofstream(config) << "[line]\nname = \"line1\"\nport = \"" << port_
                              << "\"\ninterval_s = 0.2\n\n[[point]]\naddress = \"01K1M1\"\n\n[[point]]\n"
                                 "address = \"03K1S1\"\nwritable = true\n\n[[point]]\naddress = \"01K1S1\"\n"
                                 "writable = true\n\n[mqtt]\nbroker = \"mqtt://127.0.0.1:"
                              << broker_.port() << "\"\n";
        support::Background tool;
        ASSERT_TRUE(tool.Start(allow ? std::vector<std::string>{ToolPath(), "--quiet", "--config", config, "mqtt",
                                                                "--allow-writes"}
                                     : Mqtt({"01K1M1", "--interval", "0.2", "--writable", "01K1S1"})));
        WaitOnline();
        size_t results = 0;
        int refused = 0;
        for (const Case& c : cases) {
            if (c.allow != allow) continue;
            if (!c.payload.empty()) {
                ASSERT_TRUE(broker_.Publish(c.topic, c.payload));
            }
            ++results;
            ASSERT_TRUE(support::WaitFor([&] { return sub.out(); },
                                         [&](const std::string& s) { return Results(s).size() == results; },
                                         10s))
                << c.topic << " " << c.payload << "\n" << sub.out() << tool.err();
            const auto [topic, payload] = Results(sub.out()).back();
            const json result = json::parse(payload, nullptr, false);
            EXPECT_EQ(topic, c.topic + "/result");
            EXPECT_EQ(result["outcome"], c.outcome) << c.payload << ": " << result;
            EXPECT_EQ(result.value("cause", ""), c.cause) << c.payload << ": " << result;
            EXPECT_EQ(result["ok"], c.cause.empty()) << result;
            EXPECT_TRUE(Has(result.value("error", ""), c.error)) << result;
            EXPECT_EQ(sim_.Command("get " + c.unit + " 1 S1"), c.s1_after) << c.payload;
            refused += !c.cause.empty() && c.cause != "refused";  // the unit refused that one
            EXPECT_EQ(Count(tool.err(), "mqtt: refused the message on "), refused) << tool.err();
        }
        if (allow) {
            ASSERT_TRUE(broker_.Publish("qdxtlmv/line1/01/1/S1/set", "", true));  // the retained one gone
        }
        tool.Signal(SIGINT);
        EXPECT_EQ(tool.Wait(), 0) << tool.err();
    }
}

// Home Assistant's discovery, each payload checked against the conventions
// of MQTT discovery field by field: the kind of entity, its device class and
// unit from the unit model, a state class only for measurements, the
// unit's availability before the line's (both needed), a number's limits
// read from the unit; and every configuration published again when Home
// Assistant says it started and when the broker lost what it retained.
TEST_F(QdxpollMqttTest, HomeAssistantDiscoveryFollowsTheConventions) {
    ASSERT_EQ(sim_.Command("set 1 1 SL 50"), "ok 0050.0");
    ASSERT_EQ(sim_.Command("set 1 1 SH 300"), "ok 0300.0");
    // Announced before as a sensor: the number replaces it, not joins it.
    const std::string node = "qdxtlmv_line1";
    ASSERT_TRUE(broker_.Publish("homeassistant/sensor/" + node + "/01K1S1/config", "{\"name\": \"old\"}", true));
    support::Background tool;
    ASSERT_TRUE(tool.Start(Mqtt({"01K1M1", "01K1S1", "01K1AA", "01K1M2", "01K1I1", "01K1XI", "02K1M1", "--interval",
                                 "0.2", "--discovery", "homeassistant", "--allow-writes", "--writable", "01K1S1"})));
    WaitOnline();
    struct Entity {
        std::string address, component, device_class, unit, state_class;
        double min = 0, max = 0;  // a number's
    } entities[] = {
        {"01K1M1", "sensor", "temperature", "°C", "measurement"},
        {"01K1S1", "number", "temperature", "°C", "", 50.0, 300.0},
        {"01K1AA", "binary_sensor", "problem", "", ""},
        {"01K1M2", "sensor", "current", "A", "measurement"},
        {"01K1I1", "sensor", "duration", "s", "measurement"},
        {"01K1XI", "sensor", "", "", ""},
        {"02K1M1", "sensor", "temperature", "°C", "measurement"},
    };
    auto configs = [&] {
        std::map<std::string, json> out;
        for (const auto& [topic, payload] : Messages(broker_.Retained("homeassistant/#")))
            out[topic] = json::parse(payload, nullptr, false);
        return out;
    };
    ASSERT_TRUE(support::WaitFor([&] { return broker_.Retained("homeassistant/#"); },
                                 [&](const std::string& s) {
                                     return Count(s, "/config ") == 7 && !Has(s, "\"old\"");
                                 }, 10s))
        << broker_.Retained("homeassistant/#");
    const auto announced = configs();
    for (const Entity& e : entities) {
        const std::string topic = "homeassistant/" + e.component + "/" + node + "/" + e.address + "/config";
        ASSERT_EQ(announced.count(topic), 1u) << topic;
        const json& p = announced.at(topic);
        const std::string unit = e.address.substr(0, 2);
        const std::string state = "qdxtlmv/line1/" + unit + "/1/" + e.address.substr(4);
        EXPECT_EQ(p["unique_id"], node + "_" + e.address) << p;
        EXPECT_EQ(p["state_topic"], state) << p;
        EXPECT_EQ(p["value_template"], "{{ value_json.value }}") << p;
        EXPECT_EQ(p["availability_mode"], "all") << p;
        EXPECT_EQ(p["availability"],
                  json::parse("[{\"topic\": \"qdxtlmv/line1/" + unit + "/availability\"}, {\"topic\": "
                              "\"qdxtlmv/line1/status\", \"value_template\": \"{{ value_json.state }}\"}]"))
            << p;
        EXPECT_FALSE(p.contains("availability_topic")) << "availability and availability_topic exclude each other";
        EXPECT_EQ(p["device"]["identifiers"], json::array({node + "_" + unit})) << p;
        EXPECT_EQ(p.value("device_class", ""), e.device_class) << p;
        EXPECT_EQ(p.value("unit_of_measurement", ""), e.unit) << p;
        EXPECT_EQ(p.value("state_class", ""), e.state_class) << p;
        EXPECT_EQ(p.contains("command_topic"), e.component == "number") << p;
        if (e.component == "number") {
            EXPECT_EQ(p["command_topic"], state + "/set") << p;
            EXPECT_EQ(p["min"], e.min) << "the unit's SL, not the input range: " << p;
            EXPECT_EQ(p["max"], e.max) << "the unit's SH, not the input range: " << p;
            EXPECT_EQ(p["step"], 0.1) << p;
        }
        if (e.component == "binary_sensor") {
            EXPECT_EQ(p["payload_on"], "1") << p;
            EXPECT_EQ(p["payload_off"], "0") << p;
        }
    }
    // Each unit's availability: unit 02 offline while it is silent.
    auto availability = [&](const std::string& unit) {
        return broker_.Retained("qdxtlmv/line1/" + unit + "/availability");
    };
    EXPECT_TRUE(support::WaitFor([&] { return availability("01") + "|" + availability("02"); },
                                 [](const std::string& s) {
                                     return Has(s, "/01/availability online") && Has(s, "/02/availability online");
                                 }, 10s));
    ASSERT_EQ(sim_.Command("mute 2 on"), "ok");
    EXPECT_TRUE(support::WaitFor([&] { return availability("02"); },
                                 [](const std::string& s) { return Has(s, " offline"); }, 10s));
    EXPECT_TRUE(Has(availability("01"), " online")) << "unit 01 answers: " << availability("01");
    ASSERT_EQ(sim_.Command("mute 2 off"), "ok");
    EXPECT_TRUE(support::WaitFor([&] { return availability("02"); },
                                 [](const std::string& s) { return Has(s, " online"); }, 10s));

    // Home Assistant started: the limits are read again for it.
    ASSERT_EQ(sim_.Command("set 1 1 SH 400"), "ok 0400.0");
    ASSERT_TRUE(broker_.Publish("homeassistant/status", "online"));
    const std::string number = "homeassistant/number/" + node + "/01K1S1/config";
    EXPECT_TRUE(support::WaitFor([&] { return broker_.Retained(number); },
                                 [](const std::string& s) { return Has(s, "\"max\":400.0"); }, 10s))
        << broker_.Retained(number);

    // A broker started again without its retained messages has them again.
    broker_.Stop();
    std::string error;
    ASSERT_TRUE(broker_.Start(false, &error)) << error;
    EXPECT_TRUE(support::WaitFor([&] { return broker_.Retained("homeassistant/#"); },
                                 [](const std::string& s) { return Count(s, "/config ") == 7; }, 20s))
        << broker_.Retained("homeassistant/#");
    EXPECT_TRUE(support::WaitFor([&] { return availability("01"); },
                                 [](const std::string& s) { return Has(s, " online"); }, 10s));
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(), 69) << "unit 01 has no current transformer (M2)\n" << tool.err();
}

// Every set message gets one result: its own, or, refused unread in a
// flood, a count in one result a second that says so; the counts add up to
// what was sent, as the status and the last lines say. Floods on a point
// that may be written and on one that may not, after one another and at once.
TEST_F(QdxpollMqttTest, EverySetMessageOfAFloodIsAnswered) {
    support::Background sub;
    Subscribe(&sub, "qdxtlmv/line1/+/+/+/set/result");
    support::Background tool;
    ASSERT_TRUE(tool.Start(Mqtt({"01K1M1", "--interval", "0.2", "--allow-writes", "--writable", "01K1S1",
                                 "--status-interval", "1"})));
    WaitOnline();
    const std::string pub = "mosquitto_pub -h 127.0.0.1 -p " + std::to_string(broker_.port()) + " -l -t ";
    struct Flood {
        const char* what;
        std::string command;  // the messages, one a line, to mosquitto_pub -l
        long messages;
    } floods[] = {
        {"30 at once on the set value", "seq 1 30 | " + pub + "qdxtlmv/line1/01/1/S1/set", 30},
        {"2000 at QoS 1 on a point that may not be written",
         "seq 1 2000 | " + pub + "qdxtlmv/line1/01/1/M1/set -q 1", 2000},
        {"two topics at once",
         "seq 1 1000 | " + pub + "qdxtlmv/line1/01/1/S1/set & seq 1 1000 | " + pub + "qdxtlmv/line1/01/1/M1/set; wait",
         2000},
    };
    long sent = 0;
    for (const Flood& f : floods) {
        support::Background flood;
        ASSERT_TRUE(flood.Start({"/bin/sh", "-c", f.command}));
        EXPECT_EQ(flood.Wait(), 0) << f.what << ": " << flood.err();
        sent += f.messages;
        // Each result answers one message, or "count" of them.
        long answered = 0, counted = 0;
        ASSERT_TRUE(support::WaitFor(
            [&] { return sub.out(); },
            [&](const std::string& s) {
                answered = counted = 0;
                for (const auto& [topic, payload] : Results(s)) {
                    const json r = json::parse(payload, nullptr, false);
                    answered += r.value("count", 1L);
                    if (r.contains("count")) {
                        counted += r["count"].get<long>();
                        if (!Has(r.value("error", ""), "a flood") || r.value("cause", "") != "busy") return false;
                    }
                }
                return answered >= sent;
            },
            90s))
            << f.what << ": " << answered << " of " << sent << " answered\n" << tool.err();
        EXPECT_EQ(answered, sent) << f.what;
        EXPECT_GT(counted, 0) << f.what << ": no flood counted";
    }
    ASSERT_TRUE(support::WaitFor([&] { return broker_.Retained("qdxtlmv/line1/status"); },
                                 [&](const std::string& s) {
                                     return Has(s, "\"set_received\":" + std::to_string(sent) + ",") &&
                                            Has(s, "\"set_answered\":" + std::to_string(sent) + ",");
                                 },
                                 10s))
        << broker_.Retained("qdxtlmv/line1/status");
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(), 0) << tool.err();
    EXPECT_TRUE(Has(tool.err(), std::to_string(sent) + " set messages received, " + std::to_string(sent) +
                                    " answered on .../set/result"))
        << tool.err();
}

class QdxpollMqttRestartTest : public QdxpollMqttTest {
protected:
    bool Persistent() const override { return true; }
};

// The broker is not there at the start and goes away mid-run: every sample
// polled reaches a subscriber with a persistent session, in order, those
// that waited marked late.
TEST_F(QdxpollMqttRestartTest, BrokerRestartLosesNoSample) {
    support::Background sub;
    Subscribe(&sub, "qdxtlmv/line1/+/+/+", {"-c", "-i", "qdxtest-restart", "-R"});
    // Not there when qdxpoll starts, then gone again for a while.
    broker_.Stop();
    support::Background tool;
    ASSERT_TRUE(tool.Start(Mqtt({"--json", "01K1M1", "01K1S1", "--interval", "0.05", "--count", "200"})));
    std::string error;
    for (int restart = 0; restart < 2; ++restart) {
        std::this_thread::sleep_for(restart == 0 ? 1500ms : 2s);
        ASSERT_TRUE(broker_.Start(true, &error)) << error;
        WaitOnline();
        if (restart == 0) {
            std::this_thread::sleep_for(500ms);
            broker_.Stop();
        }
    }
    EXPECT_EQ(tool.Wait(), 0) << tool.err();
    int polled = 0;
    std::istringstream lines(tool.out());
    for (std::string line; std::getline(lines, line);) polled += Has(line, "\"action\":\"read\"");
    ASSERT_EQ(polled, 400) << tool.out();
    // Each sample once (QoS 1 may bring one twice), in the order taken.
    std::map<std::string, std::set<long>> seen;
    int late = 0;
    bool in_order = true;
    std::string disorder;
    ASSERT_TRUE(support::WaitFor(
        [&] { return sub.out(); },
        [&](const std::string& s) {
            seen.clear();
            late = 0;
            in_order = true;
            disorder.clear();
            std::map<std::string, long> last;
            for (const auto& [topic, payload] : Messages(s)) {
                const json p = json::parse(payload, nullptr, false);
                if (!p.is_object() || !p.contains("cycle")) continue;
                const long cycle = p["cycle"];
                if (seen[topic].insert(cycle).second) {
                    if (cycle < last[topic] && disorder.size() < 2000)
                        disorder += topic + ": cycle " + std::to_string(cycle) + " after " +
                                    std::to_string(last[topic]) + (p.value("late", false) ? " (late)\n" : "\n");
                    in_order &= cycle > last[topic];
                    last[topic] = cycle;
                    late += p.value("late", false);
                }
            }
            size_t n = 0;
            for (const auto& [topic, cycles] : seen) n += cycles.size();
            return static_cast<int>(n) == polled;
        },
        20s))
        << "received " << seen["qdxtlmv/line1/01/1/M1"].size() << " + " << seen["qdxtlmv/line1/01/1/S1"].size()
        << " of " << polled << "\n" << tool.err();
    EXPECT_TRUE(in_order) << disorder;
    EXPECT_GT(late, 0);
    EXPECT_TRUE(Has(tool.err(), "is not there (Connection refused)")) << tool.err();
    EXPECT_TRUE(Has(tool.err(), "lost the broker")) << tool.err();
    EXPECT_TRUE(Has(tool.err(), "connected to the broker again")) << tool.err();
}

}  // namespace
