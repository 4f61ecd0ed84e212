// qdxpoll: the host tool that loads the QDXTLMV driver module and drives it
// to commission, read, write, poll and scan RKC REX-F controllers.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/exit_codes.h"
#include "cli/command_line.h"
#include "cli/command_table.h"
#include "config/service_setup.h"
#include "platform/platform.h"
#include "platform/service_manager.h"

namespace {

// The command the arguments (after the program's name) ask for.
int RunProgram(std::vector<std::string> arguments) {
    std::string program = "qdxpoll";
    std::vector<char*> argv{program.data()};
    for (std::string& word : arguments) argv.push_back(word.data());
    argv.push_back(nullptr);
    Options options;
    const int parsed = ParseCommandLine(static_cast<int>(argv.size() - 1), argv.data(), &options);
    if (parsed >= 0) return parsed;
    InstallConsoleHandlers();
    try {
        return RunCommand(options);
    } catch (const ToolError& e) {
        std::fflush(stdout);
        ErrorLine(std::string("qdxpoll: ") + e.what(), 3);
        const std::string hint = e.hint.empty() ? DefaultHint(e.code) : e.hint;
        if (!hint.empty()) ErrorLine("  hint: " + hint, 3);
        return e.code;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        ErrorLine(std::string("qdxpoll: internal error: ") + e.what(), 3);
        ErrorLine("  hint: " + DefaultHint(kExitInternal), 3);
        return kExitInternal;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    // The command line a Windows service's was registered with.
    if (const auto service = TakeServiceMarkers(arguments))
        return RunUnderServiceManager(service->name, service->log_file, service->folder,
                                      [&service] { return RunProgram(service->arguments); });
    return RunProgram(arguments);
}
