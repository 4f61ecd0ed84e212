// The command line (CLI11): the options every command takes, each command's
// from the command table, help and "did you mean".
#include "cli/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include <CLI/CLI.hpp>

#include "base/console.h"
#include "base/did_you_mean.h"
#include "base/exit_codes.h"
#include "cli/command_table.h"
#include "platform/platform.h"

namespace {

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
        "  qdxpoll -p ttyUSB0 log 01K1M1 --db line.db  keep them in the line's history (SQLite)\n"
        "  qdxpoll -p ttyUSB0 probe                    find the line settings of a unit that stays silent\n"
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
                   "Serial port, or a device server tcp:HOST:PORT or rfc2217:HOST:PORT (see 'Port names' below); demo "
                   "without it starts the simulator");
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
    app.add_flag("--rts", o->rts,
                 "RS-485 adapters without automatic direction: RTS high while sending (the serial driver's RS-485 "
                 "mode where it has one, else qdxpoll toggles RTS; on Windows the port's RTS toggle; "
                 "not with --direct)");
    app.add_option("--module", o->module_path,
                   "Driver module to load (default: QDXPOLL_MODULE, then beside qdxpoll, then the build tree)");
    auto* json = app.add_flag("--json", "One JSON object a line");
    auto* csv = app.add_flag("--csv", "Comma-separated values with a header row");
    json->excludes(csv);
    json->each([o](const std::string&) { o->format = OutputFormat::kJson; });
    csv->each([o](const std::string&) { o->format = OutputFormat::kCsv; });
    app.add_flag("-q,--quiet", o->quiet, "Hide the driver's log lines");
    app.add_flag("-v,--verbose", o->verbose, "Show the driver loaded and the effective line settings");
    app.add_option("--config", o->config_file,
                   "A line in one file (TOML): port, line settings, points, interval, page; options given "
                   "here override it ('qdxpoll init' writes one)");
    app.add_flag("--trace", o->trace,
                 "Show every frame on the wire, with time, direction and BCC check (Linux)");
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

// Whether the user gave an option, before or after the command name.
bool Given(CLI::App& app, const std::string& name) {
    if (const CLI::Option* opt = app.get_option_no_throw(name); opt != nullptr && opt->count() > 0) return true;
    for (CLI::App* cmd : app.get_subcommands())
        if (const CLI::Option* opt = cmd->get_option_no_throw(name); opt != nullptr && opt->count() > 0) return true;
    return false;
}

// The file's [mqtt], each key unless its option is given.
void ApplyMqttConfig(CLI::App& app, const MqttConfig& file, Options* o) {
    MqttConfig& m = o->mqtt;
    m.given = file.given;
    auto take = [&app](const char* option, auto* value, const auto& from) {
        if (!Given(app, option)) *value = from;
    };
    take("--broker", &m.broker, file.broker);
    take("--prefix", &m.prefix, file.prefix);
    take("--client-id", &m.client_id, file.client_id);
    take("--username", &m.username, file.username);
    take("--password", &m.password, file.password);
    take("--tls-ca", &m.tls_ca, file.tls_ca);
    take("--publish", &m.publish, file.publish);
    take("--deadband", &m.deadband, file.deadband);
    take("--max-interval", &m.max_interval_s, file.max_interval_s);
    take("--discovery", &m.discovery, file.discovery);
}

// Fills what the command line leaves unset from the configuration. Throws
// LineConfigError for points whose types differ where one --type serves.
void ApplyLineConfig(CLI::App& app, const LineConfig& c, Options* o) {
    if (!Given(app, "--port") && !c.port.empty()) o->port = c.port;
    const bool line_given = Given(app, "--line") || Given(app, "--baud") || Given(app, "--data-bits") ||
                            Given(app, "--parity") || Given(app, "--stop-bits");
    if (!line_given) {
        o->line = c.settings;
        o->baud = c.baud;
        o->data_bits = c.data_bits;
        o->parity = c.parity;
        o->stop_bits = c.stop_bits;
    }
    if (!Given(app, "--timeout") && c.timeout_ms) o->timeout_ms = c.timeout_ms;
    if (!Given(app, "--interval") && c.interval_s) o->interval_s = *c.interval_s;
    if (!Given(app, "--listen") && !c.listen_address.empty()) o->listen_address = c.listen_address;
    if (!Given(app, "--http") && c.http_port) o->http_port = *c.http_port;
    o->page = !c.listen_address.empty() || c.http_port.has_value();
    if (o->db_file.empty()) o->db_file = c.database;
    if (!Given(app, "--line-name")) o->line_name = c.name;
    o->config_points = c.points;
    ApplyMqttConfig(app, c.mqtt, o);
    if (!Given(app, "--writable")) {
        o->writable.clear();
        for (const ConfigPoint& p : c.points)
            if (p.writable) o->writable.push_back(p.address);
    }
    // The file's points are the command's when the command line gives none.
    const bool takes_points =
        o->command == "read" || o->command == "poll" || o->command == "watch" || o->command == "log" ||
        o->command == "mqtt" || o->command == "run" || o->command == "check" || o->command == "service";
    if (takes_points && o->addresses.empty()) {
        for (const ConfigPoint& p : c.points) o->addresses.push_back(p.address);
        if (!Given(app, "--type")) {
            for (const ConfigPoint& p : c.points) {
                if (p.type.empty() || p.type == o->type) continue;
                if (!o->type.empty())
                    throw LineConfigError{c.file, p.type_line, p.type_column,
                                          "point " + p.address + " is of type " + p.type + ", another point of " +
                                              o->type + ": one command reads points of one type",
                                          "give the command the points of one type, with --type"};
                o->type = p.type;
            }
        }
    }
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
    o->arguments.assign(argv + 1, argv + argc);

    for (const CommandEntry& entry : CommandTable()) {
        CLI::App* command = app.add_subcommand(entry.name, entry.help);
        command->footer(std::string("\nExamples:\n") + entry.examples + kCommonOptions);
        command->fallthrough();
        if (entry.add_options != nullptr) entry.add_options(command, o);
    }

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
                  << Suggestions(app, argc, argv) << "  hint: " << DefaultHint(kExitUsage) << "\n";
        return kExitUsage;
    }
    for (CLI::App* cmd : app.get_subcommands()) o->command = cmd->get_name();
    // A service is stopped or removed by its file's name alone, so that a
    // file broken meanwhile does not keep it running.
    const bool names_only = o->command == "service" && (o->service_action == "stop" || o->service_action == "remove");
    if (!o->config_file.empty() && !names_only) {
        LineConfig config;
        LineConfigError error;
        try {
            if (!LoadLineConfig(o->config_file, &config, &error)) throw error;
            ApplyLineConfig(app, config, o);
        } catch (const LineConfigError& e) {
            // Also what run's reload says of a file that does not load.
            ErrorLine("qdxpoll: " + e.Message(), 3);
            const std::string where = "see 'A line in one file' in the README; 'qdxpoll init' writes a commented one";
            if (e.hint.empty()) ErrorLine("  hint: " + where, 3);
            else {
                ErrorLine("  hint: " + e.hint, 3);
                ErrorLine("  (" + where + ")", 3);
            }
            return kExitUsage;
        }
    }
    const bool takes_points =
        o->command == "read" || o->command == "poll" || o->command == "watch" || o->command == "log" ||
        o->command == "mqtt" || o->command == "run" || o->command == "check" || o->command == "service";
    const bool takes_unit_list = takes_points && o->command != "mqtt";
    if (takes_unit_list && !o->units.empty()) {
        std::string why;
        if (!ExpandUnitList(o->addresses, o->units, o->channel, &o->addresses, &why)) {
            std::cerr << "qdxpoll: " << why << "\n  hint: e.g. 'qdxpoll " << o->command
                      << " M1 S1 --units 1-5' reads M1 and S1 on units 01 to 05\n";
            return kExitUsage;
        }
    }
    if (takes_points && o->addresses.empty() && !names_only) {
        std::cerr << "qdxpoll: " << o->command << ": ADDRESS is required (or --config with [[point]] tables)\n"
                  << "  hint: run 'qdxpoll " << o->command << " --help' for usage\n";
        return kExitUsage;
    }
    if ((o->command == "run" || o->command == "check" || o->command == "service") && o->config_file.empty()) {
        std::cerr << "qdxpoll: " << o->command << ": the line's file is required: --config LINE.toml\n"
                  << "  hint: 'qdxpoll init' writes one; see 'Run a line as a service' in the README\n";
        return kExitUsage;
    }
    const bool needs_history = o->command == "log" || o->command == "export";
    if (needs_history && o->db_file.empty()) {
        std::cerr << "qdxpoll: " << o->command << ": the history's file is required: "
                  << (o->command == "log" ? "--db FILE" : "FILE") << " (or database in the --config file)\n"
                  << "Run 'qdxpoll " << o->command << " --help' for usage.\n";
        return kExitUsage;
    }
    for (auto& c : o->parity) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return -1;
}

bool ReadOptionsAgain(const std::vector<std::string>& arguments, Options* options) {
    std::vector<std::string> words{"qdxpoll"};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    return ParseCommandLine(static_cast<int>(words.size()), argv.data(), options) < 0;
}
