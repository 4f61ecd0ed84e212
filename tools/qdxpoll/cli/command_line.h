// The command line of qdxpoll (CLI11): the options every command takes and
// each command's own, from the command table.
#ifndef QDXPOLL_COMMAND_LINE_H
#define QDXPOLL_COMMAND_LINE_H

#include <string>
#include <vector>

#include "config/options.h"

// Parses the command line into *options. Returns -1 to go on, or the exit
// code to end with (0 after --help or --version, 64 after a usage error,
// with the message already printed).
int ParseCommandLine(int argc, char** argv, Options* options);

// The same for the arguments after the program's name, again (run's
// reload): false, with the message printed, when they do not hold.
bool ReadOptionsAgain(const std::vector<std::string>& arguments, Options* options);

#endif  // QDXPOLL_COMMAND_LINE_H
