// Exit codes of qdxpoll and the error that carries one to main.
#ifndef QDXPOLL_EXIT_CODES_H
#define QDXPOLL_EXIT_CODES_H

#include <stdexcept>
#include <string>

// Codes follow the BSD sysexits convention where one fits.
enum ExitCode {
    kExitOk = 0,
    kExitDiffer = 1,         // diff: the two sides differ (as diff(1))
    kExitUsage = 64,         // bad command line or a value out of range
    kExitBadAddress = 65,    // the driver refused a point address
    kExitPortUnavailable = 66,  // the port cannot be opened
    kExitBadSettingsFile = 65,  // a settings file holds an entry that does not hold (the message names its line)
    kExitSettingsFileUnreadable = 66,  // a settings file, or a history to export, cannot be read
    kExitNoReply = 69,       // no valid reply from a unit (the message names the cause)
    kExitInternal = 70,      // the module or the simulator could not be loaded or started
    kExitHistoryUnwritable = 73,  // the history database cannot be made or written to
    kExitHeldUnacknowledged = 75,  // a write was not acknowledged, but the unit holds the value
    kExitRefused = 76,       // a unit refused a write (or read back another value)
    kExitNotPermitted = 77,  // service: the system does not let this user manage services
    kExitInterrupted = 130,  // Ctrl-C cut a request short
};

// Thrown by any part of the tool to end the run with one message and code.
struct ToolError : std::runtime_error {
    ToolError(int exit_code, const std::string& message, const std::string& next_step = "")
        : std::runtime_error(message), code(exit_code), hint(next_step) {}
    int code;
    std::string hint;  // "" for the one that goes with the exit code
};

// The next step after a failure that names no better one.
inline std::string DefaultHint(int code) {
    switch (code) {
        case 64: return "'qdxpoll --help' and 'qdxpoll COMMAND --help' show the options and their ranges";
        case 65: return "an address is six characters UUKCII, e.g. 01K1M1 ('qdxpoll identifiers' lists the "
                        "identifiers); in a settings file, mend the line named";
        case 66: return "'qdxpoll list-ports' shows the serial devices and the names to pass";
        case 70: return "check the build or installation (--module PATH, --simulator PATH)";
        default: return "";
    }
}

// The exit code table as --help and the README show it.
inline const char* ExitCodeHelp() {
    return "Exit codes:\n"
           "  0   success; diff: the two sides are the same\n"
           "  1   diff: the two sides differ\n"
           "  64  bad command line, or a value out of range for its type\n"
           "  65  invalid point address (refused by the driver), or a settings file with an\n"
           "      entry that does not hold (the message names its line)\n"
           "  66  the port, a settings file or a history to export cannot be opened\n"
           "  69  no valid reply from a unit: nothing, EOT, NAK, corrupt, cut short or late\n"
           "      (the message names which); scan: no unit answers well, or some answer badly;\n"
           "      save: a partial save; diff: identifiers that could not be compared;\n"
           "      restore: identifiers the target lacks or that could not be written\n"
           "  70  the driver module or the simulator cannot be loaded or started\n"
           "  73  the history database (--db) cannot be made or written to\n"
           "  75  a write was not acknowledged, but the unit holds the written value\n"
           "  76  a unit refused a write (NAK), or --verify (and restore) read back another value\n"
           "  77  service: this user may not manage services (Windows: an Administrator's prompt)\n"
           "  130 Ctrl-C cut a request short (a poll ended by Ctrl-C exits 0)\n";
}

#endif  // QDXPOLL_EXIT_CODES_H
