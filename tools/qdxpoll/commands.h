// The commands of qdxpoll. Each returns the exit code; failures that end a
// command early are thrown as ToolError.
#ifndef QDXPOLL_COMMANDS_H
#define QDXPOLL_COMMANDS_H

#include "options.h"

int RunCommand(Options& options);

#endif  // QDXPOLL_COMMANDS_H
