// Starts a helper program (the simulator rexfsim, the benchmark's libmodbus
// server) as a child process: pipes on its stdin and stdout, its first
// stdout line read as its announcement (the line it listens on), commands
// sent one line at a time, and a clean stop. Shared by the tests, the host
// tool's demo and the benchmark. Linux only.
#ifndef SUPPORT_CHILD_PROCESS_H
#define SUPPORT_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace support {

struct LaunchOptions {
    bool stdin_pipe = true;         // commands on a pipe; false: stdin closed
    std::string stderr_file;        // non-empty: stderr appends to this file
    bool stderr_to_null = false;    // stderr to /dev/null (unless stderr_file)
    bool own_process_group = false; // a Ctrl-C at the terminal does not reach it
    bool ignore_sigpipe = true;     // a child that died must not end this
                                    // process with SIGPIPE on a command
    int announce_timeout_ms = 5000; // how long Start waits for the first line
};

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the other arguments and waits for a first stdout
    // line that begins with `prefix`; the rest of that line is kept as
    // announced(). The child keeps only its standard descriptors and gets
    // SIGTERM when this process ends. False, with *error set (and the child
    // stopped), when either step fails. A running child is stopped first.
    bool Start(const std::vector<std::string>& argv, const std::string& prefix, std::string* error,
               const LaunchOptions& options = {});

    const std::string& announced() const { return announced_; }
    pid_t pid() const { return pid_; }

    // One line of the child's stdout, without its newline; false on timeout
    // or end of output.
    bool ReadLine(std::string* line, int timeout_ms);

    // Sends one line on the child's stdin and returns its one-line answer,
    // or "" when none came within timeout_ms (or there is no stdin pipe).
    std::string Command(const std::string& line, int timeout_ms = 5000);

    // Closes this side of the child's stdout when nothing more is read from
    // it (the child must then not mind a broken pipe).
    void CloseOutput();

    // Closes its stdin, sends SIGTERM and waits for the exit (SIGKILL after
    // grace_ms). Returns the exit status as waitpid gives it, or -1 if
    // nothing was running.
    int Stop(int grace_ms = 5000);

private:
    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string buffer_;  // stdout read but not yet returned as a line
    std::string announced_;
};

}  // namespace support

#endif  // SUPPORT_CHILD_PROCESS_H
