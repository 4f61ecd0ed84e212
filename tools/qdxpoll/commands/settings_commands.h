// qdxpoll save, diff and restore: a unit's settings to a file, two units'
// settings compared (each a saved file or a live unit), a file's settings
// written back to one unit or cloned to several. Each returns the exit code.
#ifndef QDXPOLL_SETTINGS_COMMANDS_H
#define QDXPOLL_SETTINGS_COMMANDS_H

#include <string>

#include "config/options.h"
#include "rexf/settings_file.h"
#include "settings/unit_access.h"

int SaveCommand(const Options& options, UnitAccess& line);
int DiffCommand(const Options& options, UnitAccess& line);
int RestoreCommand(const Options& options, UnitAccess& line);

// Reads a settings file for a command: ToolError 66 when it cannot be read,
// 65 (naming the file's line) when an entry does not hold.
rexf::UnitSettings LoadSettingsForCommand(const std::string& path);

#endif  // QDXPOLL_SETTINGS_COMMANDS_H
