// qdxbench-modbus-server: a libmodbus RTU server (slave 1, 16 holding
// registers) on the master end of a fresh pseudo-terminal, the peer that
// qdxbench measures libmodbus against. It plays the role rexfsim plays for
// the module: it prints 'qdxbench-modbus-server: listening on PATH' and a
// client opens PATH (the slave end) with modbus_new_rtu.
//
// libmodbus opens its device by path, and a pseudo-terminal master has none:
// the context is made for the slave path but never connected, and is handed
// the master descriptor with modbus_set_socket instead.
#include <errno.h>
#include <modbus.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string>

#include "support/pseudo_terminal.h"

namespace {

// libmodbus waits for a request in a select() that it restarts after a
// signal, so a stop request ends the process right in the handler.
void OnSignal(int) { _exit(0); }

}  // namespace

int main() {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    // The slave stays open for the whole run, so that the master never sees
    // a hang-up while clients come and go; the line is raw.
    support::PseudoTerminal pty;
    std::string error;
    if (!support::OpenPseudoTerminal(&pty, &error)) {
        fprintf(stderr, "qdxbench-modbus-server: %s\n", error.c_str());
        return 2;
    }
    const int master = pty.master;
    const char* path = pty.slave_path.c_str();

    modbus_t* ctx = modbus_new_rtu(path, 9600, 'N', 8, 1);
    modbus_mapping_t* map = modbus_mapping_new(0, 0, 16, 0);
    if (ctx == nullptr || map == nullptr) {
        fprintf(stderr, "qdxbench-modbus-server: %s\n", modbus_strerror(errno));
        return 2;
    }
    for (int i = 0; i < 16; ++i) map->tab_registers[i] = static_cast<uint16_t>(1000 + i);
    modbus_set_slave(ctx, 1);
    modbus_set_socket(ctx, master);

    printf("qdxbench-modbus-server: listening on %s\n", path);
    fflush(stdout);

    // Serves until SIGTERM (or the benchmark's end) stops the process.
    uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    for (;;) {
        const int rc = modbus_receive(ctx, query);
        if (rc > 0) {
            modbus_reply(ctx, query, rc, map);
        } else if (rc < 0 && errno != EMBBADCRC && errno != EMBBADDATA && errno != ETIMEDOUT) {
            usleep(1000);  // a damaged line: do not spin
        }
    }
}
