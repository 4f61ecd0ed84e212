// The options of rexfsim (CLI11) and the help they make.
#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <CLI/CLI.hpp>

#include "point_table.h"
#include "rexf/unit_list.h"

namespace rexfsim {
namespace {

const char kDescription[] =
    "rexfsim: simulates RKC REX-F controllers on a serial line. Without --device or --tcp it\n"
    "opens a pseudo-terminal (on Windows: a TCP port) and prints 'rexfsim: listening on PATH'\n"
    "(or tcp:127.0.0.1:PORT) as its first line.";

const char kFooter[] =
    "\nFault kinds: silence, bad-bcc, no-stx, no-etx, wrong-id, nak, extra, split[:MS],\n"
    "delay:MS, garbage-answer. On a select: silence, bad-bcc and nak leave the value\n"
    "unstored (NAK or nothing); no-stx, no-etx, wrong-id and garbage-answer store it but\n"
    "answer '?'; extra, split and delay store it and answer ACK (plus bytes, late).\n"
    "\n"
    "Each unit behaves as the REX-F manuals describe: a poll for an identifier it\n"
    "lacks gets EOT; a write to a read-only identifier, outside the setting range\n"
    "(S1 also within SL..SH) or with a text that is not a number gets NAK and\n"
    "nothing is stored; a written value is cut to the decimals the unit keeps and\n"
    "replies carry the held value at those decimals (\"0150.7\"). After a data\n"
    "reply ACK gets the next identifier's data, NAK the same data again, any other\n"
    "byte EOT, and 3 s of silence EOT.\n"
    "\n"
    "Commands on stdin, one a line, each answered by one line 'ok ...' or\n"
    "'error ...' on stdout:\n"
    "  set U C ID VALUE       store a number          get U C ID   -> ok TEXT\n"
    "  set-raw U C ID \"TEXT\"  replies carry these 6 characters until the next set\n"
    "  del U C ID             forget a point          stats        -> ok COUNTS\n"
    "  fault KIND[:MS]:PROB | fault clear             script K1,K2,...\n"
    "  process on|off         trace on|off            ping         quit\n"
    "  peer-line              -> ok 9600,7O2: the line settings the other side asked for\n"
    "  advance SECONDS        move the process on by SECONDS of process time\n"
    "  mute U on|off          unit U hears nothing (off the line) until 'mute U off'\n"
    "SIGUSR1 prints the counts to stderr; so does the exit on SIGINT/SIGTERM.\n"
    "\n";

}  // namespace

void Fail(const std::string& message) {
    std::fprintf(stderr, "rexfsim: %s\n", message.c_str());
    std::exit(2);
}

Options ParseOptions(int argc, char** argv) {
    Options o;
    std::string parity = "odd", units, channels, option_units;
    int stop_bits = 2;
    CLI::App app{kDescription, "rexfsim"};
    app.footer(std::string(kFooter) + TableFileHelp());
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    app.get_formatter()->column_width(26);

    const char* line = "Line";
    app.add_option("--link", o.link, "Also make the symlink PATH to the pseudo-terminal (removed on exit)")
        ->option_text("PATH")
        ->group(line);
    app.add_option("--device", o.device, "Use this serial device instead of a pseudo-terminal")
        ->option_text("PATH")
        ->group(line);
    app.add_option("--tcp", o.tcp_port,
                   "Serve the line as a raw byte stream on 127.0.0.1:PORT, one connection at a time "
                   "(0: a free port; the default on Windows), for qdxpoll --port tcp:127.0.0.1:PORT")
        ->check(CLI::Range(0, 65535))
        ->option_text("PORT")
        ->group(line);
    app.add_option("--baud", o.line.baud, "Device speed (default 9600, as the driver's default)")
        ->check(CLI::Range(50L, 4000000L))
        ->option_text("N")
        ->group(line);
    app.add_option("--data-bits", o.line.data_bits, "Device data bits, 7 or 8 (default 7)")
        ->check(CLI::Range(7, 8))
        ->option_text("7|8")
        ->group(line);
    app.add_option("--parity", parity, "Device parity: even, odd or none (default odd)")
        ->check(CLI::IsMember({"even", "odd", "none"}))
        ->option_text("even|odd|none")
        ->group(line);
    app.add_option("--stop-bits", stop_bits, "Device stop bits, 1 or 2 (default 2)")
        ->check(CLI::Range(1, 2))
        ->option_text("1|2")
        ->group(line);
    app.add_option("--pace", o.pace_baud,
                   "Send no faster than a line at BAUD (11 bits a character) and take received bytes as "
                   "arriving at that speed too")
        ->check(CLI::Range(1L, 4000000L))
        ->option_text("BAUD")
        ->group(line);
    app.add_option("--interval-time", o.interval_time_ms,
                   "The units' interval time, 0..250 ms: the wait before every answer (default 0 on a "
                   "pseudo-terminal; units leave the factory with 10)")
        ->check(CLI::Range(0, 250))
        ->option_text("MS")
        ->group(line);
    app.add_flag("--realistic", o.realistic,
                 "A real line: pace at --baud and an interval time of 10 ms (unless --interval-time says "
                 "otherwise)")
        ->group(line);
    app.add_option("--response-delay", o.response_delay_ms, "Wait MS before every answer (any length, for tests)")
        ->check(CLI::Range(0, 600000))
        ->option_text("MS")
        ->group(line);
    app.add_flag("--line-check", o.line_check,
                 "Compare the line settings the other side asked for (read from the pseudo-terminal) with "
                 "--baud, --data-bits, --parity and --stop-bits, and send every answer as the other side's "
                 "receiver takes it: garbled when they differ")
        ->group(line);

    const char* points = "Points";
    app.add_option("--units", units, "Default table: these units, e.g. 1,2,3 or 1-5 (default 1,2,3)")
        ->option_text("LIST")
        ->group(points);
    app.add_option("--channels", channels, "Default table: these channels (default 1)")
        ->option_text("LIST")
        ->group(points);
    app.add_option("--option-units", option_units,
                   "Default table: units fitted with the current transformer option, M2 and M3 (default 2); "
                   "the others answer EOT")
        ->option_text("LIST")
        ->group(points);
    app.add_option("--table", o.table_file, "Load the points from FILE instead of the default table")
        ->option_text("FILE")
        ->group(points);
    app.add_option("--unit-file", o.unit_files,
                   "Start a unit from a settings file that 'qdxpoll save' wrote (at the unit it names, or at "
                   "UNIT); says on stderr which settings differ from the factory values (repeatable)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->option_text("[UNIT=]FILE")
        ->group(points);
    bool no_process = false;
    app.add_flag("--no-process,--no-drift", no_process,
                 "Keep measured values still; by default M1 follows a furnace driven by the unit's PID control "
                 "on S1 (P1, I1, D1, output limits OH/OL, output O1), and the alarm states AA/AB follow "
                 "S1 + A1/A2 with the gaps HA/HB")
        ->group(points);
    app.add_option("--speed", o.speed,
                   "Run the process N times faster than real time (default 1; 0 stands still but for 'advance')")
        ->check(CLI::Range(0.0, 100000.0))
        ->option_text("N")
        ->group(points);
    app.add_flag("--accept-all", o.accept_all,
                 "No unit model: every identifier at every unit, every write stored and answered with the "
                 "text written, no EOT for missing identifiers and no data link after a reply")
        ->group(points);
    app.add_option("--state", o.state_file, "Write the table to FILE after every change (atomically)")
        ->option_text("FILE")
        ->group(points);

    const char* faults = "Faults (one per transaction)";
    app.add_option("--fault", o.fault_rules, "Inject KIND[:MS]:PROB with probability PROB (repeatable)")
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->option_text("KIND[:MS]:PROB")
        ->group(faults);
    app.add_option("--seed", o.seed, "Random seed for --fault (default 1)")
        ->check(CLI::Range(0UL, 0x7FFFFFFFUL))
        ->option_text("N")
        ->group(faults);
    app.add_option("--script", o.script, "Faults for the next transactions in turn, then normal ('ok' for none)")
        ->option_text("K1,K2,...")
        ->group(faults);

    app.add_flag("--trace", o.trace, "Trace frames to stderr")->group("Other");
    app.set_help_flag("-h,--help", "This text")->group("Other");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        std::exit(0);
    } catch (const CLI::ParseError& e) {
        Fail(std::string(e.what()) + " (try --help)");
    }

    std::string why;
    if (!units.empty() && !rexf::ParseUnitList(units, &o.units, &why)) Fail("--units: " + why);
    if (!option_units.empty() && !rexf::ParseUnitList(option_units, &o.option_units, &why))
        Fail("--option-units: " + why);
    if (!channels.empty() && !rexf::ParseChannelList(channels, 9, &o.channels, &why)) Fail("--channels: " + why);
    o.process = !no_process;
    rexf::ParityFromName(parity, &o.line.parity);
    o.line.stop_bits = stop_bits == 1 ? rexf::kStopBits1 : rexf::kStopBits2;

    if (o.realistic) {
        if (o.pace_baud == 0) o.pace_baud = o.line.baud;
        if (o.interval_time_ms < 0) o.interval_time_ms = 10;
    }
    if (o.interval_time_ms > 0) o.response_delay_ms += o.interval_time_ms;
    return o;
}

}  // namespace rexfsim
