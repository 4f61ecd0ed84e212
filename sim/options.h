// rexfsim's command line.
#ifndef REXFSIM_OPTIONS_H
#define REXFSIM_OPTIONS_H

#include <string>
#include <vector>

#include "rexf/line_format.h"

namespace rexfsim {

struct Options {
    std::string link, device, table_file, state_file;
    int tcp_port = -1;  // --tcp: the line on 127.0.0.1:PORT (0: a free one); -1: not given
    std::vector<std::string> unit_files;  // --unit-file, each FILE or UNIT=FILE
    rexf::LineFormat line;  // the units' own line settings (--baud, --data-bits, --parity, --stop-bits)
    long pace_baud = 0;
    int response_delay_ms = 0;  // with the interval time added
    int interval_time_ms = -1;  // -1: not given
    bool realistic = false, accept_all = false;
    std::vector<int> units{1, 2, 3}, channels{1}, option_units{2};
    bool process = true, trace = false, line_check = false;
    double speed = 1.0;
    std::vector<std::string> fault_rules;
    std::string script;
    unsigned long seed = 1;
};

// Reads the command line. --help prints the help and ends the program (0);
// a bad option prints "rexfsim: ..." and ends it with 2.
Options ParseOptions(int argc, char** argv);

// Ends the program with "rexfsim: message" and exit code 2.
[[noreturn]] void Fail(const std::string& message);

}  // namespace rexfsim

#endif  // REXFSIM_OPTIONS_H
