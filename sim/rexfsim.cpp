// rexfsim: a line of RKC REX-F temperature controllers on a pseudo-terminal,
// a real serial device (Linux) or a TCP port on 127.0.0.1, for trying out
// and testing the QDXTLMV driver.
//
// It answers polling frames with data replies and selecting frames with ACK
// or NAK from a table of points, can damage its answers on purpose (fault
// injection), pace them at a real line's speed, trace every frame, and takes
// commands on stdin so that a test can set, read and break things while it
// runs. Run `rexfsim --help` for the options and commands.
#include "options.h"
#include "platform.h"
#include "simulator.h"

int main(int argc, char** argv) {
    using namespace rexfsim;
    if (!PrepareProcess()) return 0;
    const Options options = ParseOptions(argc, argv);
    Simulator sim(options);
    sim.Setup();
    return sim.Run();
}
