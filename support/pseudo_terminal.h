// Creating a pseudo-terminal: the master end for the program that plays
// one side of a line, the slave's path for the other side to open. Used by
// the simulator, qdxpoll's wire relay, the benchmark's libmodbus server and
// the tests. Linux only.
#ifndef SUPPORT_PSEUDO_TERMINAL_H
#define SUPPORT_PSEUDO_TERMINAL_H

#include <string>

namespace support {

struct PseudoTerminal {
    int master = -1;
    // A descriptor of the slave, held open (never read) so that the master
    // sees no hang-up while the other side closes and reopens its end.
    int held_slave = -1;
    std::string slave_path;
};

// Makes a pseudo-terminal whose slave is a raw line (nothing echoed) at
// 9600 baud until the other side sets its own; both descriptors are
// close-on-exec. False, with *error set and nothing left open, when that
// fails.
bool OpenPseudoTerminal(PseudoTerminal* pty, std::string* error);

// Closes whichever descriptors are still open.
void ClosePseudoTerminal(PseudoTerminal* pty);

}  // namespace support

#endif  // SUPPORT_PSEUDO_TERMINAL_H
