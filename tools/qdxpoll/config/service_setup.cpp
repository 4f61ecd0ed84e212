// The Windows service of a line: its name, log and command line.
#include "config/service_setup.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

namespace {

namespace fs = std::filesystem;

const char* const kNameMarker = "--service";
const char* const kLogMarker = "--service-log";

// A path that a quoted command-line argument can carry as it is.
bool Quotable(const std::string& path) {
    return !path.empty() && std::none_of(path.begin(), path.end(), [](char c) {
        return c == '"' || static_cast<unsigned char>(c) < 0x20;
    });
}

bool NameCharacter(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.'; }

std::string Absolute(const std::string& path) {
    std::error_code error;
    const fs::path absolute = fs::absolute(fs::path(path), error);
    return error ? std::string() : absolute.lexically_normal().string();
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

bool DescribeService(const std::string& program, const std::string& config_file, const std::string& database,
                     ServiceSetup* setup, std::string* why) {
    const std::string config = Absolute(config_file);
    const std::string stem = fs::path(config_file).stem().string();
    if (stem.empty() || stem.size() > 64 || !std::all_of(stem.begin(), stem.end(), NameCharacter)) {
        *why = "the file's name '" + stem + "' makes no service name: name it with letters, digits, '-', '_' or "
               "'.' only (at most 64), e.g. line1.toml for the service qdxpoll@line1";
        return false;
    }
    // The service runs in the file's folder: a relative database is there.
    const fs::path folder = fs::path(config).parent_path();
    fs::path history = database.empty() ? fs::path() : fs::path(database);
    if (!history.empty() && history.is_relative()) history = folder / history;
    const fs::path log_folder = history.empty() ? folder : history.parent_path();
    const std::string log = (log_folder / (stem + ".log")).lexically_normal().string();
    for (const std::string* path : {&program, &config, &log}) {
        if (!Quotable(*path)) {
            *why = "the path '" + *path + "' cannot be put on the service's command line";
            return false;
        }
    }
    setup->name = "qdxpoll@" + stem;
    setup->config_file = config;
    setup->log_file = log;
    setup->command_line = Quoted(program) + " run --config " + Quoted(config) + " " + kNameMarker + " " + setup->name +
                          " " + kLogMarker + " " + Quoted(log);
    return true;
}

std::optional<ServiceMarkers> TakeServiceMarkers(const std::vector<std::string>& arguments) {
    if (arguments.empty() || arguments.front() != "run") return std::nullopt;
    ServiceMarkers markers;
    bool found = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        const bool name = word == kNameMarker;
        if (!name && word != kLogMarker) {
            if (word == "--config" && i + 1 < arguments.size())
                markers.folder = fs::path(arguments[i + 1]).parent_path().string();
            markers.arguments.push_back(word);
            continue;
        }
        found = true;
        if (i + 1 < arguments.size() && arguments[i + 1].rfind("--", 0) != 0)
            (name ? markers.name : markers.log_file) = arguments[++i];
    }
    if (!found) return std::nullopt;
    return markers;
}

std::string ServiceLogOf(const std::string& command_line) {
    const std::string marker = std::string(kLogMarker) + " \"";
    const size_t at = command_line.find(marker);
    if (at == std::string::npos) return "";
    const size_t begin = at + marker.size();
    const size_t end = command_line.find('"', begin);
    return end == std::string::npos ? "" : command_line.substr(begin, end - begin);
}
