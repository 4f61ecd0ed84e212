// The commands of qdxpoll: each one's handler, one file a command or a close
// group of them (command_*.cpp); the table in cli/command_table.cpp names
// them, and cli/command_options.cpp gives each its options. A handler returns the exit code; failures
// that end a command early are thrown as ToolError.
#ifndef QDXPOLL_COMMANDS_H
#define QDXPOLL_COMMANDS_H

#include <string>
#include <vector>

#include "config/options.h"

struct Session;

int RunInfo(Session& session);
int RunIdentifiers(Session& session);
int RunListPorts(Session& session);
int RunRead(Session& session);
int RunWrite(Session& session);
int RunPoll(Session& session);
int RunWatch(Session& session);
// log and export: the line's history (command_log.cpp, command_export.cpp).
int RunLog(Session& session);
int RunExport(Session& session);
int RunScan(Session& session);
// init: a scan written as a commented --config file (command_scan.cpp).
int RunInit(Session& session);
int RunProbe(Session& session);
// save, diff and restore: a unit's settings to a file, compared, written
// back (command_save_diff.cpp, command_restore.cpp).
int RunSave(Session& session);
int RunDiff(Session& session);
int RunRestore(Session& session);
int RunMqtt(Session& session);
int RunDemo(Session& session);
// run, check and service: a line as its file describes it, as a service
// (command_run.cpp, command_check.cpp, command_service.cpp).
int RunLine(Session& session);
int RunCheck(Session& session);
int RunService(Session& session);

// Reads the command line (arguments after the program's name) and its
// --config file again into *options, as at the start: run's reload. False,
// with the reason said, when they do not load.
using OptionsReader = bool (*)(const std::vector<std::string>& arguments, Options* options);
void SetOptionsReader(OptionsReader reader);

#endif  // QDXPOLL_COMMANDS_H
