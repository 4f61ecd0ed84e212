// The commands of qdxpoll: each one's handler and the options of its own,
// one file a command or a close group of them (command_*.cpp); the table in
// cli/command_table.cpp names them. A handler returns the exit code; failures
// that end a command early are thrown as ToolError.
#ifndef QDXPOLL_COMMANDS_H
#define QDXPOLL_COMMANDS_H

#include <vector>

#include "config/options.h"

namespace CLI {
class App;
}
struct Session;

int RunInfo(Session& session);
int RunIdentifiers(Session& session);
int RunListPorts(Session& session);
void AddReadOptions(CLI::App* command, Options* options);
int RunRead(Session& session);
void AddWriteOptions(CLI::App* command, Options* options);
int RunWrite(Session& session);
void AddPollOptions(CLI::App* command, Options* options);
int RunPoll(Session& session);
void AddWatchOptions(CLI::App* command, Options* options);
int RunWatch(Session& session);
// log and export: the line's history (command_log.cpp, command_export.cpp).
void AddLogOptions(CLI::App* command, Options* options);
int RunLog(Session& session);
void AddExportOptions(CLI::App* command, Options* options);
int RunExport(Session& session);
void AddScanOptions(CLI::App* command, Options* options);
int RunScan(Session& session);
// init: a scan written as a commented --config file (command_scan.cpp).
void AddInitOptions(CLI::App* command, Options* options);
int RunInit(Session& session);
void AddProbeOptions(CLI::App* command, Options* options);
int RunProbe(Session& session);
// save, diff and restore: a unit's settings to a file, compared, written
// back (command_save_diff.cpp, command_restore.cpp).
void AddSaveOptions(CLI::App* command, Options* options);
int RunSave(Session& session);
void AddDiffOptions(CLI::App* command, Options* options);
int RunDiff(Session& session);
void AddRestoreOptions(CLI::App* command, Options* options);
int RunRestore(Session& session);
void AddMqttOptions(CLI::App* command, Options* options);
int RunMqtt(Session& session);
void AddDemoOptions(CLI::App* command, Options* options);
int RunDemo(Session& session);

#endif  // QDXPOLL_COMMANDS_H
