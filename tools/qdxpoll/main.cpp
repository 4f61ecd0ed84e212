// qdxpoll: the host tool that loads the QDXTLMV driver module and drives it
// to commission, read, write, poll and scan RKC REX-F controllers.
#include <cstdio>
#include <exception>
#include <string>

#include "base/console.h"
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
