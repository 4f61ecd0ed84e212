// Command line definition (CLI11) and the line settings it resolves to.
#include "options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <CLI/CLI.hpp>

#include "exit_codes.h"
#include "platform.h"
#include "sim/line_timing.h"

namespace {

const char* const kParityNames[] = {"none", "odd", "even", "mark", "space"};
const char kParityLetters[] = "NOEMS";

const char* const kCommonOptions =
    "\nOptions of every command (see 'qdxpoll --help'): -p/--port NAME, --line 9600,7O2 (or --baud,\n"
    "--data-bits, --parity, --stop-bits), -t/--timeout MS, --json, --csv, --trace, --direct, -q, -v.\n";

std::string HelpFooter() {
    std::string text =
        "\nFirst steps:\n"
        "  qdxpoll list-ports                          find the serial port\n"
        "  qdxpoll -p ttyUSB0 scan M1                  find the units on the line\n"
        "  qdxpoll -p ttyUSB0 read 01K1M1              read a value\n"
        "  qdxpoll -p ttyUSB0 write 01K1S1 180 --verify  write a value\n"
        "  qdxpoll -p ttyUSB0 poll 01K1M1 01K1S1       watch values (Ctrl-C ends)\n"
        "  qdxpoll -p ttyUSB0 watch 01K1M1 01K1S1      the same, live in a browser\n"
        "  qdxpoll -p ttyUSB0 probe                    find the line settings of a unit that stays silent\n"
        "  qdxpoll -p ttyUSB0 save 01 > unit01.toml    keep a unit's settings; diff and restore them\n"
        "  qdxpoll COMMAND --help                      a command's options and examples\n\n"
        "Addresses: six characters UUKCII: unit 00-99, the letter K, channel 0-8,\n"
        "identifier such as M1 (measured value) or S1 (set value); e.g. 01K1M1.\n"
        "'qdxpoll identifiers' lists the 79 identifiers.\n\n"
        "Data types (--type): u16 s16 bcd float s32 u32 state (codes 0..6).\n"
        "Line defaults come from the driver: 9600 baud, 7 data bits, odd parity,\n"
        "2 stop bits. The default reply timeout is the one every unit's answer meets\n"
        "(interval time up to 250 ms + 27 characters + 50 ms: 340 ms at 9600,7O2); it\n"
        "is kept in 10 ms steps (rounded up).\n\n"
        "On Linux qdxpoll watches the line for every request (it opens the port and\n"
        "gives the driver a pseudo-terminal in between) and names the cause of each\n"
        "failure; --direct gives the driver the port itself.\n\n";
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
    app.add_option("--line", o->line, "Line settings as BAUD,DPS, e.g. 9600,7O2 or 19200,8N1");
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
                   "Reply timeout in ms, 10..655350 (default: what every unit meets, 340 at 9600,7O2; "
                   "scan: the factory interval time's, 100)")
        ->check(CLI::Range(10, 655350));
    app.add_flag("--direct", o->direct,
                 "Give the driver the port itself: no view of the wire, so failures are not told apart");
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
    cmd->add_option("--type", o->type, "Data type: u16, s16, bcd, float, s32, u32, state (default float)")
        ->check(CLI::IsMember({"u16", "s16", "bcd", "float", "s32", "u32", "state"}));
}

// The page's options: watch, and the demo's last step.
void AddPageOptions(CLI::App* cmd, Options* o) {
    cmd->add_option("--http", o->http_port, "Port of the page (default, or 0: a free one, printed with the address)")
        ->check(CLI::Range(0, 65535));
    cmd->add_option("--listen", o->listen_address,
                    "Address the page is served on (default 127.0.0.1, this machine only; 0.0.0.0: every "
                    "network the machine is on)")
        ->capture_default_str();
    cmd->add_flag("--allow-writes", o->allow_writes,
                  "Let the page write values (each with a confirmation); without it the page is read-only "
                  "(the demo's simulator always takes writes)");
}

CLI::App* Command(CLI::App& app, const char* name, const char* what, const std::string& examples) {
    CLI::App* cmd = app.add_subcommand(name, what);
    cmd->footer("\nExamples:\n" + examples + kCommonOptions);
    cmd->fallthrough();
    return cmd;
}

// Every long option name of the program, with its dashes.
std::vector<std::string> OptionNames(CLI::App& app) {
    std::vector<std::string> names;
    auto add = [&names](const CLI::App* a) {
        for (const CLI::Option* opt : a->get_options())
            for (const std::string& n : opt->get_lnames()) names.push_back("--" + n);
    };
    add(&app);
    for (const CLI::App* sub : app.get_subcommands({})) add(sub);
    return names;
}

// "did you mean" for misspelt commands and options.
std::string Suggestions(CLI::App& app, int argc, char** argv) {
    std::vector<std::string> commands;
    for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
    const std::vector<std::string> options = OptionNames(app);
    std::string text;
    bool command_seen = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (std::find(commands.begin(), commands.end(), word) != commands.end()) command_seen = true;
        if (word.rfind("--", 0) == 0) {
            word = word.substr(0, word.find('='));
            if (std::find(options.begin(), options.end(), word) != options.end()) continue;
            const std::string near = Nearest(word, options);
            if (!near.empty()) text += "Did you mean '" + near + "' for '" + word + "'?\n";
        } else if (!command_seen && word[0] != '-') {
            const std::string near = Nearest(word, commands);
            if (!near.empty()) {
                text += "Did you mean the command '" + near + "' for '" + word + "'?\n";
                command_seen = true;
            }
        }
    }
    return text;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, Options* o) {
    CLI::App app{"qdxpoll " QDXPOLL_VERSION
                 " - find, read, write, watch and diagnose RKC REX-F controllers through the QDXTLMV driver"};
    app.name("qdxpoll");
    app.footer(HelpFooter());
    app.set_version_flag("--version", "qdxpoll " QDXPOLL_VERSION " (driver QDXTLMV)");
    app.require_subcommand(1);
    AddCommonOptions(app, o);

    Command(app, "info", "Driver name, banner and default line settings", "  qdxpoll info\n");

    auto* read = Command(app, "read", "Read one or more points",
                         "  qdxpoll -p ttyUSB0 read 01K1M1                 measured value of unit 01\n"
                         "  qdxpoll -p ttyUSB0 read 01K1M1 02K1M1 --json   two units, as JSON\n"
                         "  qdxpoll -p ttyUSB0 read 01K1S1 --type u16      set value as a 16-bit integer\n"
                         "  qdxpoll -p ttyUSB0 read 01K1XA --bit 3         bit 3 (of a u16; --width 32 with\n"
                         "                                                 --type s32/u32 for bits 16-31)\n");
    read->add_option("ADDRESS", o->addresses, "Point addresses, e.g. 01K1M1")->required();
    AddTypeOption(read, o);
    read->add_option("--bit", o->bit, "Read one bit (read-bit request); the type then defaults to u16")
        ->check(CLI::Range(0, 31));
    read->add_option("--width", o->width,
                     "Which value the bit comes from: 16 (the 16-bit value, bits 0-15) or 32 (the 32-bit "
                     "value of s32, u32 or float, bits 0-31); default by type")
        ->check(CLI::IsMember({16, 32}));

    auto* write = Command(app, "write", "Write one point",
                          "  qdxpoll -p ttyUSB0 write 01K1S1 180 --verify   set value, read back\n"
                          "  qdxpoll -p ttyUSB0 write 01K1XA 2 --type u16   alarm 1 type\n");
    write->add_option("ADDRESS", o->write_address, "Point address, e.g. 01K1S1")->required();
    write->add_option("VALUE", o->value, "Decimal value, e.g. 25.5")->required();
    AddTypeOption(write, o);
    write->add_flag("--verify", o->verify, "Read the value back and compare (at the unit's resolution)");

    auto* poll = Command(app, "poll", "Read points every interval, one line a cycle; Ctrl-C ends",
                         "  qdxpoll -p ttyUSB0 poll 01K1M1 01K1S1            once a second until Ctrl-C\n"
                         "  qdxpoll -p ttyUSB0 poll 01K1M1 -i 0.2 -n 100 --csv > log.csv\n");
    poll->add_option("ADDRESS", o->addresses, "Point addresses")->required();
    AddTypeOption(poll, o);
    poll->add_option("-i,--interval", o->interval_s, "Seconds between cycles")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    poll->add_option("-n,--count", o->count, "Number of cycles (0: until Ctrl-C)")
        ->check(CLI::Range(0, 1000000000))
        ->capture_default_str();

    auto* watch = Command(app, "watch",
                          "Poll as poll does and show the points live in a browser: a chart, the statistics, "
                          "the last failures and their causes, a write form (with --allow-writes); Ctrl-C ends",
                          "  qdxpoll -p ttyUSB0 watch 01K1M1 01K1S1            then open the address it prints\n"
                          "  qdxpoll -p ttyUSB0 watch 01K1M1 01K1S1 --allow-writes --http 8080\n");
    watch->add_option("ADDRESS", o->addresses, "Point addresses")->required();
    AddTypeOption(watch, o);
    watch->add_option("-i,--interval", o->interval_s, "Seconds between cycles")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    watch->add_option("-n,--count", o->count, "Number of cycles (0: until Ctrl-C)")
        ->check(CLI::Range(0, 1000000000))
        ->capture_default_str();
    AddPageOptions(watch, o);

    auto* scan = Command(app, "scan", "Find the unit addresses that answer an identifier",
                         "  qdxpoll -p ttyUSB0 scan M1                    units 00-99, channel 1\n"
                         "  qdxpoll -p ttyUSB0 scan M1 --units 1,3,5-9 --channel 2\n");
    scan->add_option("IDENTIFIER", o->identifier, "Parameter identifier, e.g. M1")->required();
    scan->add_option("-c,--channel", o->channel, "Channel 0..8")
        ->check(CLI::Range(0, 8))
        ->capture_default_str();
    scan->add_option("--units", o->units, "Unit addresses to try, e.g. 0-99 or 1,3,5-9 (default 0-99)");
    AddTypeOption(scan, o);

    auto* probe = Command(app, "probe", "Find the line settings a unit answers at",
                          "  qdxpoll -p ttyUSB0 probe                      unit 01, M1, 1200-19200 baud\n"
                          "  qdxpoll -p ttyUSB0 probe --units 5 --line 38400,8N1   also try 38400,8N1\n");
    probe->add_option("IDENTIFIER", o->identifier, "Identifier to poll (default M1)");
    probe->add_option("-c,--channel", o->channel, "Channel 0..8")
        ->check(CLI::Range(0, 8))
        ->capture_default_str();
    probe->add_option("--units", o->units, "Unit addresses to poll, e.g. 1 or 1-3 (default 1)");

    auto* save = Command(app, "save", "Read every identifier of a unit and print its settings as TOML",
                         "  qdxpoll -p ttyUSB0 save 01 > unit01.toml\n"
                         "  qdxpoll -p ttyUSB0 save 01 --channel all --output unit01.toml\n");
    save->add_option("UNIT", o->unit_text, "Unit address 0-99, e.g. 01")->required();
    save->add_option("-c,--channel", o->channels, "Channel 0-8, or all (those that answer M1); default 1");
    save->add_option("-o,--output", o->output_file, "Write the file (replaced only once the save is done)");

    auto* diff = Command(app, "diff",
                         "The settings (read/write identifiers) two units differ in; each side a saved file or a "
                         "live unit",
                         "  qdxpoll -p ttyUSB0 diff 01 02                  two live units\n"
                         "  qdxpoll -p ttyUSB0 diff unit01.toml 02 --json  a file and a live unit\n"
                         "  qdxpoll diff unit01.toml unit02.toml           two files (no port needed)\n"
                         "Exit: 0 the same, 1 they differ, 69 some identifiers could not be compared.\n");
    diff->add_option("A", o->side_a, "A settings file, or a unit address (01) read now")->required();
    diff->add_option("B", o->side_b, "The same for the other side")->required();
    diff->add_option("-c,--channel", o->channels,
                     "Channel 0-8 or all of a live unit (default: the file's channels, else 1)");
    diff->add_flag("--all", o->all_identifiers,
                   "Also the read-only identifiers (measured values, states, monitors); without it the settings");

    auto* restore = Command(app, "restore",
                            "Write a saved file's settings to a unit (or clone them to several): shows the plan, "
                            "then writes what differs, in the unit's order, each read back",
                            "  qdxpoll -p ttyUSB0 restore unit01.toml --to 01 --dry-run   the plan only\n"
                            "  qdxpoll -p ttyUSB0 restore unit01.toml --to 02,05-09 --yes\n"
                            "  qdxpoll -p ttyUSB0 restore unit01.toml --to 02 --only S1,P1,I1,D1\n");
    restore->add_option("FILE", o->settings_file, "A file that 'qdxpoll save' wrote")->required();
    restore->add_option("--to", o->to_units, "Unit addresses to write to, e.g. 02 or 02,05-09")->required();
    restore->add_option("--only", o->only, "Only these identifiers, e.g. S1,P1 (also G1, J1, SR, ZA, which "
                                           "operate the unit and are left out otherwise)");
    restore->add_flag("--dry-run", o->dry_run, "Show the plan and write nothing");
    restore->add_flag("-y,--yes", o->yes, "Write without asking (otherwise a confirmation typed on a terminal)");

    Command(app, "identifiers", "The 79 identifiers: meaning, access, range and decimals",
            "  qdxpoll identifiers\n  qdxpoll identifiers --csv\n");
    Command(app, "list-ports", "Serial devices of this machine and their driver port names",
            "  qdxpoll list-ports\n");

    auto* demo = Command(app, "demo",
                         "Guided tour against the simulator (started on a pseudo-terminal) or, with --port, "
                         "a real unit",
                         "  qdxpoll demo\n  qdxpoll demo --port ttyUSB0 --unit 5\n");
    demo->add_option("--simulator", o->simulator_path,
                     "Simulator program (default: QDXPOLL_SIMULATOR, then beside qdxpoll, then the build tree)");
    demo->add_option("-u,--unit", o->unit, "Unit address to use, 0..99")
        ->check(CLI::Range(0, 99))
        ->capture_default_str();
    AddPageOptions(demo, o);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::cout << app.help();
        return kExitOk;
    } catch (const CLI::CallForAllHelp&) {
        std::cout << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::CallForVersion& e) {
        std::cout << e.what() << "\n";
        return kExitOk;
    } catch (const CLI::ParseError& e) {
        std::cerr << "qdxpoll: " << e.what() << "\n"
                  << Suggestions(app, argc, argv) << "Run 'qdxpoll --help' for usage.\n";
        return kExitUsage;
    }
    for (CLI::App* cmd : app.get_subcommands()) o->command = cmd->get_name();
    for (auto& c : o->parity) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return -1;
}

bool ParseLineText(const std::string& text, LineValues* line) {
    unsigned baud = 0, data_bits = 0;
    char parity = 0;
    char stop[8] = {};
    int used = 0;
    if (std::sscanf(text.c_str(), "%u%*[,/ ]%1u%c%7[0-9.]%n", &baud, &data_bits, &parity, stop, &used) != 4 ||
        used != static_cast<int>(text.size()))
        return false;
    const char* letter = std::strchr(kParityLetters, std::toupper(static_cast<unsigned char>(parity)));
    if (baud < 1 || baud > 65535 || data_bits < 5 || data_bits > 8 || letter == nullptr || parity == 0) return false;
    const std::string s = stop;
    if (s != "1" && s != "1.5" && s != "2") return false;
    line->baud_rate = static_cast<uint16_t>(baud);
    line->data_bits = static_cast<uint16_t>(data_bits);
    line->parity = static_cast<uint16_t>(letter - kParityLetters);
    line->stop_bits = s == "1" ? 0 : s == "1.5" ? 1 : 2;
    return true;
}

std::string LineText(const LineValues& line) {
    return std::to_string(line.baud_rate) + "," + std::to_string(line.data_bits) +
           (line.parity < 5 ? kParityLetters[line.parity] : '?') + StopBitsName(line.stop_bits);
}

LineValues ResolveLine(const Options& o, const LineValues& defaults) {
    LineValues line = defaults;
    if (!o.line.empty()) {
        if (o.baud || o.data_bits || !o.stop_bits.empty() || !o.parity.empty())
            throw ToolError(kExitUsage, "give the line either as --line or as --baud, --data-bits, --parity and "
                                        "--stop-bits, not both");
        if (!ParseLineText(o.line, &line))
            throw ToolError(kExitUsage, "--line takes BAUD,DPS: baud rate, data bits 5-8, parity N O E M or S "
                                        "and stop bits 1, 1.5 or 2, e.g. 9600,7O2 or 19200,8N1");
        return line;
    }
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

double StopBitsCount(uint16_t code) { return code == 0 ? 1.0 : code == 1 ? 1.5 : 2.0; }

int SafeTimeoutMs(const LineValues& line, int interval_ms) {
    return rexf::SafeReplyTimeoutMs(interval_ms, line.baud_rate, line.data_bits, line.parity != 0,
                                    StopBitsCount(line.stop_bits));
}

bool ParseUnitList(const std::string& text, std::vector<int>* units, std::string* why) {
    units->clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        const std::string part = text.substr(start, comma - start);
        int a = -1, b = -1, used = 0;
        const int n = std::sscanf(part.c_str(), "%d%n-%d%n", &a, &used, &b, &used);
        const bool whole = used == static_cast<int>(part.size()) && !part.empty() &&
                           std::isdigit(static_cast<unsigned char>(part[0]));
        if (n == 1) b = a;
        if (!whole || n < 1 || a < 0 || b > 99 || a > b) {
            *why = "unit list \"" + text + "\": \"" + part + "\" is not a unit 0-99 or a range FIRST-LAST; e.g. "
                   "0-99 or 1,3,5-9";
            return false;
        }
        for (int u = a; u <= b; ++u)
            if (std::find(units->begin(), units->end(), u) == units->end()) units->push_back(u);
        start = comma + 1;
    }
    return true;
}

std::string Nearest(const std::string& word, const std::vector<std::string>& candidates) {
    // Edit distance with adjacent transpositions.
    auto distance = [](const std::string& a, const std::string& b) {
        std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
        for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
        for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
        for (size_t i = 1; i <= a.size(); ++i)
            for (size_t j = 1; j <= b.size(); ++j) {
                d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + (a[i - 1] != b[j - 1])});
                if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                    d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
            }
        return d[a.size()][b.size()];
    };
    std::string best;
    size_t best_distance = 3;
    for (const std::string& c : candidates) {
        const size_t dist = distance(word, c);
        if (dist < best_distance && dist * 2 <= std::max(word.size(), c.size())) {
            best = c;
            best_distance = dist;
        }
    }
    return best;
}
