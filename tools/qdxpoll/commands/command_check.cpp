// check: a line's file checked whole before it runs, as the service does
// before each start: the file itself, its points, its outputs' settings, the
// port opened and closed, the broker reached. Every problem is named at its
// place in the file; 0 when there is none, else 64.
#include <chrono>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "config/line_file.h"
#include "mqtt/mqtt_link.h"
#include "polling/mqtt_output.h"
#include "polling/polling_command.h"
#include "session/driver_log.h"
#include "session/session.h"

namespace {

// The broker is waited for this long.
constexpr auto kBrokerWait = std::chrono::seconds(5);

struct Problems {
    std::string file;
    std::vector<std::string> lines;
    void Add(int line, int column, const std::string& what) {
        lines.push_back(line > 0 ? fmt::format("{}:{}:{}: {}", file, line, column, what) : file + ": " + what);
    }
};

// Connects as a client of its own, publishes nothing and leaves.
std::string BrokerUnreachable(MqttLinkSetup setup) {
    setup.client_id += "-check";
    setup.online_topic.clear();
    setup.subscriptions.clear();
    MqttLink link;
    std::string why;
    if (!link.Start(setup, &why)) return why;
    // A refusal or an address nobody answers at ends the wait at once.
    const auto until = std::chrono::steady_clock::now() + kBrokerWait;
    std::string notes;
    bool connected = false;
    while (!connected && notes.empty() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        connected = link.Counts().connected;
        for (const std::string& n : link.TakeNotes())
            if (n.rfind("connected", 0) != 0) notes += "; " + n.substr(0, n.find("; polling goes on"));
    }
    link.Stop("", "", std::chrono::milliseconds(0));
    if (connected) return "";
    return notes.empty() ? fmt::format("no connection within {} s", std::chrono::seconds(kBrokerWait).count())
                         : notes.substr(2);
}

void CheckBroker(const Options& o, const LineConfig& file, Problems* problems) {
    try {
        const MqttLinkSetup setup = CheckedMqttSetup(o);
        const std::string why = BrokerUnreachable(setup);
        if (!why.empty())
            problems->Add(file.mqtt.broker_line, file.mqtt.broker_column, "the broker " + o.mqtt.broker + ": " + why);
    } catch (const ToolError& e) {
        problems->Add(file.mqtt.broker_line, file.mqtt.broker_column, e.what());
    }
}

void CheckPort(Session& session, const LineConfig& file, Problems* problems) {
    try {
        session.Load();
        if (session.options.mqtt.given) MqttWritable(session);
        StartPolling(session);
        session.port.Close();
    } catch (const ToolError& e) {
        problems->Add(file.port_line, file.port_column, e.what());
    }
}

}  // namespace

int RunCheck(Session& session) {
    const Options& o = session.options;
    LineConfig file;
    LineConfigError error;
    if (!LoadLineConfig(o.config_file, &file, &error)) throw ToolError(kExitUsage, error.Message());
    Problems problems{o.config_file, {}};
    if (o.port.empty()) problems.Add(0, 0, "no port: port = \"/dev/ttyUSB0\" in [line]");
    else CheckPort(session, file, &problems);
    if (o.mqtt.given) CheckBroker(o, file, &problems);
    for (const std::string& line : problems.lines) ErrorLine(line);
    if (!problems.lines.empty()) return kExitUsage;
    std::string outputs;
    if (!o.db_file.empty()) outputs += " history " + o.db_file + ",";
    if (o.page) outputs += " page,";
    if (o.mqtt.given) outputs += " mqtt " + o.mqtt.broker + ",";
    if (!outputs.empty()) outputs.pop_back();
    ErrorLine(fmt::format("{}: good: port {} opens, {} point{}{}{}", o.config_file, o.port, o.addresses.size(),
                          o.addresses.size() == 1 ? "" : "s", outputs.empty() ? "" : ";", outputs));
    return kExitOk;
}
