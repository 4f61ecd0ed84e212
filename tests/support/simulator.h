// Runs the controller simulator rexfsim as a child process for a test: its
// pseudo-terminal path, its stdin commands, and a clean stop.
#ifndef QDXTLMV_TESTS_SUPPORT_SIMULATOR_H
#define QDXTLMV_TESTS_SUPPORT_SIMULATOR_H

#include <sys/types.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include "support/child_process.h"
#endif

namespace qdxtest {

struct SimulatorOptions {
    bool capture_stderr = false;  // stderr to a file, read by stderr_text()
    bool close_stdin = false;     // start it with stdin closed (no commands)
};

class Simulator {
public:
    Simulator() = default;
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // The built rexfsim (empty where there is none, as on Windows).
    static std::string ExecutablePath();
    static bool Available() { return !ExecutablePath().empty(); }

    // Starts rexfsim with `args` and waits (up to 5 s) for its first line,
    // which names the line. Returns false, with *error set, if that fails.
    bool Start(const std::vector<std::string>& args, const SimulatorOptions& options = {},
               std::string* error = nullptr);

    // The line the simulator listens on, e.g. /dev/pts/5.
    const std::string& path() const { return path_; }
    pid_t pid() const;

    // Sends one command line and returns its one-line answer ("ok ...",
    // "error ..."), or "" if none came within timeout_ms.
    std::string Command(const std::string& line, int timeout_ms = 5000);

    // SIGTERM, then waits for the exit (SIGKILL after 5 s). Returns the exit
    // status as waitpid gives it, or -1 if nothing was running.
    int Stop();

    // Everything the simulator wrote to stderr so far (capture_stderr only).
    std::string stderr_text() const;

private:
#ifndef _WIN32
    support::ChildProcess child_;
#endif
    std::string path_;
    std::string stderr_file_;
};

}  // namespace qdxtest

#endif
