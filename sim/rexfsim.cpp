// rexfsim: a line of RKC REX-F temperature controllers on a pseudo-terminal
// (or a real serial device), for trying out and testing the QDXTLMV driver.
//
// It answers polling frames with data replies and selecting frames with ACK
// or NAK from a table of points, can damage its answers on purpose (fault
// injection), pace them at a real line's speed, trace every frame, and takes
// commands on stdin so that a test can set, read and break things while it
// runs. Run `rexfsim --help` for the options and commands.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include "options.h"
#include "simulator.h"

namespace {

void OnSignal(int sig) {
    if (sig == SIGUSR1)
        rexfsim::g_print_stats = 1;
    else
        rexfsim::g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace rexfsim;
    // A closed standard descriptor gets /dev/null, so that the line's
    // descriptor is never taken for stdin; a closed stdin then just gives no
    // commands.
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            const int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
            if (null_fd >= 0 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            }
        }
    }
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) return 0;  // the parent is gone already

    struct sigaction sa{};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    sigaction(SIGUSR1, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const Options options = ParseOptions(argc, argv);
    Simulator sim(options);
    sim.Setup();
    return sim.Run();
}
