// The options more than one command takes, and the points of the line's file.
#include "config/options.h"

#include <CLI/CLI.hpp>

const ConfigPoint* Options::ConfigPointOf(const std::string& address) const {
    for (const ConfigPoint& p : config_points)
        if (p.address == address) return &p;
    return nullptr;
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

void AddCycleOptions(CLI::App* cmd, Options* o) {
    cmd->add_option("-i,--interval", o->interval_s, "Seconds between cycles")
        ->check(CLI::Range(0.0, 86400.0))
        ->capture_default_str();
    cmd->add_option("-n,--count", o->count, "Number of cycles (0: until Ctrl-C)")
        ->check(CLI::Range(0, 1000000000))
        ->capture_default_str();
}

void AddDbOption(CLI::App* cmd, Options* o) {
    cmd->add_option("--db", o->db_file,
                    "The line's history: an SQLite file, made when missing (default: the --config file's database)");
}

void AddRetentionOptions(CLI::App* cmd, Options* o) {
    cmd->add_option("--keep-days", o->keep_days, "Delete samples older than this many days (default: keep all)")
        ->check(CLI::Range(0.0, 100000.0));
    cmd->add_option("--keep-mb", o->keep_mb, "Delete the oldest samples while they take more than this many MB")
        ->check(CLI::Range(0.0, 10000000.0));
}
