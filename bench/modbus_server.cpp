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
#include <fcntl.h>
#include <modbus.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

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

    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        fprintf(stderr, "qdxbench-modbus-server: no pseudo-terminal: %s\n", strerror(errno));
        return 2;
    }
    const char* path = ptsname(master);
    if (path == nullptr) return 2;
    // One slave descriptor stays open for the whole run, so that the master
    // never sees a hang-up while clients come and go; the line is raw.
    const int held_slave = open(path, O_RDWR | O_NOCTTY);
    if (held_slave < 0) return 2;
    struct termios t;
    if (tcgetattr(held_slave, &t) == 0) {
        cfmakeraw(&t);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        tcsetattr(held_slave, TCSANOW, &t);
    }

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
