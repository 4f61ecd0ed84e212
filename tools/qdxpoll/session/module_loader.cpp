// Module search and loading.
#include "session/module_loader.h"

#include <vector>

#include "base/exit_codes.h"
#include "platform/platform.h"

// The module's folder relative to qdxpoll's own in an installation
// (../lib/qdxtlmv on Linux, .. on Windows), set by the build.
#ifndef QDXPOLL_INSTALL_MODULE_DIR
#define QDXPOLL_INSTALL_MODULE_DIR ""
#endif

namespace {

// The directory above dir, by name ("" when there is none).
std::string Parent(const std::string& dir) {
    const size_t slash = dir.find_last_of("/\\");
    return slash == std::string::npos || slash == 0 ? "" : dir.substr(0, slash);
}

std::vector<std::string> Candidates(const std::string& requested, const char* env_name,
                                    const std::string& file_name, const std::string& tree_dir,
                                    const std::string& recorded, const std::string& install_dir = "") {
    std::vector<std::string> list;
    if (!requested.empty()) {
        list.push_back(requested);
        return list;  // an explicit path is the only one tried
    }
    const std::string env = GetEnvironment(env_name);
    if (!env.empty()) {
        list.push_back(env);
        return list;  // so is the one the environment names
    }
    const std::string self = ExecutableDir();
    if (!self.empty()) {
        list.push_back(JoinPath(self, file_name));
        if (!install_dir.empty()) list.push_back(JoinPath(JoinPath(self, install_dir), file_name));
        // build/<preset>/tools/qdxpoll/qdxpoll next to build/<preset>/<tree_dir>/<file>
        const std::string top = Parent(Parent(self));
        if (!top.empty())
            list.push_back(JoinPath(tree_dir.empty() ? top : JoinPath(top, tree_dir), file_name));
    }
    if (!recorded.empty()) list.push_back(recorded);
    return list;
}

// A path the user named (option or environment) must exist: another file
// found elsewhere would be a silent stand-in.
void RequireNamedFile(const std::string& requested, const char* option, const char* env_name) {
    if (!requested.empty()) {
        if (!FileExists(requested))
            throw ToolError(kExitInternal, std::string(option) + " " + requested + ": no such file");
        return;
    }
    const std::string env = GetEnvironment(env_name);
    if (!env.empty() && !FileExists(env))
        throw ToolError(kExitInternal, std::string(env_name) + " names " + env + ", which does not exist (unset it, or "
                                       "give " + option + " PATH)");
}

}  // namespace

LoadedModule LoadModule(const std::string& requested_path) {
    RequireNamedFile(requested_path, "--module", "QDXPOLL_MODULE");
    const auto candidates = Candidates(requested_path, "QDXPOLL_MODULE", kModuleFileName, "",
                                       QDXPOLL_BUILD_MODULE_PATH, QDXPOLL_INSTALL_MODULE_DIR);
    std::string reasons;
    for (const std::string& path : candidates) {
        if (!FileExists(path)) continue;
        std::string why;
        void* library = LoadLibraryAt(path, &why);
        if (library == nullptr) {
            reasons += "\n  " + path + ": " + why;
            continue;
        }
        auto entry = reinterpret_cast<QdxMainFunction>(FindLibrarySymbol(library, "QdxMain"));
        if (entry == nullptr) {
            reasons += "\n  " + path + ": no QdxMain entry point";
            UnloadLibrary(library);
            continue;
        }
        return LoadedModule{library, entry, path};
    }
    std::string message = "cannot load the driver module " + std::string(kModuleFileName);
    if (reasons.empty()) {
        message += " (looked in:";
        for (const auto& path : candidates) message += " " + path;
        message += "; use --module PATH)";
    } else {
        message += ":" + reasons;
    }
    throw ToolError(kExitInternal, message);
}

std::string FindCompanion(const std::string& requested_path, const char* env_name,
                          const std::string& file_name, const std::string& tree_dir,
                          const std::string& recorded_path) {
    RequireNamedFile(requested_path, "--simulator", env_name);
    for (const std::string& path :
         Candidates(requested_path, env_name, file_name, tree_dir, recorded_path))
        if (FileExists(path)) return path;
    return "";
}
