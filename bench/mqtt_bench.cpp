// qdxpoll mqtt measured against mosquitto_sub: latency, CPU, sustained rate.
#include "mqtt_bench.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "bench_support.h"
#include "support/mqtt_broker.h"

namespace qdxbench {
namespace {

// Milliseconds since 1970 of an ISO 8601 time with ms (2026-12-09T06:14:00.876Z).
double IsoMillis(const std::string& text) {
    std::tm t{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &t.tm_year, &t.tm_mon, &t.tm_mday, &t.tm_hour,
                    &t.tm_min, &t.tm_sec, &ms) != 7)
        return NAN;
    t.tm_year -= 1900;
    t.tm_mon -= 1;
    return static_cast<double>(timegm(&t)) * 1e3 + ms;
}

// Lines of the subscriber's output that carry a sample.
std::vector<std::string> SampleLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.find("\"cycle\"") != std::string::npos) lines.push_back(line);
    }
    return lines;
}

// The broker, the simulator and the 20 points every round uses.
class MqttRig {
public:
    MqttRig() {
        std::string error;
        if (!broker_.Start(false, &error)) Fail("mosquitto: " + error);
        path_ = StartSimulator(&sim_, {});
        url_ = "mqtt://127.0.0.1:" + std::to_string(broker_.port());
        for (const char* unit : {"01", "02", "03"})
            for (const char* id : {"M1", "S1", "O1", "O2", "MS", "A1", "A2"})
                if (twenty_.size() < 20) twenty_.push_back(std::string(unit) + "K1" + id);
    }
    ~MqttRig() { sim_.Stop(); }

    const std::vector<std::string>& twenty() const { return twenty_; }

    // A subscriber to the line's topics, started and seen to take messages.
    void Subscribe(support::Background* sub, const std::vector<std::string>& extra) {
        std::vector<std::string> args = broker_.SubscribeArgs("qdxtlmv/line1/+/+/+", extra);
        args.insert(args.end(), {"-t", "qdxbench/ready"});
        if (!sub->Start(args)) Fail("mosquitto_sub did not start");
        if (!support::WaitFor([&] { broker_.Publish("qdxbench/ready", "1"); return sub->out(); },
                              [](const std::string& o) { return o.find("qdxbench/ready") != std::string::npos; },
                              std::chrono::seconds(10)))
            Fail("mosquitto_sub takes no messages");
    }

    // qdxpoll's command line for `command` (poll or mqtt) on the simulator.
    std::vector<std::string> Qdxpoll(const std::string& command, const std::vector<std::string>& points,
                                     const std::vector<std::string>& extra) const {
        std::vector<std::string> args{QDX_QDXPOLL_PATH, "--quiet", "--port", path_, command};
        args.insert(args.end(), points.begin(), points.end());
        args.insert(args.end(), extra.begin(), extra.end());
        if (command == "mqtt") args.insert(args.end(), {"--broker", url_});
        return args;
    }

private:
    support::MqttBroker broker_;
    ChildProcess sim_;
    std::string path_, url_;
    std::vector<std::string> twenty_;
};

// The latency: one point 20 times a second, each sample's time against the
// subscriber's clock when it came.
void MeasureLatency(MqttRig* rig, Report* report) {
    support::Background sub, tool;
    rig->Subscribe(&sub, {"-F", "%U %t %p"});
    tool.Start(rig->Qdxpoll("mqtt", {"01K1M1"}, {"--interval", "0.05", "--count", "100"}));
    tool.Wait(std::chrono::seconds(60));
    support::WaitFor([&] { return sub.out(); }, [](const std::string& o) { return SampleLines(o).size() >= 100; },
                     std::chrono::seconds(10));
    std::vector<double> latencies;
    for (const std::string& line : SampleLines(sub.out())) {
        const size_t at = line.find("\"time\":\"");
        if (at == std::string::npos) continue;
        const double taken = IsoMillis(line.substr(at + 8, 24));
        const double came = std::atof(line.c_str()) * 1e3;
        if (!std::isnan(taken)) latencies.push_back(came - taken);
    }
    if (latencies.empty()) Fail("no sample reached the subscriber");
    std::sort(latencies.begin(), latencies.end());
    (*report)["mqtt_latency_ms"].samples.push_back(latencies[latencies.size() / 2]);
    (*report)["mqtt_latency_p99_ms"].samples.push_back(latencies[latencies.size() * 99 / 100]);
}

// The CPU at 20 points a second, and poll's on the same points.
void MeasureCpu(MqttRig* rig, Report* report) {
    for (const char* command : {"poll", "mqtt"}) {
        support::Background tool;
        const auto start = Clock::now();
        tool.Start(rig->Qdxpoll(command, rig->twenty(), {"--interval", "1", "--count", "10"}));
        double cpu = 0;
        tool.Wait(std::chrono::seconds(60), &cpu);
        const double percent = 100.0 * cpu / Seconds(Clock::now() - start);
        (*report)[std::string(command) == "mqtt" ? "mqtt_cpu_percent_20_per_s" : "poll_cpu_percent_20_per_s"]
            .samples.push_back(percent);
    }
}

// Unpaced: the messages a second that reach the subscriber against poll's
// bare rate on the same 20 points.
void MeasureUnpaced(MqttRig* rig, Report* report) {
    const int cycles = 100;
    const double samples = 20.0 * cycles;
    const std::vector<std::string> unpaced{"--interval", "0", "--count", std::to_string(cycles)};
    support::Background poll_tool;
    auto start = Clock::now();
    poll_tool.Start(rig->Qdxpoll("poll", rig->twenty(), unpaced));
    poll_tool.Wait(std::chrono::seconds(60));
    const double poll_rate = samples / Seconds(Clock::now() - start);
    support::Background sub, tool;
    rig->Subscribe(&sub, {});
    start = Clock::now();
    tool.Start(rig->Qdxpoll("mqtt", rig->twenty(), unpaced));
    support::WaitFor([&] { return sub.out(); }, [&](const std::string& o) { return SampleLines(o).size() >= samples; },
                     std::chrono::seconds(60));
    const double mqtt_rate = static_cast<double>(SampleLines(sub.out()).size()) / Seconds(Clock::now() - start);
    tool.Wait(std::chrono::seconds(30));
    (*report)["poll_unpaced_per_s"].samples.push_back(poll_rate);
    (*report)["mqtt_unpaced_msgs_per_s"].samples.push_back(mqtt_rate);
    (*report)["ratio_mqtt_poll"].samples.push_back(mqtt_rate / poll_rate);
}

}  // namespace

void MeasureMqtt(const Options& opt, Report* report, std::vector<std::string>* notes) {
    if (!support::MqttBroker::Available()) {
        notes->push_back("mosquitto and its clients are not installed: the MQTT figures are not measured");
        return;
    }
    std::fprintf(stderr, "qdxbench: qdxpoll mqtt through mosquitto\n");
    MqttRig rig;
    for (int round = 0; round < std::max(1, opt.mqtt_rounds); ++round) {
        MeasureLatency(&rig, report);
        MeasureCpu(&rig, report);
        MeasureUnpaced(&rig, report);
        if (opt.verbose)
            std::fprintf(stderr, "  mqtt: latency %.1f ms, cpu %.2f %%, %.0f msgs/s\n",
                         (*report)["mqtt_latency_ms"].samples.back(),
                         (*report)["mqtt_cpu_percent_20_per_s"].samples.back(),
                         (*report)["mqtt_unpaced_msgs_per_s"].samples.back());
    }
    notes->push_back("MQTT: qdxpoll mqtt to mosquitto on 127.0.0.1, mosquitto_sub subscribed; latency from the\n"
                     "  sample's time to its arrival at the subscriber (1 point, 20 a second); CPU of qdxpoll over\n"
                     "  10 cycles of 20 points a second, beside poll's; unpaced: 100 cycles of 20 points, the\n"
                     "  samples that reached the subscriber a second, beside poll's bare rate.");
}

}  // namespace qdxbench
