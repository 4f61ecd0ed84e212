// Starting and stopping rexfsim on Linux, through the shared launcher.
#include "platform/simulator.h"

namespace {

constexpr const char kListening[] = "rexfsim: listening on ";
constexpr int kStopGraceMs = 2000;

}  // namespace

SimulatorProcess::~SimulatorProcess() { Stop(); }

bool SimulatorProcess::Start(const std::string& program, const std::vector<std::string>& args,
                             bool show_output, std::string* port, std::string* error) {
    support::LaunchOptions options;
    options.stderr_to_null = !show_output;
    // Own process group: a Ctrl-C at the terminal reaches qdxpoll only,
    // which then stops the simulator itself after closing its port.
    options.own_process_group = true;
    // qdxpoll sends no commands; a broken pipe on its own output keeps
    // ending it as usual.
    options.ignore_sigpipe = false;
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child_.Start(argv, kListening, error, options)) {
        *error = "the simulator " + *error;
        return false;
    }
    child_.CloseOutput();  // later output of the simulator is not needed
    *port = child_.announced();
    return true;
}

void SimulatorProcess::Stop() { child_.Stop(kStopGraceMs); }
