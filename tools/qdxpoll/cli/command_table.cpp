// The table of commands and the running of the one asked for.
#include "cli/command_table.h"

#include "base/exit_codes.h"
#include "cli/command_line.h"
#include "cli/command_options.h"
#include "commands/commands.h"
#include "platform/platform.h"
#include "port/trace_relay.h"
#include "session/session.h"

const std::vector<CommandEntry>& CommandTable() {
    static const std::vector<CommandEntry> table = {
        {"info", "Driver name, banner and default line settings", "  qdxpoll info\n", nullptr, RunInfo},
        {"read", "Read one or more points",
         "  qdxpoll -p ttyUSB0 read 01K1M1                 measured value of unit 01\n"
         "  qdxpoll -p ttyUSB0 read 01K1M1 02K1M1 --json   two units, as JSON\n"
         "  qdxpoll -p ttyUSB0 read 01K1S1 --type u16      set value as a 16-bit integer\n"
         "  qdxpoll -p ttyUSB0 read 01K1XA --bit 3         bit 3 (of a u16; --width 32 with\n"
         "                                                 --type s32/u32 for bits 16-31)\n",
         AddReadOptions, RunRead},
        {"write", "Write one point",
         "  qdxpoll -p ttyUSB0 write 01K1S1 180 --verify   set value, read back\n"
         "  qdxpoll -p ttyUSB0 write 01K1XA 2 --type u16   alarm 1 type\n",
         AddWriteOptions, RunWrite},
        {"poll", "Read points every interval, one line a cycle; Ctrl-C ends",
         "  qdxpoll -p ttyUSB0 poll 01K1M1 01K1S1            once a second until Ctrl-C\n"
         "  qdxpoll -p ttyUSB0 poll 01K1M1 -i 0.2 -n 100 --csv > log.csv\n",
         AddPollOptions, RunPoll},
        {"watch",
         "Poll as poll does and show the points live in a browser: a chart, the statistics, the last failures "
         "and their causes, a write form (with --allow-writes); Ctrl-C ends",
         "  qdxpoll -p ttyUSB0 watch 01K1M1 01K1S1            then open the address it prints\n"
         "  qdxpoll -p ttyUSB0 watch 01K1M1 01K1S1 --allow-writes --http 8080\n",
         AddWatchOptions, RunWatch},
        {"log", "Poll as poll does and keep every sample in the line's history (an SQLite file); Ctrl-C ends",
         "  qdxpoll -p ttyUSB0 log 01K1M1 01K1S1 --db line.db             once a second until Ctrl-C\n"
         "  qdxpoll -p ttyUSB0 log 01K1M1 --db line.db -i 0.5 --keep-days 30\n",
         AddLogOptions, RunLog},
        {"export", "The samples a history holds, over a time range, as CSV, JSON or text (no port needed)",
         "  qdxpoll export line.db --from -1h --csv > last-hour.csv\n"
         "  qdxpoll export line.db --from 2026-12-08T22:00 --to 2026-12-09T06:00 --points 01K1M1,01K1S1 --json\n",
         AddExportOptions, RunExport},
        {"mqtt",
         "Poll as poll does and publish every sample to an MQTT broker (retained, QoS 1); with --allow-writes "
         "take set values for the --writable points on their set topics; Ctrl-C ends",
         "  qdxpoll -p ttyUSB0 mqtt 01K1M1 01K1S1 --broker mqtt://127.0.0.1:1883\n"
         "  mosquitto_sub -t 'qdxtlmv/#' -v                      what it publishes\n"
         "  qdxpoll -p ttyUSB0 mqtt 01K1M1 01K1S1 --broker mqtt://broker:1883 --allow-writes --writable 01K1S1\n"
         "  mosquitto_pub -t qdxtlmv/line1/01/1/S1/set -m 180.5  a set value, read back; the outcome on .../set/result\n",
         AddMqttOptions, RunMqtt},
        {"run",
         "Run a line as its --config file describes it, as a service: one poll feeding the history (database), "
         "the page (listen) and the broker ([mqtt]) at once; writes only to the file's writable points; SIGHUP "
         "reads the file again; Ctrl-C or SIGTERM ends",
         "  qdxpoll run --config /etc/qdxtlmv/line1.toml\n"
         "  systemctl enable --now qdxpoll@line1             the same under systemd\n",
         AddRunOptions, RunLine},
        {"check", "Check a line's --config file whole: the file, its points and outputs, the port opened, the broker "
                  "reached; 0 when good, else 64 with each problem at its line and column",
         "  qdxpoll check --config /etc/qdxtlmv/line1.toml\n", nullptr, RunCheck},
        {"service",
         "Windows: run a line's --config file as a service of its own (qdxpoll@NAME for NAME.toml): install (starts "
         "at boot, restarted after a failure), start, stop, reload (its file read again), remove; its messages go "
         "to NAME.log beside the history. Linux: systemd's qdxpoll@NAME does the same",
         "  qdxpoll service install --config C:\\ProgramData\\qdxtlmv\\line1.toml   (an Administrator's prompt)\n"
         "  qdxpoll service start --config C:\\ProgramData\\qdxtlmv\\line1.toml\n"
         "  qdxpoll service stop --config C:\\ProgramData\\qdxtlmv\\line1.toml\n",
         AddServiceOptions, RunService},
        {"scan", "Find the unit addresses that answer an identifier",
         "  qdxpoll -p ttyUSB0 scan M1                    units 00-99, channel 1\n"
         "  qdxpoll -p ttyUSB0 scan M1 --units 1,3,5-9 --channel 2\n",
         AddScanOptions, RunScan},
        {"init", "Scan the line and write a commented --config file of the units found (M1, S1, O1 of each)",
         "  qdxpoll -p /dev/serial/by-id/usb-FTDI_...-if00-port0 init      writes line.toml\n"
         "  qdxpoll -p ttyUSB0 --line 19200,8N1 init --units 1-8 --output oven.toml\n"
         "  qdxpoll --config line.toml poll                                then use it\n",
         AddInitOptions, RunInit},
        {"probe", "Find the line settings a unit answers at",
         "  qdxpoll -p ttyUSB0 probe                      unit 01, M1, 1200-19200 baud\n"
         "  qdxpoll -p ttyUSB0 probe --units 5 --line 38400,8N1   also try 38400,8N1\n",
         AddProbeOptions, RunProbe},
        {"save", "Read every identifier of a unit and print its settings as TOML",
         "  qdxpoll -p ttyUSB0 save 01 > unit01.toml\n"
         "  qdxpoll -p ttyUSB0 save 01 --channel all --output unit01.toml\n",
         AddSaveOptions, RunSave},
        {"diff", "The settings (read/write identifiers) two units differ in; each side a saved file or a live unit",
         "  qdxpoll -p ttyUSB0 diff 01 02                  two live units\n"
         "  qdxpoll -p ttyUSB0 diff unit01.toml 02 --json  a file and a live unit\n"
         "  qdxpoll diff unit01.toml unit02.toml           two files (no port needed)\n"
         "Exit: 0 the same, 1 they differ, 69 some identifiers could not be compared.\n",
         AddDiffOptions, RunDiff},
        {"restore",
         "Write a saved file's settings to a unit (or clone them to several): shows the plan, then writes what "
         "differs, in the unit's order, each read back",
         "  qdxpoll -p ttyUSB0 restore unit01.toml --to 01 --dry-run   the plan only\n"
         "  qdxpoll -p ttyUSB0 restore unit01.toml --to 02,05-09 --yes\n"
         "  qdxpoll -p ttyUSB0 restore unit01.toml --to 02 --only S1,P1,I1,D1\n",
         AddRestoreOptions, RunRestore},
        {"identifiers", "The 79 identifiers: meaning, access, range and decimals",
         "  qdxpoll identifiers\n  qdxpoll identifiers --csv\n", nullptr, RunIdentifiers},
        {"list-ports", "Serial devices of this machine and their driver port names", "  qdxpoll list-ports\n",
         nullptr, RunListPorts},
        {"demo", "Guided tour against the simulator (started on a pseudo-terminal) or, with --port, a real unit",
         "  qdxpoll demo\n  qdxpoll demo --port ttyUSB0 --unit 5\n", AddDemoOptions, RunDemo},
    };
    return table;
}

int RunCommand(Options& options) {
    SetOptionsReader(&ReadOptionsAgain);
    Session session(options);
    SetInterruptHook(&TraceRelay::InterruptFromSignal);
    if (options.trace && options.direct)
        throw ToolError(kExitUsage, "--trace watches the line through qdxpoll; --direct gives the driver the port "
                                    "itself: choose one");
    if (options.trace && !TraceRelay::Available()) {
        std::string why;
        bool port_failed = false;
        std::string unused;
        session.port.relay.Start("", LineValues{}, true, &unused, &why, &port_failed);
        throw ToolError(kExitUsage, why);
    }
    for (const CommandEntry& c : CommandTable())
        if (options.command == c.name) return c.run(session);
    throw ToolError(kExitUsage, "unknown command " + options.command);
}
