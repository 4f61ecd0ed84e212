// Finding and loading the driver module, and its one entry point.
#ifndef QDXPOLL_MODULE_LOADER_H
#define QDXPOLL_MODULE_LOADER_H

#include <cstdint>
#include <string>

#include "host/records.h"

typedef int32_t(QDX_CDECL* QdxMainFunction)(RequestBlock* request);

struct LoadedModule {
    void* library = nullptr;
    QdxMainFunction entry = nullptr;
    std::string path;
};

// Loads the module: the path given (--module), else QDXPOLL_MODULE, else the
// module beside qdxpoll or two directories up (the build tree's layout),
// else the path the build recorded. Throws ToolError (70) when none loads.
LoadedModule LoadModule(const std::string& requested_path);

// Finds a companion program (the simulator) the same way: given path,
// environment variable, beside qdxpoll, the build tree, the recorded path.
// Returns "" when none exists.
std::string FindCompanion(const std::string& requested_path, const char* env_name,
                          const std::string& file_name, const std::string& tree_dir,
                          const std::string& recorded_path);

#endif  // QDXPOLL_MODULE_LOADER_H
