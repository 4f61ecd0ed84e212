// The driver's log lines, received through the host runtime library's sink:
// shown on standard error (unless --quiet) and counted, so that statistics
// can tell replies the driver refused from silence.
#ifndef QDXPOLL_DRIVER_LOG_H
#define QDXPOLL_DRIVER_LOG_H

#include <string>

#include "base/console.h"  // the driver's lines go to the console's error line

void InstallDriverLog(bool show);

// The driver names its port as it was started; where that is the relay's
// pseudo-terminal (or a resolved link), its lines name the user's port
// instead, with the other name after it.
void SetDriverPortAlias(const std::string& driver_port, const std::string& user_port);
// A driver line with the port named as the user named it.
std::string WithUserPort(const std::string& line);

// Log lines that reported a refused reply (missing STX or ETX, incorrect
// identifier or BCC) since the program started.
long RefusedReplyCount();
// The latest line logged ("" when none).
std::string LastDriverLine();

#endif  // QDXPOLL_DRIVER_LOG_H
