// A line run as a Windows service: the service's name and log file, drawn
// from the line's file as systemd's unit draws its instance (line1.toml is
// qdxpoll@line1), and the command line the service control manager starts,
// which carries the two for the process it starts.
#ifndef QDXPOLL_SERVICE_SETUP_H
#define QDXPOLL_SERVICE_SETUP_H

#include <optional>
#include <string>
#include <vector>

struct ServiceSetup {
    std::string name;          // qdxpoll@line1
    std::string config_file;   // absolute
    std::string log_file;      // absolute: beside the history, or beside the file without one
    std::string command_line;  // "PROGRAM" run --config "FILE" --service NAME --service-log "LOG"
};

// From the program's absolute path, the line's file as given and its
// history's database as the file names it ("" none; relative to the file's
// folder, where the service runs). False, with *why, when a path cannot be
// put on a command line or the file's name makes no service name.
bool DescribeService(const std::string& program, const std::string& config_file, const std::string& database,
                     ServiceSetup* setup, std::string* why);

// What the service control manager's process finds on its command line: the
// service it runs and its log, and the arguments without them for run.
struct ServiceMarkers {
    std::string name;
    std::string log_file;
    std::string folder;  // the --config file's, where the service runs
    std::vector<std::string> arguments;
};
// The markers of a 'run' command line (the arguments after the program's
// name); none when it has no --service. A --service without its name or its
// log comes back with the empty one, for the caller to refuse.
std::optional<ServiceMarkers> TakeServiceMarkers(const std::vector<std::string>& arguments);

// The log file a command line registered with DescribeService names; "" none.
std::string ServiceLogOf(const std::string& command_line);

#endif  // QDXPOLL_SERVICE_SETUP_H
