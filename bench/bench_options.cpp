// qdxbench's options read by CLI11, alone in this file since its header is
// slow to compile.
#include "bench_options.h"

#include <CLI/CLI.hpp>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qdxbench {
namespace {

// A whole number of at least `least`, its default shown in --help.
void AddCount(CLI::App* app, const char* name, int* value, int least, const char* text) {
    const std::string floor = "at least " + std::to_string(least);
    CLI::Validator at_least(
        [least, floor](std::string& input) {
            long long v = 0;
            return CLI::detail::lexical_cast(input, v) && v >= least && v <= INT_MAX ? std::string() : floor;
        },
        floor);
    app->add_option(name, *value, text)->check(at_least)->capture_default_str();
}

}  // namespace

Options ParseOptions(int argc, char** argv) {
    Options o;
    CLI::App app(
        "Measures the QDXTLMV module on pseudo-terminals against rexfsim, beside a raw\n"
        "poll/read/write loop and libmodbus RTU; prints a table, then KEY=VALUE lines.",
        "qdxbench");
    AddCount(&app, "--rounds", &o.rounds, 5, "Unpaced rounds");
    AddCount(&app, "--round-ms", &o.round_ms, 50, "Milliseconds of an unpaced round a contender");
    AddCount(&app, "--paced-rounds", &o.paced_rounds, 5, "Paced rounds at line speed");
    AddCount(&app, "--paced-round-ms", &o.paced_round_ms, 200, "Milliseconds of a paced round");
    AddCount(&app, "--save-rounds", &o.save_rounds, 1, "Saves of a whole unit (about 12 s a round)");
    AddCount(&app, "--history-seconds", &o.history_seconds, 0,
             "qdxpoll log and poll of 20 points for this long each (0: none)");
    AddCount(&app, "--mqtt-rounds", &o.mqtt_rounds, 0, "Rounds of qdxpoll mqtt (about 20 s a round; 0: none)");
    app.add_flag("--mqtt-only", o.mqtt_only, "Only the qdxpoll mqtt figures");
    // The slope is taken after the settling time: at least 5 minutes of it.
    app.add_option("--soak-minutes", o.soak_minutes,
                   "qdxpoll watch --db with faults for this long, its memory measured (0: none; else at least 10)")
        ->check(CLI::Validator(
            [](std::string& input) {
                long long v = -1;
                return CLI::detail::lexical_cast(input, v) && (v == 0 || (v >= 10 && v <= INT_MAX))
                           ? std::string()
                           : std::string("0, or at least 10");
            },
            "0 or >= 10"))
        ->capture_default_str();
    app.add_option("--soak-qdxpoll", o.soak_qdxpoll, "The qdxpoll the soak runs (default: the one built here)")
        ->check(CLI::ExistingFile);
    app.add_flag("--soak-only", o.soak_only, "Only the soak's figure");
    app.add_flag("-v,--verbose", o.verbose, "Print each round's figures to stderr");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        std::exit(app.exit(e));
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "qdxbench: %s (try --help)\n", e.what());
        std::exit(2);
    }
    return o;
}

}  // namespace qdxbench
