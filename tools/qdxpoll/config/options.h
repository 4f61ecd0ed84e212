// The command line of qdxpoll: what the user asked for.
#ifndef QDXPOLL_OPTIONS_H
#define QDXPOLL_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/line_file.h"
#include "config/mqtt_settings.h"
#include "host/records.h"

enum class OutputFormat { kText, kJson, kCsv };

struct Options {
    std::string command;  // a name in the command table (cli/command_table.cpp)
    std::vector<std::string> arguments;  // as given, after the program's name (to say how to go on)

    // Port and line.
    std::string port;                     // empty: none given
    std::string line;                     // --line 9600,7O2; empty: none given
    std::optional<int> baud;
    std::optional<int> data_bits;
    std::string stop_bits;                // "1", "1.5", "2"; empty: driver default
    std::string parity;                   // none|odd|even|mark|space; empty: driver default
    std::optional<int> timeout_ms;        // reply timeout; empty: per command default
    bool direct = false;                  // the driver gets the real port; no view of the wire
    bool rts = false;                     // RS-485 direction by RTS on the relay's side

    // Where the module and the simulator are.
    std::string module_path;
    std::string simulator_path;

    // Output.
    OutputFormat format = OutputFormat::kText;
    bool quiet = false;
    bool verbose = false;
    bool trace = false;

    // Points and values.
    std::string type;  // empty: float, or u16 for a bit read
    std::optional<int> bit;
    std::optional<int> width;
    std::vector<std::string> addresses;
    std::string write_address;
    std::string value;
    bool verify = false;

    // poll, watch, log and mqtt: the cycle
    double interval_s = 1.0;  // 0: cycles back to back
    int count = 0;  // 0: until Ctrl-C

    // watch (also the demo's last step)
    std::string listen_address = "127.0.0.1";
    int http_port = 0;  // 0: a free one
    bool allow_writes = false;

    // scan, probe and init
    std::string identifier;
    int channel = 1;
    std::string units;  // empty: per command default

    // demo
    int unit = 1;

    // save, diff, restore
    std::string unit_text;           // save: the unit address
    std::string side_a, side_b;      // diff: each a settings file or a unit address
    std::string channels;            // save, diff: a channel 0-8 or "all"; empty: not given
    std::string output_file;         // save: --output
    bool all_identifiers = false;    // diff: --all, the read-only identifiers too; restore: --all, the
                                     // identifiers the manuals at hand do not describe too
    std::string settings_file;       // restore: the file
    std::string to_units;            // restore: --to, a unit list
    std::string only;                // restore: --only, identifiers
    bool dry_run = false;
    bool yes = false;

    // The history: log, watch --db, write --db, export
    // db_file (below, also from --config's database): --db FILE, export's FILE
    double keep_days = 0;            // --keep-days; 0: kept for ever
    double keep_mb = 0;              // --keep-mb; 0: no limit
    bool reassign_db = false;        // --reassign-db: a history recorded for another line goes to this one
    std::string from_time, to_time;  // export: --from, --to; empty: the first, the last
    std::string export_points;       // export: --points A,B; empty: every point recorded

    // A line in one file (--config): what it holds beyond the options above,
    // which it fills where the command line leaves them unset.
    std::string config_file;
    std::string line_name = "line1";
    std::string db_file;                    // the history's database; "" none
    std::vector<ConfigPoint> config_points;  // names, types, units, scaling
    // The only points the page and MQTT may write when the file lists
    // writable points; empty: no such list.
    std::vector<std::string> writable;
    MqttConfig mqtt;  // mqtt: the broker and what it publishes
    bool page = false;  // the file names the page (listen or http): run serves it
    std::string service_action;  // service: install, remove, start, stop or reload

    // init
    bool force = false;

    // The point of the file for an address, or null.
    const ConfigPoint* ConfigPointOf(const std::string& address) const;

    // mqtt, beyond the file's [mqtt] (with allow_writes, writable, line_name)
    MqttLimits mqtt_limits;
};

// The least interval between cycle starts that is one: the poll loop's
// waits and the driver's timeouts both count in 10 ms steps. 0 runs the
// cycles back to back, as fast as the line answers.
constexpr double kLeastIntervalS = 0.01;
// "" for an interval that is 0 or at least kLeastIntervalS; else what to give.
std::string IntervalProblem(double seconds);

// --listen ADDRESS: an IPv4 address, a name, or an IPv6 address with or
// without its brackets ("[fd00::2]", "::"); the port is --http's. "" with
// *address made the address alone (no brackets); else what is wrong.
std::string ListenAddressProblem(std::string* address);

// The point addresses of identifiers on a list of units (--units, as scan
// takes it) at one channel: "M1" on "1-2" gives 01K1M1 and 02K1M1, unit by
// unit. Six-character addresses are kept as they are. False with *why when
// the list or an entry does not hold.
bool ExpandUnitList(const std::vector<std::string>& given, const std::string& units, int channel,
                    std::vector<std::string>* addresses, std::string* why);

#endif  // QDXPOLL_OPTIONS_H
