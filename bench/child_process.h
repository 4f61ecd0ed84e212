// A helper process of the benchmark (the controller simulator, the libmodbus
// server): started with pipes on its stdin and stdout, its first stdout line
// read as its announcement, commands sent one line at a time, and a clean
// stop.
#ifndef QDXBENCH_CHILD_PROCESS_H
#define QDXBENCH_CHILD_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace qdxbench {

class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess() { Stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Starts argv[0] with the other arguments and waits up to 5 s for a first
    // stdout line that begins with `prefix`; the rest of that line is kept as
    // announced(). False, with *error set, when either fails.
    bool Start(const std::vector<std::string>& argv, const std::string& prefix, std::string* error);

    const std::string& announced() const { return announced_; }
    pid_t pid() const { return pid_; }

    // Sends one line on the child's stdin and returns its one-line answer,
    // or "" when none came within timeout_ms.
    std::string Command(const std::string& line, int timeout_ms = 5000);

    // SIGTERM, then waits for the exit (SIGKILL after 5 s).
    void Stop();

private:
    bool ReadLine(std::string* line, int timeout_ms);

    pid_t pid_ = -1;
    int to_child_ = -1;
    int from_child_ = -1;
    std::string buffer_;
    std::string announced_;
};

}  // namespace qdxbench

#endif
