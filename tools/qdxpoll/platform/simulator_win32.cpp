// The simulator on Windows: not there; the user names the port it is
// reached on instead.
#include "platform/simulator.h"

SimulatorProcess::~SimulatorProcess() = default;
bool SimulatorProcess::Start(const std::string&, const std::vector<std::string>&, bool, std::string*,
                             std::string* error) {
    *error = "the simulator runs on Linux only; give the port it is reached on with --port (e.g. COM5)";
    return false;
}
void SimulatorProcess::Stop() {}
