// The options of each command and the groups of options several commands
// share, added to the command's CLI11 App (cli/command_options.cpp).
#ifndef QDXPOLL_COMMAND_OPTIONS_H
#define QDXPOLL_COMMAND_OPTIONS_H

#include "config/options.h"

namespace CLI {
class App;
}

void AddDemoOptions(CLI::App* command, Options* options);
void AddExportOptions(CLI::App* command, Options* options);
void AddInitOptions(CLI::App* command, Options* options);
void AddLogOptions(CLI::App* command, Options* options);
void AddMqttOptions(CLI::App* command, Options* options);
void AddPollOptions(CLI::App* command, Options* options);
void AddRunOptions(CLI::App* command, Options* options);
void AddServiceOptions(CLI::App* command, Options* options);
void AddWatchOptions(CLI::App* command, Options* options);
void AddProbeOptions(CLI::App* command, Options* options);
void AddReadOptions(CLI::App* command, Options* options);
void AddRestoreOptions(CLI::App* command, Options* options);
void AddSaveOptions(CLI::App* command, Options* options);
void AddDiffOptions(CLI::App* command, Options* options);
void AddScanOptions(CLI::App* command, Options* options);
void AddWriteOptions(CLI::App* command, Options* options);
void AddTypeOption(CLI::App* command, Options* options);
void AddDbOption(CLI::App* command, Options* options);
void AddPageOptions(CLI::App* command, Options* options);
void AddCycleOptions(CLI::App* command, Options* options);
void AddRetentionOptions(CLI::App* command, Options* options);
// --units and --channel: identifiers given as ADDRESS read on each unit listed.
void AddUnitListOptions(CLI::App* command, Options* options);

#endif  // QDXPOLL_COMMAND_OPTIONS_H
