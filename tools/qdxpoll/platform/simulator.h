// The simulator rexfsim as a child process on a pseudo-terminal, for the
// demo when no port is given. Linux only; elsewhere Start says why not.
#ifndef QDXPOLL_SIMULATOR_H
#define QDXPOLL_SIMULATOR_H

#include <string>
#include <vector>

#ifndef _WIN32
#include "support/child_process.h"
#endif

class SimulatorProcess {
public:
    SimulatorProcess() = default;
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Starts the program and waits for the line naming its pseudo-terminal.
    // On success *port is that path. show_output keeps its standard error.
    bool Start(const std::string& program, const std::vector<std::string>& args, bool show_output,
               std::string* port, std::string* error);
    void Stop();

private:
#ifndef _WIN32
    support::ChildProcess child_;  // its stdin held open while it runs
#endif
};

#endif  // QDXPOLL_SIMULATOR_H
