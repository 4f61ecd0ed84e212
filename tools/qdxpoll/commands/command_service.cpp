// service: a line's file run as a Windows service of its own, qdxpoll@NAME
// for NAME.toml, as systemd's unit runs it on Linux: installed to start at
// boot, started, stopped, its file read again, removed. What the service
// says goes to its log file; start, stop and reload show the log's news.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "base/console.h"
#include "base/exit_codes.h"
#include "commands/commands.h"
#include "config/service_setup.h"
#include "platform/platform.h"
#include "platform/service_control.h"
#include "session/session.h"

namespace {

constexpr int kSettleSeconds = 60;  // a start: the module, the port and the outputs; a stop: the last writes

ServiceSetup Describe(const Options& o) {
    ServiceSetup setup;
    std::string why;
    if (!DescribeService(ExecutablePath(), o.config_file, o.db_file, &setup, &why)) throw ToolError(kExitUsage, why);
    return setup;
}

// The log the service was registered with (it may have been installed from
// another file's folder), else the one it would have now.
std::string LogOf(const ServiceSetup& setup) {
    const std::string registered = ServiceLogOf(LineServiceCommand(setup.name));
    return registered.empty() ? setup.log_file : registered;
}

long long LogSize(const std::string& path) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    return file ? static_cast<long long>(file.tellg()) : 0;
}

// The log's whole lines from offset on, the last `last` of them.
std::vector<std::string> LogLines(const std::string& path, long long offset, size_t last) {
    std::ifstream file(path, std::ios::binary);
    std::vector<std::string> lines;
    if (!file || !file.seekg(offset)) return lines;
    for (std::string line; std::getline(file, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (lines.size() > last) lines.erase(lines.begin());
    }
    return lines;
}

// False when the log holds nothing new.
bool ShowLog(const std::string& path, long long offset, size_t last) {
    const std::vector<std::string> lines = LogLines(path, offset, last);
    for (const std::string& line : lines) ErrorLine("  " + line, 6);
    return !lines.empty();
}

int Install(const ServiceSetup& setup, const Options& o) {
    const std::filesystem::path folder = std::filesystem::path(setup.log_file).parent_path();
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error))
        throw ToolError(kExitUsage, "the folder " + folder.string() + " for the service's log and history does not exist",
                        "make it first (mkdir), or name another database in " + setup.config_file);
    InstallLineService(setup.name, "qdxpoll: REX-F line " + o.line_name + " as " + setup.config_file +
                                       " describes it (history, page, MQTT)",
                       setup.command_line);
    ErrorLine("service " + setup.name + " installed: it starts at boot, and 10 s after a failure (3 times in 5 min)");
    ErrorLine("  runs:     " + setup.command_line);
    ErrorLine("  messages: " + setup.log_file);
    ErrorLine("start it now: qdxpoll service start --config " + setup.config_file);
    return kExitOk;
}

int Start(const ServiceSetup& setup) {
    const std::string log = LogOf(setup);
    const long long from = LogSize(log);
    const ServiceState state = StartLineService(setup.name, kSettleSeconds);
    if (state.running) {
        ErrorLine("service " + setup.name + " running (process " + std::to_string(state.process_id) +
                  "); its messages: " + log);
        ShowLog(log, from, 4);
        return kExitOk;
    }
    ErrorLine("service " + setup.name + " stopped as it started, exit code " + std::to_string(state.exit_code) +
                  "; the end of " + log + ":",
              3);
    if (!ShowLog(log, from, 12))
        ErrorLine("  nothing new in it: the service could not write it there (its folder missing, or not writable "
                  "by LocalSystem), or it could not start at all",
                  3);
    return state.exit_code != 0 ? state.exit_code : kExitInternal;
}

int Stop(const ServiceSetup& setup) {
    const std::string log = LogOf(setup);
    const long long from = LogSize(log);
    const ServiceState state = StopLineService(setup.name, kSettleSeconds);
    ErrorLine("service " + setup.name + " stopped, exit code " + std::to_string(state.exit_code));
    ShowLog(log, from, 4);
    return kExitOk;
}

// The file read again: what the service says of it within a few seconds.
int Reload(const ServiceSetup& setup) {
    const std::string log = LogOf(setup);
    const long long from = LogSize(log);
    ReloadLineService(setup.name);
    ErrorLine("service " + setup.name + " asked to read " + setup.config_file + " again");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        for (const std::string& line : LogLines(log, from, 64)) {
            if (line.find("does not load") != std::string::npos) {
                ShowLog(log, from, 12);
                return kExitUsage;
            }
            if (line.find("run: ") != std::string::npos) {
                ShowLog(log, from, 4);
                return kExitOk;
            }
        }
    }
    ErrorLine("  nothing in " + log + " yet: it reads the file between two cycles", 4);
    return kExitOk;
}

int Remove(const ServiceSetup& setup) {
    const std::string log = LogOf(setup);
    RemoveLineService(setup.name);
    ErrorLine("service " + setup.name + " removed; its log " + log + " and the history are kept");
    return kExitOk;
}

}  // namespace

int RunService(Session& session) {
    const Options& o = session.options;
    RequireServiceManager();
    const ServiceSetup setup = Describe(o);
    if (o.service_action == "install") return Install(setup, o);
    if (o.service_action == "start") return Start(setup);
    if (o.service_action == "stop") return Stop(setup);
    if (o.service_action == "reload") return Reload(setup);
    return Remove(setup);
}
