// qdxpoll: the host tool that loads the QDXTLMV driver module and drives it
// to commission, read, write, poll and scan RKC REX-F controllers.
#include <cstdio>
#include <exception>
#include <string>

#include "base/exit_codes.h"
#include "cli/command_line.h"
#include "cli/command_table.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    Options options;
    const int parsed = ParseCommandLine(argc, argv, &options);
    if (parsed >= 0) return parsed;
    InstallConsoleHandlers();
    try {
        return RunCommand(options);
    } catch (const ToolError& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "qdxpoll: %s\n", e.what());
        const std::string hint = e.hint.empty() ? DefaultHint(e.code) : e.hint;
        if (!hint.empty()) std::fprintf(stderr, "  hint: %s\n", hint.c_str());
        return e.code;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "qdxpoll: internal error: %s\n  hint: %s\n", e.what(), DefaultHint(kExitInternal).c_str());
        return kExitInternal;
    }
}
