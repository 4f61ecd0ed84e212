// The simulator rexfsim as a child process, for the demo when no port is
// given: on Linux on a pseudo-terminal (through the shared launcher), on
// Windows on a TCP port of 127.0.0.1 (there are no pseudo-terminals), which
// the relay reaches as it reaches a device server.
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

    // Starts the program and waits for the line naming the port it serves.
    // On success *port is that port: a path, or tcp:127.0.0.1:PORT.
    // show_output keeps its standard error.
    bool Start(const std::string& program, const std::vector<std::string>& args, bool show_output,
               std::string* port, std::string* error);
    void Stop();

private:
#ifndef _WIN32
    support::ChildProcess child_;  // its stdin held open while it runs
#else
    void* job_ = nullptr;       // ends the simulator with this process, however it ends
    void* process_ = nullptr;
    void* to_child_ = nullptr;  // its stdin: "quit" ends it
#endif
};

#endif  // QDXPOLL_SIMULATOR_H
