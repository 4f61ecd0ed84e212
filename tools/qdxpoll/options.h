// The command line of qdxpoll: what the user asked for, and the line
// settings it resolves to.
#ifndef QDXPOLL_OPTIONS_H
#define QDXPOLL_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/records.h"

enum class OutputFormat { kText, kJson, kCsv };

struct Options {
    std::string command;  // info, read, write, poll, watch, scan, probe, save, diff, restore, identifiers, list-ports, demo

    // Port and line.
    std::string port;                     // empty: none given
    std::string line;                     // --line 9600,7O2; empty: none given
    std::optional<int> baud;
    std::optional<int> data_bits;
    std::string stop_bits;                // "1", "1.5", "2"; empty: driver default
    std::string parity;                   // none|odd|even|mark|space; empty: driver default
    std::optional<int> timeout_ms;        // reply timeout; empty: per command default
    bool direct = false;                  // the driver gets the real port; no view of the wire

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

    // poll
    double interval_s = 1.0;
    int count = 0;  // 0: until Ctrl-C

    // watch (also the demo's last step)
    std::string listen_address = "127.0.0.1";
    int http_port = 0;  // 0: a free one
    bool allow_writes = false;

    // scan and probe
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
    bool all_identifiers = false;    // diff: --all, the read-only identifiers too
    std::string settings_file;       // restore: the file
    std::string to_units;            // restore: --to, a unit list
    std::string only;                // restore: --only, identifiers
    bool dry_run = false;
    bool yes = false;
};

// Parses the command line into *options. Returns -1 to go on, or the exit
// code to end with (0 after --help or --version, 64 after a usage error,
// with the message already printed).
int ParseCommandLine(int argc, char** argv, Options* options);

// The line values the options ask for, each unset one taken from the
// driver's defaults. Throws ToolError (64) for a --line that does not read,
// or one given together with --baud, --data-bits, --parity or --stop-bits.
LineValues ResolveLine(const Options& options, const LineValues& defaults);

// Reads "9600,7O2" (baud, data bits, parity letter N O E M S, stop bits 1,
// 1.5 or 2); false when it does not read.
bool ParseLineText(const std::string& text, LineValues* line);
// "9600,7O2", the --line form of the line values.
std::string LineText(const LineValues& line);

// Human spellings of the line value codes.
const char* ParityName(uint16_t code);
const char* StopBitsName(uint16_t code);
// The stop bits a stop-bit code stands for: 1, 1.5 or 2.
double StopBitsCount(uint16_t code);
// "9600 baud, 7 data bits, odd parity, 2 stop bits"
std::string DescribeLine(const LineValues& line);

// Reply timeout in the driver's 10 ms units, rounded up: 95 ms -> 10.
int32_t TimeoutUnits(int timeout_ms);

// The reply timeout that an answer from a unit with this interval time
// always meets at the line's settings (a multiple of 10 ms).
int SafeTimeoutMs(const LineValues& line, int interval_ms);

// Unit addresses from "1,3,5-9" (each 0..99); false with *why set when the
// text does not read.
bool ParseUnitList(const std::string& text, std::vector<int>* units, std::string* why);

// The candidate nearest to word within two edits, or "".
std::string Nearest(const std::string& word, const std::vector<std::string>& candidates);

#endif  // QDXPOLL_OPTIONS_H
