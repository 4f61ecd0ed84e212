// The options of every command, given to CLI11: the one file of the tool
// that includes CLI11 besides the command line itself, since its header costs
// about 10 s of CPU in every file that includes it.
#include "cli/command_options.h"

#include <limits>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

void AddDemoOptions(CLI::App* demo, Options* o) {
    demo->add_option("--simulator", o->simulator_path,
                     "Simulator program (default: QDXPOLL_SIMULATOR, then beside qdxpoll, then the build tree)");
    demo->add_option("-u,--unit", o->unit, "Unit address to use, 0..99")
        ->check(CLI::Range(0, 99))
        ->capture_default_str();
    AddPageOptions(demo, o);
}

void AddExportOptions(CLI::App* e, Options* o) {
    e->add_option("FILE", o->db_file, "The line's history (the --db file of log; default: the --config file's database)");
    e->add_option("--from", o->from_time, "From this time (default: the first sample)");
    e->add_option("--to", o->to_time, "Up to this time, included (default: the last sample)");
    e->add_option("--points", o->export_points, "Point addresses, comma-separated (default: every point)");
}

void AddInitOptions(CLI::App* init, Options* o) {
    init->add_option("-o,--output", o->output_file, "The file to write (default line.toml)");
    init->add_flag("--force", o->force, "Overwrite the file if it exists");
    init->add_option("-c,--channel", o->channel, "Channel 0..8 to scan")->check(CLI::Range(0, 8))->capture_default_str();
    init->add_option("--units", o->units, "Unit addresses to try, e.g. 0-99 or 1,3,5-9 (default 0-99)");
}

void AddLogOptions(CLI::App* log, Options* o) {
    log->add_option("ADDRESS", o->addresses,
                    "Point addresses, or identifiers with --units (default: the --config file's points)");
    AddUnitListOptions(log, o);
    AddTypeOption(log, o);
    AddCycleOptions(log, o);
    AddDbOption(log, o);
    AddRetentionOptions(log, o);
}

void AddMqttOptions(CLI::App* mqtt, Options* o) {
    MqttConfig& m = o->mqtt;
    mqtt->add_option("ADDRESS", o->addresses, "Point addresses (default: the --config file's points)");
    AddTypeOption(mqtt, o);
    AddCycleOptions(mqtt, o);
    mqtt->add_option("--broker", m.broker, "The broker: mqtt://HOST:PORT, or mqtts://HOST:PORT for TLS");
    mqtt->add_option("--prefix", m.prefix, "First topic level(s)")->capture_default_str();
    mqtt->add_option("--line-name", o->line_name, "The line's topic level: PREFIX/LINE/UNIT/CHANNEL/ID")
        ->capture_default_str();
    mqtt->add_option("--client-id", m.client_id, "MQTT client id (default qdxpoll-LINE- and a random number)");
    mqtt->add_option("--username", m.username, "User name at the broker");
    mqtt->add_option("--password", m.password,
                     "Password at the broker (better: the variable QDXPOLL_MQTT_PASSWORD, which no one else sees)");
    mqtt->add_option("--tls-ca", m.tls_ca, "CA certificate file: connect with TLS, the broker checked against it");
    mqtt->add_option("--publish", m.publish, "every: each sample; change: when it changed by more than --deadband")
        ->check(CLI::IsMember({"every", "change"}))
        ->capture_default_str();
    mqtt->add_option("--deadband", m.deadband, "With --publish change: the least change published")
        ->check(CLI::Range(0.0, 1e6));
    mqtt->add_option("--max-interval", m.max_interval_s,
                     "With --publish change: publish each point at least every this many seconds (0: only on change)")
        ->check(CLI::Range(0.0, 1e6));
    mqtt->add_option("--status-interval", o->mqtt_limits.status_interval_s, "Seconds between the line's statistics on PREFIX/LINE/status")
        ->check(CLI::Range(1.0, 86400.0))
        ->capture_default_str();
    mqtt->add_option("--max-queued", o->mqtt_limits.max_queued, "Messages kept while the broker is away (then the oldest go)")
        ->check(CLI::Range(1, 10000000))
        ->capture_default_str();
    mqtt->add_option("--discovery", m.discovery, "Announce the points to Home Assistant (retained config messages)")
        ->check(CLI::IsMember({"homeassistant"}));
    mqtt->add_flag("--allow-writes", o->allow_writes,
                   "Take set values on PREFIX/LINE/UU/C/ID/set for the --writable points (each read back)");
    mqtt->add_option("--writable", o->writable,
                     "The points a set topic may write, e.g. 01K1S1,02K1S1 (default: the --config file's writable "
                     "points)")
        ->delimiter(',');
}

void AddPollOptions(CLI::App* poll, Options* o) {
    poll->add_option("ADDRESS", o->addresses,
                     "Point addresses, or identifiers with --units (default: the --config file's points)");
    AddUnitListOptions(poll, o);
    AddTypeOption(poll, o);
    AddCycleOptions(poll, o);
}

void AddRunOptions(CLI::App* run, Options* o) {
    AddCycleOptions(run, o);
    AddRetentionOptions(run, o);
}

void AddServiceOptions(CLI::App* service, Options* o) {
    service->add_option("ACTION", o->service_action, "install, remove, start, stop, or reload (its file read again)")
        ->required()
        ->check(CLI::IsMember({"install", "remove", "start", "stop", "reload"}));
}

void AddWatchOptions(CLI::App* watch, Options* o) {
    watch->add_option("ADDRESS", o->addresses,
                      "Point addresses, or identifiers with --units (default: the --config file's points)");
    AddUnitListOptions(watch, o);
    AddTypeOption(watch, o);
    AddCycleOptions(watch, o);
    AddPageOptions(watch, o);
    AddDbOption(watch, o);
    AddRetentionOptions(watch, o);
}

void AddProbeOptions(CLI::App* probe, Options* o) {
    probe->add_option("IDENTIFIER", o->identifier, "Identifier to poll (default M1)");
    probe->add_option("-c,--channel", o->channel, "Channel 0..8")->check(CLI::Range(0, 8))->capture_default_str();
    probe->add_option("--units", o->units, "Unit addresses to poll, e.g. 1 or 1-3 (default 1)");
}

void AddReadOptions(CLI::App* read, Options* o) {
    read->add_option("ADDRESS", o->addresses,
                     "Point addresses, e.g. 01K1M1, or identifiers with --units (default: the --config file's "
                     "points)");
    AddUnitListOptions(read, o);
    AddTypeOption(read, o);
    read->add_option("--bit", o->bit, "Read one bit (read-bit request); the type then defaults to u16")
        ->check(CLI::Range(0, 31));
    read->add_option("--width", o->width,
                     "Which value the bit comes from: 16 (the 16-bit value, bits 0-15) or 32 (the 32-bit "
                     "value of s32, u32 or float, bits 0-31); default by type")
        ->check(CLI::IsMember({16, 32}));
}

void AddRestoreOptions(CLI::App* restore, Options* o) {
    restore->add_option("FILE", o->settings_file, "A file that 'qdxpoll save' wrote")->required();
    restore->add_option("--to", o->to_units, "Unit addresses to write to, e.g. 02 or 02,05-09")->required();
    restore->add_option("--only", o->only, "Only these identifiers, e.g. S1,P1 (also G1, J1, SR, ZA, which "
                                           "operate the unit and are left out otherwise)");
    restore->add_flag("--all", o->all_identifiers,
                      "Also the identifiers the manuals at hand do not describe (left out otherwise, unless "
                      "--only names them)");
    restore->add_flag("--dry-run", o->dry_run, "Show the plan and write nothing");
    restore->add_flag("-y,--yes", o->yes, "Write without asking (otherwise a confirmation typed on a terminal)");
}

void AddSaveOptions(CLI::App* save, Options* o) {
    save->add_option("UNIT", o->unit_text, "Unit address 0-99, e.g. 01")->required();
    save->add_option("-c,--channel", o->channels, "Channel 0-8, or all (those that answer M1); default 1");
    save->add_option("-o,--output", o->output_file, "Write the file (replaced only once the save is done)");
}

void AddDiffOptions(CLI::App* diff, Options* o) {
    diff->add_option("A", o->side_a, "A settings file, or a unit address (01) read now")->required();
    diff->add_option("B", o->side_b, "The same for the other side")->required();
    diff->add_option("-c,--channel", o->channels,
                     "Channel 0-8 or all of a live unit (default: the file's channels, else 1)");
    diff->add_flag("--all", o->all_identifiers,
                   "Also the read-only identifiers (measured values, states, monitors); without it the settings");
}

void AddScanOptions(CLI::App* scan, Options* o) {
    scan->add_option("IDENTIFIER", o->identifier, "Parameter identifier, e.g. M1")->required();
    scan->add_option("-c,--channel", o->channel, "Channel 0..8")->check(CLI::Range(0, 8))->capture_default_str();
    scan->add_option("--units", o->units, "Unit addresses to try, e.g. 0-99 or 1,3,5-9 (default 0-99)");
    AddTypeOption(scan, o);
}

void AddWriteOptions(CLI::App* write, Options* o) {
    write->add_option("ADDRESS", o->write_address, "Point address, e.g. 01K1S1")->required();
    write->add_option("VALUE", o->value, "Decimal value, e.g. 25.5")->required();
    AddTypeOption(write, o);
    write->add_flag("--verify", o->verify, "Read the value back and compare (at the unit's resolution)");
    AddDbOption(write, o);
}

void AddTypeOption(CLI::App* cmd, Options* o) {
    cmd->add_option("--type", o->type, "Data type: u16, s16, bcd, float, s32, u32, state (default float)")
        ->check(CLI::IsMember({"u16", "s16", "bcd", "float", "s32", "u32", "state"}));
}

void AddDbOption(CLI::App* cmd, Options* o) {
    cmd->add_option("--db", o->db_file,
                    "The line's history: an SQLite file, made when missing (default: the --config file's database)");
    cmd->add_flag("--reassign-db", o->reassign_db,
                  "Give this line a history recorded for another (a file belongs to the line that made it: its "
                  "name and port; another is refused)");
}

// The page's options: watch, and the demo's last step.
void AddPageOptions(CLI::App* cmd, Options* o) {
    cmd->add_option("--http", o->http_port, "Port of the page (default, or 0: a free one, printed with the address)")
        ->check(CLI::Range(0, 65535));
    cmd->add_option("--listen", o->listen_address,
                    "Address the page is served on (default 127.0.0.1, this machine only; 0.0.0.0 or ::: every "
                    "network the machine is on; an IPv6 address with or without brackets)")
        ->capture_default_str()
        ->transform(CLI::Validator([](std::string& text) { return ListenAddressProblem(&text); }, "ADDRESS"));
    cmd->add_flag("--allow-writes", o->allow_writes,
                  "Let the page write values (each with a confirmation); without it the page is read-only "
                  "(the demo's simulator always takes writes)");
}

void AddCycleOptions(CLI::App* cmd, Options* o) {
    cmd->add_option("-i,--interval", o->interval_s, "Seconds between cycles (0: back to back)")
        ->check(CLI::Range(0.0, 86400.0))
        ->check(CLI::Validator(
            [](std::string& text) {
                double seconds = 0;
                return CLI::detail::lexical_cast(text, seconds) ? IntervalProblem(seconds) : std::string();
            },
            "0 or " + fmt::format("{:g}", kLeastIntervalS) + "..86400"))
        ->capture_default_str();
    cmd->add_option("-n,--count", o->count, "Number of cycles (0: until Ctrl-C)")
        ->check(CLI::Range(0, 1000000000))
        ->capture_default_str();
}

void AddUnitListOptions(CLI::App* cmd, Options* o) {
    cmd->add_option("--units", o->units,
                    "With identifiers (M1 S1): poll them on these units, e.g. 1-5 or 1,3,5-9 as scan takes");
    cmd->add_option("-c,--channel", o->channel, "With --units: the channel 0..8")
        ->check(CLI::Range(0, 8))
        ->capture_default_str();
}

void AddRetentionOptions(CLI::App* cmd, Options* o) {
    // 0 would keep nothing: leaving the option out keeps everything.
    const auto at_least = [](double least, std::string why) {
        return CLI::Validator(
            [least, why](std::string& text) {
                double v = 0;
                return CLI::detail::lexical_cast(text, v) && v < least ? why : std::string();
            },
            "");
    };
    cmd->add_option("--keep-days", o->keep_days, "Delete samples older than this many days (default: keep all)")
        ->check(CLI::Range(0.0, 100000.0))
        ->check(at_least(std::numeric_limits<double>::min(),
                         "0 days would keep nothing: leave --keep-days out to keep every sample"));
    cmd->add_option("--keep-mb", o->keep_mb,
                    "Delete the oldest samples while they take more than this many MB, at least 1 (default: no limit)")
        ->check(CLI::Range(0.0, 10000000.0))
        ->check(at_least(1.0, "a history holds at least 1 MB: leave --keep-mb out for no limit"));
}
