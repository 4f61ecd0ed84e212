// The commands of qdxpoll in one table: name, help, examples, the options of
// their own, and the handler. The command line is built from it and a
// command runs through it.
#ifndef QDXPOLL_COMMAND_TABLE_H
#define QDXPOLL_COMMAND_TABLE_H

#include <vector>

#include "config/options.h"

namespace CLI {
class App;
}
struct Session;

struct CommandEntry {
    const char* name;
    const char* help;      // its line in 'qdxpoll --help'
    const char* examples;  // in 'qdxpoll NAME --help'
    void (*add_options)(CLI::App* command, Options* options);  // null: the common options only
    int (*run)(Session& session);
};

// Every command, in the order --help lists them.
const std::vector<CommandEntry>& CommandTable();

// Runs the command the options name.
int RunCommand(Options& options);

#endif  // QDXPOLL_COMMAND_TABLE_H
