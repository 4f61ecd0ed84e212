// qdxpoll: the host tool that loads the QDXTLMV driver module and drives it
// to commission, read, write, poll and scan RKC REX-F controllers.
#include <cstdio>
#include <exception>

#include "commands.h"
#include "exit_codes.h"
#include "options.h"
#include "platform.h"

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
        return e.code;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "qdxpoll: internal error: %s\n", e.what());
        return kExitInternal;
    }
}
