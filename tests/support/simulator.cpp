#include "simulator.h"

#ifndef _WIN32

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qdxtest {

namespace {

constexpr const char kListening[] = "rexfsim: listening on ";

}  // namespace

std::string Simulator::ExecutablePath() {
#ifdef QDX_REXFSIM_PATH
    return QDX_REXFSIM_PATH;
#else
    return std::string();
#endif
}

Simulator::~Simulator() {
    Stop();
    if (!stderr_file_.empty()) unlink(stderr_file_.c_str());
}

bool Simulator::Start(const std::vector<std::string>& args, const SimulatorOptions& options,
                      std::string* error) {
    std::string ignored;
    std::string& why = error ? *error : ignored;
    Stop();
    if (!stderr_file_.empty()) unlink(stderr_file_.c_str());
    stderr_file_.clear();
    const std::string exe = ExecutablePath();
    if (exe.empty()) {
        why = "rexfsim is not built";
        return false;
    }
    support::LaunchOptions launch;
    launch.stdin_pipe = !options.close_stdin;
    if (options.capture_stderr) {
        char name[] = "/tmp/rexfsim-stderr-XXXXXX";
        const int fd = mkstemp(name);
        if (fd < 0) {
            why = "mkstemp failed";
            return false;
        }
        close(fd);
        stderr_file_ = name;
        launch.stderr_file = name;
    }
    std::vector<std::string> argv{exe};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child_.Start(argv, kListening, &why, launch)) return false;
    path_ = child_.announced();
    return true;
}

pid_t Simulator::pid() const { return child_.pid(); }

std::string Simulator::Command(const std::string& line, int timeout_ms) {
    return child_.Command(line, timeout_ms);
}

int Simulator::Stop() { return child_.Stop(); }

std::string Simulator::stderr_text() const {
    if (stderr_file_.empty()) return std::string();
    std::ifstream in(stderr_file_);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace qdxtest

#endif  // _WIN32
