// Command line definition (CLI11) and the line settings it resolves to.
#include "options.h"

#include <cstdio>
#include <iostream>

#include <CLI/CLI.hpp>

#include "exit_codes.h"
#include "platform.h"

namespace {

const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};

std::string HelpFooter() {
    std::string text =
        "\nAddresses: six characters UUKCII: unit 00-99, the letter K, channel 0-8,\n"
        "identifier such as M1 (measured value) or S1 (set value); e.g. 01K1M1.\n\n"
        "Data types (--type): u16 s16 bcd float s32 u32 state (codes 0..6).\n"
        "Line defaults come from the driver: 9600 baud, 7 data bits, odd parity,\n"
        "2 stop bits. The reply timeout is kept in 10 ms steps (rounded up).\n\n";
    text += PortNameHelp();
    text += "\n";
    text += ExitCodeHelp();
    return text;
}

// Options every command takes. CLI11 lets them stand before or after the
// command name, since each command falls through to the main parser.
void AddCommonOptions(CLI::App& app, Options* o) {
    app.add_option("-p,--port", o->port,
                   "Serial port (see 'Port names' below); demo without it starts the simulator");
    app.add_option("--baud", o->baud, "Baud rate, 1..65535 (driver default 9600)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--data-bits", o->data_bits, "Data bits, 5..8 (driver default 7)")
        ->check(CLI::Range(5, 8));
    app.add_option("--stop-bits", o->stop_bits, "Stop bits: 1, 1.5 or 2 (driver default 2)")
        ->check(CLI::IsMember({"1", "1.5", "2"}));
    app.add_option("--parity", o->parity,
                   "Parity: none, odd, even, mark or space (driver default odd)")
        ->check(CLI::IsMember({"none", "odd", "even", "mark", "space"}, CLI::ignore_case));
    app.add_option("-t,--timeout", o->timeout_ms,
                   "Reply timeout in ms, 10..655350 (default 300; scan 100)")
        ->check(CLI::Range(10, 655350));
    app.add_option("--module", o->module_path,
                   "Driver module to load (default: QDXPOLL_MODULE, then beside qdxpoll, then the build tree)");
    auto* json = app.add_flag("--json", "One JSON object a line");
    auto* csv = app.add_flag("--csv", "Comma-separated values with a header row");
    json->excludes(csv);
    json->each([o](const std::string&) { o->format = OutputFormat::kJson; });
    csv->each([o](const std::string&) { o->format = OutputFormat::kCsv; });
    app.add_flag("-q,--quiet", o->quiet, "Hide the driver's log lines");
    app.add_flag("-v,--verbose", o->verbose, "Show the driver loaded and the effective line settings");
    app.add_flag("--trace", o->trace,
                 "Show every frame on the wire, with time, direction and BCC check (Linux)");
}

void AddTypeOption(CLI::App* cmd, Options* o) {
    cmd->add_option("--type", o->type, "Data type: u16, s16, bcd, float, s32, u32, state")
        ->check(CLI::IsMember({"u16", "s16", "bcd", "float", "s32", "u32", "state"}))
        ->capture_default_str();
}

}  // namespace

int ParseCommandLine(int argc, char** argv, Options* o) {
    CLI::App app{"qdxpoll " QDXPOLL_VERSION
                 " - commission, read, write and poll RKC REX-F controllers through the QDXTLMV driver"};
    app.name("qdxpoll");
    app.footer(HelpFooter());
    app.require_subcommand(1);
    AddCommonOptions(app, o);

    auto* info = app.add_subcommand("info", "Driver name, banner and default line settings");

    auto* read = app.add_subcommand("read", "Read one or more points");
    read->add_option("ADDRESS", o->addresses, "Point addresses, e.g. 01K1M1")->required();
    AddTypeOption(read, o);
    read->add_option("--bit", o->bit, "Read one bit (0..31) of the value (read-bit request)")
        ->check(CLI::Range(0, 31));
    read->add_option("--width", o->width,
                     "Part of the value the bit comes from: 16 or 32 (default: by type)")
        ->check(CLI::IsMember({16, 32}));

    auto* write = app.add_subcommand("write", "Write one point");
    write->add_option("ADDRESS", o->write_address, "Point address, e.g. 01K1S1")->required();
    write->add_option("VALUE", o->value, "Decimal value, e.g. 25.5")->required();
    AddTypeOption(write, o);
    write->add_flag("--verify", o->verify, "Read the value back and compare");

    auto* poll = app.add_subcommand("poll", "Read points every interval, one line a cycle; Ctrl-C ends");
    poll->add_option("ADDRESS", o->addresses, "Point addresses")->required();
    AddTypeOption(poll, o);
    poll->add_option("-i,--interval", o->interval_s, "Seconds between cycles")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    poll->add_option("-n,--count", o->count, "Number of cycles (0: until Ctrl-C)")
        ->check(CLI::Range(0, 1000000000))
        ->capture_default_str();

    auto* scan = app.add_subcommand("scan", "Find the unit addresses that answer an identifier");
    scan->add_option("IDENTIFIER", o->identifier, "Parameter identifier, e.g. M1")->required();
    scan->add_option("-c,--channel", o->channel, "Channel 0..8")
        ->check(CLI::Range(0, 8))
        ->capture_default_str();
    scan->add_option("--units", o->units, "Unit addresses to try, FIRST-LAST")->capture_default_str();
    AddTypeOption(scan, o);

    auto* list = app.add_subcommand("list-ports", "Serial devices of this machine and their driver port names");

    auto* demo = app.add_subcommand(
        "demo", "Guided tour against the simulator (started on a pseudo-terminal) or, with --port, a real unit");
    demo->add_option("--simulator", o->simulator_path,
                     "Simulator program (default: QDXPOLL_SIMULATOR, then beside qdxpoll, then the build tree)");
    demo->add_option("-u,--unit", o->unit, "Unit address to use, 0..99")
        ->check(CLI::Range(0, 99))
        ->capture_default_str();

    for (CLI::App* cmd : {info, read, write, poll, scan, list, demo}) cmd->fallthrough();

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::cerr << "qdxpoll: " << e.what() << "\nRun 'qdxpoll --help' for usage.\n";
        return kExitUsage;
    }
    for (CLI::App* cmd : app.get_subcommands()) o->command = cmd->get_name();
    for (auto& c : o->parity) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return -1;
}

LineValues ResolveLine(const Options& o, const LineValues& defaults) {
    LineValues line = defaults;
    if (o.baud) line.baud_rate = static_cast<uint16_t>(*o.baud);
    if (o.data_bits) line.data_bits = static_cast<uint16_t>(*o.data_bits);
    if (o.stop_bits == "1") line.stop_bits = 0;
    if (o.stop_bits == "1.5") line.stop_bits = 1;
    if (o.stop_bits == "2") line.stop_bits = 2;
    for (uint16_t i = 0; i < 5; ++i)
        if (o.parity == kParityNames[i]) line.parity = i;
    return line;
}

const char* ParityName(uint16_t code) { return code < 5 ? kParityNames[code] : "unknown"; }

const char* StopBitsName(uint16_t code) {
    switch (code) {
        case 0: return "1";
        case 1: return "1.5";
        case 2: return "2";
        default: return "unknown";
    }
}

std::string DescribeLine(const LineValues& line) {
    char text[128];
    std::snprintf(text, sizeof text, "%u baud, %u data bits, %s parity, %s stop bits",
                  static_cast<unsigned>(line.baud_rate), static_cast<unsigned>(line.data_bits),
                  ParityName(line.parity), StopBitsName(line.stop_bits));
    return text;
}

int32_t TimeoutUnits(int timeout_ms) { return static_cast<int32_t>((timeout_ms + 9) / 10); }
