// qdxpoll end to end: the built tool against the simulator, checking what
// engineers and scripts rely on: values, output forms, exit codes with one
// clear message each, and the frame trace.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#ifdef QDX_WATCH
#include <httplib.h>

#include "tests/support/browser.h"
#endif
#include "rexf/settings_file.h"
#include "tests/support/ser2net.h"
#include "tests/support/simulator.h"
#include "support/mqtt_broker.h"
#include "tools/qdxpoll/base/cp437.h"
#include "tools/qdxpoll/config/line_file.h"
#include "tools/qdxpoll/diagnosis/frame_decoder.h"
#include "tools/qdxpoll/history/history_store.h"
#include "tools/qdxpoll/readings/values.h"
#include "tools/qdxpoll/settings/unit_settings.h"

namespace {

std::string ToolPath() {
#ifdef QDX_QDXPOLL_PATH
    return QDX_QDXPOLL_PATH;
#else
    return std::string();
#endif
}

struct ToolRun {
    int exit_code = -1;
    std::string out, err;
    double seconds = 0;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// While qdxpoll runs: its process id and the file its stderr goes to.
using Meanwhile = std::function<void(pid_t, const std::string& err_path)>;

// Runs qdxpoll with args, stdout and stderr kept apart; killed after 60 s.
// While it runs, `meanwhile` is called (once).
ToolRun RunTool(const std::vector<std::string>& args, const Meanwhile& meanwhile = nullptr) {
    char out_name[] = "/tmp/qdxpoll-out-XXXXXX";
    char err_name[] = "/tmp/qdxpoll-err-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const int err_fd = mkstemp(err_name);
    std::vector<std::string> store{ToolPath()};
    store.insert(store.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : store) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    ToolRun run;
    const auto started = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        // No terminal to answer a question: what a script meets.
        const int null_fd = open("/dev/null", O_RDONLY);
        dup2(null_fd, STDIN_FILENO);
        dup2(out_fd, STDOUT_FILENO);
        dup2(err_fd, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_fd);
    close(err_fd);
    if (meanwhile) meanwhile(pid, err_name);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = Slurp(out_name);
    run.err = Slurp(err_name);
    unlink(out_name);
    unlink(err_name);
    return run;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// The line of the file text that holds part (from 1).
int LineOf(const std::string& text, const std::string& part) {
    const size_t at = text.find(part);
    return at == std::string::npos ? -1 : static_cast<int>(std::count(text.begin(), text.begin() + at, '\n')) + 1;
}

int CountLinesStartingWith(const std::string& text, const std::string& prefix) {
    int n = 0;
    for (const auto& line : Lines(text)) n += line.rfind(prefix, 0) == 0;
    return n;
}

class QdxpollTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
        std::string error;
        ASSERT_TRUE(sim_.Start({"--no-drift"}, {}, &error)) << error;
    }

    // Runs qdxpoll on the simulator's line, driver log hidden.
    ToolRun Tool(std::vector<std::string> args, const Meanwhile& meanwhile = nullptr) {
        args.insert(args.begin(), {"--port", sim_.path(), "--quiet"});
        return RunTool(args, meanwhile);
    }

    qdxtest::Simulator sim_;
};

TEST_F(QdxpollTest, ReadsWritesPollsAndScans) {
    ASSERT_EQ(sim_.Command("set 1 1 PB -100").substr(0, 2), "ok");
    struct Case {
        std::vector<std::string> args;
        std::string expected;  // in standard output
    } cases[] = {
        {{"read", "01K1M1"}, "01K1M1  unit 01 ch 1 M1  float = 24  [0024.0]  ("},
        {{"read", "01K1PB", "--type", "s16"}, "s16 = -100"},
        {{"read", "01K1S1", "--type", "bcd"}, "bcd = 0150"},
        {{"read", "01K1S1", "--bit", "1"}, "bit 1 = 1"},  // u16 by default: 150 = 0b10010110
        {{"read", "01K1O2", "--type", "float"}, "float = 12.2"},
        {{"write", "01K1S1", "42.5", "--verify"}, "float := 42.5  written and read back"},
        {{"write", "02K1S1", "0345", "--type", "bcd"}, "bcd := 0345  written"},
        {{"scan", "M1", "--units", "0-4", "--timeout", "30"},
         "3 of 5 unit addresses answer M1 on channel 1: 01 02 03"},
        {{"demo", "--unit", "3", "--allow-writes"}, "not written: no terminal to ask on"},
    };
    for (const Case& c : cases) {
        const ToolRun run = Tool(c.args);
        EXPECT_EQ(run.exit_code, 0) << c.args[0] << " " << c.args[1] << "\n" << run.err;
        EXPECT_NE(run.out.find(c.expected), std::string::npos) << run.out;
    }
    // The writes reached the controllers.
    EXPECT_EQ(sim_.Command("get 1 1 S1"), "ok 0042.5");
    EXPECT_EQ(sim_.Command("get 2 1 S1"), "ok 0345.0");
    EXPECT_EQ(sim_.Command("get 3 1 S1"), "ok 0150.0") << "the demo wrote to a real unit without asking";

    const ToolRun poll = Tool({"poll", "01K1M1", "02K1M1", "--count", "3", "--interval", "0.05"});
    EXPECT_EQ(poll.exit_code, 0) << poll.err;
    const std::regex cycle(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}  01K1M1=24 \(.* ms\)  02K1M1=24 \(.*)");
    int cycles = 0;
    for (const auto& line : Lines(poll.out)) cycles += std::regex_search(line, cycle);
    EXPECT_EQ(cycles, 3) << poll.out;
    // requests, attempts, good, retried, no answer
    EXPECT_TRUE(std::regex_search(poll.out, std::regex(R"(01K1M1 +3 +3 +3 +0 +0 )"))) << poll.out;
}

// An interval is 0 (back to back) or at least 10 ms. Cycles that outgrow
// it are said once a run, however often the line slows and recovers.
TEST_F(QdxpollTest, AnIntervalIsOneAndALagIsSaidOnce) {
    for (const char* none : {"1e-9", "0.005"}) {
        const ToolRun run = Tool({"poll", "01K1M1", "--interval", none, "--count", "1"});
        EXPECT_EQ(run.exit_code, 64) << run.err;
        EXPECT_NE(run.err.find("is none: give 0 (cycles back to back) or at least 0.01 s"), std::string::npos)
            << run.err;
    }
    const ToolRun slowing = Tool({"poll", "01K1M1", "02K1M1", "--interval", "0.1", "--count", "50", "-t", "100"},
                                 [&](pid_t, const std::string&) {
                                     for (const char* mute : {"on", "off", "on", "off"}) {
                                         std::this_thread::sleep_for(std::chrono::milliseconds(1200));
                                         sim_.Command(std::string("mute 2 ") + mute);
                                     }
                                 });
    EXPECT_EQ(CountLinesStartingWith(slowing.err, "qdxpoll: note: a cycle takes "), 1) << slowing.err;
}

TEST_F(QdxpollTest, JsonAndCsvForScripts) {
    ASSERT_EQ(sim_.Command("set 1 1 PB -100").substr(0, 2), "ok");
    const ToolRun json = Tool({"--json", "read", "01K1M1", "01K1PB", "--type", "s32"});
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const auto lines = Lines(json.out);
    ASSERT_EQ(lines.size(), 2u) << json.out;
    const auto first = nlohmann::json::parse(lines[0]);
    const auto second = nlohmann::json::parse(lines[1]);
    EXPECT_EQ(first["address"], "01K1M1");
    EXPECT_EQ(first["value"], 24);
    EXPECT_EQ(first["raw"], "0024.0");
    EXPECT_EQ(first["status"], "ok");
    EXPECT_EQ(second["value"], -100);
    EXPECT_EQ(second["identifier"], "PB");

    const ToolRun csv = Tool({"--csv", "poll", "01K1O2", "--count", "2", "--interval", "0"});
    ASSERT_EQ(csv.exit_code, 0) << csv.err;
    const auto rows = Lines(csv.out);
    ASSERT_EQ(rows.size(), 5u) << csv.out;  // header, two readings and the summaries, in one table
    EXPECT_EQ(rows[0].rfind("time,cycle,", 0), 0u);
    const std::regex row(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,2,read,01K1O2,1,1,O2,float,,12.2,0012.2,ok,)");
    EXPECT_TRUE(std::regex_search(rows[2], row)) << rows[2];
    auto columns = [](const std::string& line) { return std::count(line.begin(), line.end(), ',') + 1; };
    EXPECT_EQ(columns(rows[3]), columns(rows[0])) << rows[3];
    EXPECT_NE(rows[3].find(",summary,01K1O2,"), std::string::npos) << rows[3];
    EXPECT_EQ(columns(rows[4]), columns(rows[0])) << rows[4];
    EXPECT_NE(rows[4].find(",summary,line,"), std::string::npos) << rows[4];

    const ToolRun summary = Tool({"--json", "poll", "01K1M1", "--count", "1", "--interval", "0"});
    const auto records = Lines(summary.out);
    ASSERT_EQ(records.size(), 3u) << summary.out;
    const auto stats = nlohmann::json::parse(records[1]);
    EXPECT_EQ(stats["action"], "summary");
    EXPECT_TRUE(stats.contains("time"));
    EXPECT_EQ(stats["requests"], 1);
    EXPECT_EQ(stats["missing"], 0);
    const auto line = nlohmann::json::parse(records[2]);
    EXPECT_EQ(line["address"], "line");
    EXPECT_EQ(line["outages"], 0);
    EXPECT_EQ(line["cycles"], 1);
}

// The waits a message tells of, in ms: the run must have taken at least as
// long, or the message claims a wait that did not happen.
double ClaimedWaitMs(const std::string& text) {
    double ms = 0;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"((\d+) (?:polls|selects) of [^(]*\(nothing within (\d+) ms of each)")))
        ms += std::stod(m[1]) * std::stod(m[2]);
    if (std::regex_search(text, m, std::regex(R"(each waited the (\d+) ms reply timeout)"))) ms += 3 * std::stod(m[1]);
    if (std::regex_search(text, m, std::regex(R"(then nothing for (\d+) ms)"))) ms += std::stod(m[1]);
    return ms;
}

// Every failure, a sick line's above all, ends with one line naming its
// cause, and the exit code of its kind.
TEST_F(QdxpollTest, EachFailureHasItsOwnExitCodeAndOneMessage) {
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exit_code;
        std::string message;
        const char* sim_command;  // sent to the simulator first, or null
        const char* cleanup;      // sent to the simulator after, or null
        std::string hint;         // part of the hint line
    } cases[] = {
        {"bad address", {"read", "01K9M1"}, 65, "invalid address \"01K9M1\"", nullptr, nullptr,
         "an address is six characters UUKCII"},
        {"address with a byte after it", {"write", "01K1S1 ", "25"}, 65, "invalid address \"01K1S1 \"", nullptr,
         nullptr, "an address is six characters UUKCII"},
        {"silent unit", {"read", "07K1M1", "--timeout", "30"}, 69,
         "no answer from unit 07 to 3 polls of M1 (nothing within 30 ms of each)", nullptr, nullptr,
         "'qdxpoll probe --units 7'"},
        {"identifier the unit lacks", {"read", "01K1M2", "-t", "150"}, 69,
         "unit 01 answers EOT to the poll of M2: it does not have this identifier", nullptr, nullptr,
         "fitted only on units with that option"},
        {"write of a read-only identifier", {"write", "01K1M1", "50"}, 76,
         "hint: M1 (measured value (PV)) is read-only", nullptr, nullptr, "a unit answers every write of it with NAK"},
        {"NAK on read", {"read", "01K1M1", "-t", "150"}, 69, "unit 01 answers NAK to the poll of M1 (3 of 3",
         "script nak,nak,nak", nullptr, "a frame it took for damaged"},
        {"NAK on write", {"write", "01K1S1", "25"}, 76,
         "unit 01 refused the write of S1 := 25 (NAK to 3 selects); it holds 0150.0", "script nak,nak,nak", nullptr,
         "takes the unit's own SL..SH: 0.0..400.0; 25 lies inside it, so the NAK has another cause"},
        {"bad BCC", {"read", "01K1M1"}, 69, "unit 01's replies to M1 fail the BCC check: computed 66, received 67",
         "script bad-bcc,bad-bcc,bad-bcc", nullptr, "bytes are damaged on the line"},
        {"not a number", {"read", "01K1M1"}, 69, "replied to M1 with data that is not a number: \"  ----\"",
         "set-raw 1 1 M1 \"  ----\"", "set 1 1 M1 24", "the unit has no value to give here"},
        {"not a number, with bytes beyond ASCII", {"--json", "read", "01K1M1"}, 69,
         "with data that is not a number: \"<FF><FE> 1.0\"", "set-raw 1 1 M1 \"\xFF\xFE 1.0\"", "set 1 1 M1 24",
         "the unit has no value to give here"},
        {"data the driver converts to infinity", {"read", "01K1M1"}, 69,
         "replied to M1 with data that is not a number: \"  inf \"", "set-raw 1 1 M1 \"  inf \"", "set 1 1 M1 24",
         "the unit has no value to give here"},
        {"a number beyond a float, as a state", {"read", "01K1M1", "--type", "state"}, 69,
         "replied to M1 with data that is not a number: \"1e+300\"", "set-raw 1 1 M1 \"1e+300\"", "set 1 1 M1 24",
         "the unit has no value to give here"},
        {"infinity, the driver's view only", {"--direct", "read", "01K1M1"}, 69,
         "replied to M1 with data that is not a number: the driver made inf of it", "set-raw 1 1 M1 \"1e+300\"",
         "set 1 1 M1 24", "the unit has no value to give here"},
        {"reply cut short", {"read", "01K1M1", "-t", "150"}, 69,
         "reply to the poll of M1 was cut short: 3 of 11 bytes", "script split:400", nullptr,
         "the reply timeout is too short for this unit"},
        {"write stored, its answer garbled", {"write", "01K1S1", "178"}, 75,
         "not acknowledged, but the unit holds 0178.0", "script garbage-answer,garbage-answer,garbage-answer",
         nullptr, "the write took effect and only its answer was lost"},
        {"driver's view only", {"--direct", "read", "01K1M1", "-t", "150"}, 69,
         "no valid reply from unit 01 to 3 polls of M1 (each waited the 150 ms reply timeout)",
         "script nak,nak,nak", nullptr, "--direct hides the wire"},
        {"value out of range", {"write", "01K1S1", "70000", "--type", "u16"}, 64,
         "value 70000 is out of range for type u16", nullptr, nullptr, "'qdxpoll --help'"},
        {"value the driver cannot send", {"write", "01K1S1", "10000"}, 64,
         "does not fit the driver's six-character value text", nullptr, nullptr, "'qdxpoll --help'"},
        {"bad option value", {"read", "01K1M1", "--parity", "often"}, 64, "--parity", nullptr, nullptr,
         "'qdxpoll --help'"},
        {"missing address", {"read"}, 64, "ADDRESS", nullptr, nullptr, "'qdxpoll read --help'"},
        {"bit beyond the width", {"read", "01K1S1", "--bit", "16"}, 64, "--width 32", nullptr, nullptr,
         "'qdxpoll --help'"},
        {"NAK on write of a value beyond the unit's SH", {"write", "01K1S1", "500"}, 76,
         "unit 01 refused the write of S1 := 500", "script nak,nak,nak", nullptr,
         "takes the unit's own SL..SH: 0.0..400.0; 500 lies outside it"},
        {"silent write at a unit that answers reads", {"write", "01K1S1", "26"}, 69,
         "no answer from unit 01 to 3 selects of S1 := 26", "script silence,silence,silence", nullptr,
         "so neither is the cause"},
    };
    for (const Case& c : cases) {
        if (c.sim_command) {
            ASSERT_EQ(sim_.Command(c.sim_command).rfind("ok", 0), 0u);
        }
        const ToolRun run = Tool(c.args);
        if (c.cleanup) {
            ASSERT_EQ(sim_.Command(c.cleanup).rfind("ok", 0), 0u);
        }
        EXPECT_EQ(run.exit_code, c.exit_code) << c.what << "\n" << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "qdxpoll: "), 1) << c.what << "\n" << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "  hint: "), 1) << c.what << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << "\n" << run.err;
        EXPECT_EQ(run.out.find(c.message), std::string::npos) << c.what << ": said twice\n" << run.out;
        EXPECT_NE(run.err.find("  hint: "), std::string::npos) << c.what;
        EXPECT_NE(run.err.substr(run.err.find("  hint: ")).find(c.hint), std::string::npos) << c.what << "\n"
                                                                                          << run.err;
        EXPECT_GE(run.seconds * 1000, ClaimedWaitMs(run.err)) << c.what << "\n" << run.err;
    }

    // Late answers, named with the delay measured on the wire: at least the
    // unit's own delay, and no more than a loaded machine adds to it. The
    // delays leave wide margins around the reply windows, so that a slow run
    // changes the figures, never the outcome.
    struct Late {
        const char* what;
        const char* timeout;
        int delay_ms;
        std::string message;
    } late[] = {
        {"late answers, after the last attempt", "100", 470, "later than its 100 ms reply timeout"},
        {"late answer taken by the retry", "300", 450, "the retry took that late answer as its own reply"},
    };
    for (const Late& c : late) {
        ASSERT_EQ(sim_.Command("fault delay:" + std::to_string(c.delay_ms) + ":1").rfind("ok", 0), 0u);
        const ToolRun run = Tool({"read", "01K1M1", "-t", c.timeout});
        ASSERT_EQ(sim_.Command("fault clear").rfind("ok", 0), 0u);
        EXPECT_EQ(run.exit_code, 69) << c.what << "\n" << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "qdxpoll: "), 1) << c.what << "\n" << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << "\n" << run.err;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(run.err, m, std::regex(R"(unit 01 answered the poll of M1 (\d+) ms after it)")))
            << c.what << "\n" << run.err;
        EXPECT_GE(std::stoi(m[1]), c.delay_ms) << c.what;
        EXPECT_LT(std::stoi(m[1]), c.delay_ms + 170) << c.what;
    }

    const ToolRun no_port = RunTool({"--port", "/dev/qdxpoll-no-such-port", "read", "01K1M1"});
    EXPECT_EQ(no_port.exit_code, 66);
    EXPECT_EQ(CountLinesStartingWith(no_port.err, "qdxpoll: cannot open port /dev/qdxpoll-no-such-port"), 1)
        << no_port.err;
    EXPECT_EQ(CountLinesStartingWith(no_port.err, "  hint: "), 1) << no_port.err;

    // Ctrl-C during a long wait ends the read as interrupted, with and
    // without the relay: within the timeout in flight, never after all
    // three (how soon is measured by scripts/sick-line-table.sh).
    for (const std::vector<std::string>& mode : {std::vector<std::string>{}, std::vector<std::string>{"--direct"}}) {
        std::vector<std::string> args = mode;
        args.insert(args.end(), {"read", "07K1M1", "-t", "5000"});
        const ToolRun interrupted = Tool(args, [](pid_t pid, const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            kill(pid, SIGINT);
        });
        EXPECT_EQ(interrupted.exit_code, 130) << interrupted.err;
        EXPECT_NE(interrupted.err.find("qdxpoll: interrupted: the read of M1 at unit 07"), std::string::npos)
            << interrupted.err;
        EXPECT_LT(interrupted.seconds, 5.0) << interrupted.err;
    }
}

// Identifiers on a list of units, as scan takes it; and every failure of a
// multi-point read named once, on stderr, with the values alone on stdout.
TEST_F(QdxpollTest, UnitListsReadIdentifiersOnEachUnitAndEveryFailureIsNamedOnce) {
    const struct {
        std::vector<std::string> args;
        int exit_code;
        std::vector<std::string> addresses;  // read, in this order
        std::vector<std::string> failures;   // named on stderr, once each
    } cases[] = {
        {{"read", "M1", "S1", "--units", "1-2"}, 0, {"01K1M1", "01K1S1", "02K1M1", "02K1S1"}, {}},
        {{"read", "M1", "--units", "2,7", "-t", "30"}, 69, {"02K1M1"}, {"no answer from unit 07"}},
        {{"read", "01K1M1", "07K1M1", "08K1M1", "-t", "30"}, 69, {"01K1M1"},
         {"no answer from unit 07", "no answer from unit 08"}},
        {{"poll", "M1", "--units", "3,1", "-c", "1", "-n", "1"}, 0, {"03K1M1", "01K1M1"}, {}},
    };
    for (const auto& c : cases) {
        const ToolRun run = Tool(c.args);
        const std::string what = c.args[1] + " " + c.args[2];
        EXPECT_EQ(run.exit_code, c.exit_code) << what << "\n" << run.err;
        size_t at = 0;
        for (const std::string& a : c.addresses) {
            const size_t found = run.out.find(a, at);
            EXPECT_NE(found, std::string::npos) << what << ": " << a << "\n" << run.out;
            if (found != std::string::npos) at = found;
        }
        EXPECT_EQ(run.out.find("no answer from"), std::string::npos) << what << "\n" << run.out;
        const int said =
            CountLinesStartingWith(run.err, "qdxpoll: ") - CountLinesStartingWith(run.err, "qdxpoll: note: ");
        EXPECT_EQ(said, static_cast<int>(c.failures.size())) << run.err;
        for (const std::string& f : c.failures)
            EXPECT_EQ(CountLinesStartingWith(run.err, "qdxpoll: " + f), 1) << what << "\n" << run.err;
    }
    const ToolRun refused = Tool({"read", "01K1M1", "--units", "1"});
    EXPECT_EQ(refused.exit_code, 64) << refused.err;
    EXPECT_NE(refused.err.find("--units goes with identifiers"), std::string::npos) << refused.err;
}

// scan's exit code for every mix of answers: 0 only when a unit answers
// well and none badly; a late answer is traced to its unit, never credited
// to the address polled when it came.
TEST_F(QdxpollTest, ScanExitCodesHoldForEveryMixOfAnswers) {
    struct Case {
        const char* what;
        const char* sim_command;  // sent first, or null
        std::vector<std::string> args;
        int exit_code;
        std::vector<std::string> expected;  // in stdout and stderr
    } cases[] = {
        {"all answer", nullptr, {"M1", "--units", "1-3"}, 0, {"3 of 3 unit addresses answer M1 on channel 1: 01 02 03"}},
        {"some lack the identifier", nullptr, {"M2", "--units", "1-3"}, 0,
         {"1 of 3 unit addresses answer M2 on channel 1: 02", "2 answer EOT (the unit lacks M2, or its option): 01 03"}},
        {"all lack it", nullptr, {"M2", "--units", "1,3"}, 69, {"qdxpoll: no unit has M2 on channel 1: 2 answer EOT"}},
        {"one answers badly", "set-raw 2 1 M1 \"  ----\"", {"M1", "--units", "1-3"}, 69,
         {"2 of 3 unit addresses answer M1", "qdxpoll: 1 address answers M1 badly: 02 (data not a number)"}},
        {"none answers well", "set-raw 2 1 M1 \"  ----\"", {"M1", "--units", "2,4"}, 69,
         {"qdxpoll: no unit answers M1 properly on channel 1, but 1 address answers badly: 02"}},
        {"none answers", nullptr, {"M1", "--units", "10-12"}, 69, {"qdxpoll: no unit answers M1 on channel 1"}},
        {"late answers", "fault delay:450:1", {"M1", "--units", "1,4-8"}, 69,
         {"0 of 6 unit addresses answer M1", "1 answers badly: 01 (answers", "5 silent"}},
    };
    for (const Case& c : cases) {
        if (c.sim_command) {
            ASSERT_EQ(sim_.Command(c.sim_command).rfind("ok", 0), 0u) << c.what;
        }
        std::vector<std::string> args{"scan"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = Tool(args);
        ASSERT_EQ(sim_.Command("fault clear").rfind("ok", 0), 0u);
        ASSERT_EQ(sim_.Command("set 2 1 M1 24").rfind("ok", 0), 0u);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.what << "\n" << run.out << run.err;
        for (const std::string& text : c.expected)
            EXPECT_NE((run.out + run.err).find(text), std::string::npos) << c.what << "\n" << run.out << run.err;
        EXPECT_LE(CountLinesStartingWith(run.err, "qdxpoll: "), 1) << c.what << "\n" << run.err;
    }
    // Scanning only ever polls.
    EXPECT_NE(sim_.Command("stats").find(" selects=0 "), std::string::npos) << sim_.Command("stats");
}

TEST_F(QdxpollTest, TraceShowsEveryFrameWithItsBcc) {
    const ToolRun run = Tool({"--trace", "read", "01K1M1"});
    ASSERT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.out.find("float = 24"), std::string::npos);
    const std::regex poll(R"(trace \d\d:\d\d:\d\d\.\d{3} -> <EOT>01K1M1<ENQ> +poll unit 01 ch 1 M1)");
    const std::regex reply(R"(trace \d\d:\d\d:\d\d\.\d{3} <- <STX>M1[ 0-9.]{6}<ETX><[0-9A-F]{2}> +reply M1 .*BCC [0-9A-F]{2} ok)");
    const std::regex close(R"(trace \d\d:\d\d:\d\d\.\d{3} -> <EOT> +end of transaction)");
    EXPECT_TRUE(std::regex_search(run.err, poll)) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, reply)) << run.err;
    EXPECT_TRUE(std::regex_search(run.err, close)) << run.err;
}

TEST_F(QdxpollTest, LongPortPathIsResolvedToItsDevice) {
    const std::string link = "/tmp/qdxpoll-test-link-" + std::to_string(getpid());
    ASSERT_EQ(symlink(sim_.path().c_str(), link.c_str()), 0);
    // Watching the line, qdxpoll opens the path itself; the driver gets the
    // relay's pseudo-terminal. With --direct the driver gets the device.
    const ToolRun watched = RunTool({"--port", link, "read", "01K1M1"});
    const ToolRun run = RunTool({"--port", link, "--verbose", "--direct", "read", "01K1M1"});
    unlink(link.c_str());
    EXPECT_EQ(watched.exit_code, 0) << watched.err;
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("driver port name " + sim_.path()), std::string::npos) << run.err;
    // The driver's own lines name the user's port, not the one it was given.
    EXPECT_NE(watched.err.find("started on " + link + " (the driver's /"), std::string::npos) << watched.err;
}

// The JSON records of a poll, by their action and status.
struct PollRecords {
    std::vector<nlohmann::json> readings, summaries;
    nlohmann::json line;  // the summary of the line as a whole
    int Count(const std::string& address, const std::string& status) const {
        int n = 0;
        for (const auto& r : readings) n += r["address"] == address && r["status"] == status;
        return n;
    }
};

PollRecords ParsePoll(const std::string& out) {
    PollRecords p;
    for (const auto& text : Lines(out)) {
        const auto j = nlohmann::json::parse(text, nullptr, false);
        if (!j.is_object()) continue;
        if (j["action"] == "summary" && j["address"] == "line") p.line = j;
        else if (j["action"] == "summary") p.summaries.push_back(j);
        else p.readings.push_back(j);
    }
    return p;
}

// A line left running: the simulator ends and starts again on the same link
// mid-poll (the port vanishes and comes back), with and without the relay;
// a unit that never answers rests instead of slowing every cycle.
TEST(QdxpollLineLeftRunning, LostPortComesBackAndADeadPointBacksOff) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    const std::string link = "/tmp/qdxpoll-test-lost-" + std::to_string(getpid());
    for (const std::vector<std::string>& mode : {std::vector<std::string>{}, std::vector<std::string>{"--direct"}}) {
        const std::string what = mode.empty() ? "relayed" : "--direct";
        auto sim = std::make_unique<qdxtest::Simulator>();
        std::string error;
        ASSERT_TRUE(sim->Start({"--no-drift", "--link", link}, {}, &error)) << error;
        std::vector<std::string> args{"--port", link, "--quiet", "--json"};
        args.insert(args.end(), mode.begin(), mode.end());
        for (const char* a : {"poll", "01K1M1", "07K1M1", "--interval", "0.2", "--count", "30", "-t", "30"})
            args.push_back(a);
        const ToolRun run = RunTool(args, [&](pid_t, const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            sim->Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            sim = std::make_unique<qdxtest::Simulator>();
            ASSERT_TRUE(sim->Start({"--no-drift", "--link", link}, {}, &error)) << error;
        });
        const PollRecords p = ParsePoll(run.out);
        // Samples during the outage are missing, never values; those after
        // it are the unit's again.
        EXPECT_GE(p.Count("01K1M1", "port_lost"), 2) << what << "\n" << run.err;
        for (const auto& r : p.readings)
            if (r["status"] == "port_lost") {
                EXPECT_TRUE(r["value"].is_null()) << what << r.dump();
            }
        ASSERT_FALSE(p.readings.empty()) << what << "\n" << run.err;
        const auto last = std::find_if(p.readings.rbegin(), p.readings.rend(),
                                       [](const nlohmann::json& r) { return r["address"] == "01K1M1"; });
        EXPECT_EQ((*last)["status"], "ok") << what << "\n" << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "qdxpoll: port " + link + " lost ("), 1) << what << "\n" << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "qdxpoll: port " + link + " back after"), 1) << what << "\n" << run.err;
        EXPECT_EQ(p.line["outages"], 1) << what << "\n" << run.out;
        EXPECT_GT(p.line["outage_s"].get<double>(), 0.5) << what;
        // Unit 07 is dead after 3 cycles: it rests, and is no sample then.
        ASSERT_EQ(p.summaries.size(), 2u) << what << "\n" << run.out;
        const auto& dead = p.summaries[1];
        EXPECT_EQ(dead["address"], "07K1M1");
        EXPECT_TRUE(dead.contains("dead_since")) << dead.dump();
        EXPECT_LT(dead["requests"].get<int>(), 15) << dead.dump();
        EXPECT_EQ(p.Count("07K1M1", "skipped"), 0) << what;
        EXPECT_EQ(run.exit_code, 69) << what << "\n" << run.err;  // unit 07's silence comes first
        sim->Stop();
    }
    unlink(link.c_str());
}

// Two points of unit 03 go dead at a cycle's distance, so that they rest on
// different cycles; when one answers again, the other is polled at once, not
// on its own later cycle. The simulator's script makes the points silent,
// one frame after another: unit 03's M1 from the first cycle, its S1 from
// the second.
TEST_F(QdxpollTest, ADeadPointIsPolledAgainAsSoonAsItsUnitAnswers) {
    std::string script = "script silence,silence,silence,ok";
    for (int i = 0; i < 26; ++i) script += ",silence";
    ASSERT_EQ(sim_.Command(script).rfind("ok", 0), 0u);
    const ToolRun run = Tool({"--json", "poll", "03K1M1", "03K1S1", "-n", "16", "-i", "0.1", "-t", "30"});
    const PollRecords p = ParsePoll(run.out);
    // The cycles each point was polled in, and where each answered again.
    std::map<std::string, std::vector<long>> polled, answered_again;
    std::map<std::string, bool> failed;
    for (const auto& r : p.readings) {
        const std::string a = r["address"];
        polled[a].push_back(r["cycle"]);
        if (r["status"] != "ok") failed[a] = true;
        else if (failed[a] && answered_again[a].empty()) answered_again[a].push_back(r["cycle"]);
    }
    ASSERT_EQ(answered_again.size(), 2u) << run.out << run.err;
    const long first = std::min(answered_again["03K1M1"][0], answered_again["03K1S1"][0]);
    const long second = std::max(answered_again["03K1M1"][0], answered_again["03K1S1"][0]);
    EXPECT_GE(first, 8) << "both rested before the unit answered again\n" << run.err;
    EXPECT_LE(second, first + 1) << "the other point waited for its own cycle\n" << run.out << run.err;
    EXPECT_NE(run.err.find("03K1M1 dead since"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("03K1S1 dead since"), std::string::npos) << run.err;
}

// Every polling command ends with the line's summary, the outage counted in
// it: the port vanishes and comes back mid-run (log keeps a history, mqtt
// publishes to a broker on 127.0.0.1).
TEST(QdxpollLineLeftRunning, EveryPollingCommandSumsUpTheLineAndItsOutage) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    const std::string link = "/tmp/qdxpoll-test-summary-" + std::to_string(getpid());
    const std::string db = ::testing::TempDir() + "qdxpoll-summary-" + std::to_string(getpid()) + ".db";
    support::MqttBroker broker;
    std::string error;
    const bool mqtt = support::MqttBroker::Available() && broker.Start(false, &error);
    struct Case {
        const char* command;
        std::vector<std::string> args;
        bool runs;
    } cases[] = {
        {"poll", {}, true},
        {"log", {"--db", db}, HistoryUnavailable() == nullptr},
        {"mqtt", {"--broker", "mqtt://127.0.0.1:" + std::to_string(broker.port())}, mqtt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        if (!c.runs) continue;
        auto sim = std::make_unique<qdxtest::Simulator>();
        ASSERT_TRUE(sim->Start({"--no-drift", "--link", link}, {}, &error)) << error;
        std::vector<std::string> args{"--port", link, "--quiet", c.command, "01K1M1", "-i", "0.2", "-n", "20"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = RunTool(args, [&](pid_t, const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            sim->Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(1200));
            sim = std::make_unique<qdxtest::Simulator>();
            ASSERT_TRUE(sim->Start({"--no-drift", "--link", link}, {}, &error)) << error;
        });
        if (run.err.find("built without mqtt") != std::string::npos) continue;
        EXPECT_NE(run.out.find("Statistics after "), std::string::npos) << run.out << run.err;
        EXPECT_NE(run.out.find("cycle: every 0.2 s configured"), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("port lost 1 time, "), std::string::npos) << run.out << run.err;
        EXPECT_NE(run.out.find("samples missing (the port was lost)"), std::string::npos) << run.out;
        sim->Stop();
    }
    unlink(link.c_str());
    std::filesystem::remove(db);
}

// Each exit path carries the hint of its own cause, not the one its exit
// code has by default.
TEST_F(QdxpollTest, EveryExitPathCarriesTheHintOfItsOwnCause) {
    const std::string dir = ::testing::TempDir() + "qdxpoll-hints-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string edited = dir + "/edited.toml", existing = dir + "/line.toml";
    ASSERT_EQ(Tool({"save", "01", "--output", edited}).exit_code, 0);
    std::string text = Slurp(edited);
    const size_t p1 = text.find("P1 = { value = 30.0");
    ASSERT_NE(p1, std::string::npos) << text;
    text.replace(p1, 19, "P1 = { value = 3000.0");
    std::ofstream(edited, std::ios::trunc) << text;
    std::ofstream(existing) << "# kept\n";
    // A device server whose serial device cannot be opened: it takes the
    // connection and closes it as the line is set.
    qdxtest::Ser2net server;
    std::string error;
    const bool served = qdxtest::Ser2net::Available() &&
                        server.Start(dir + "/no-such-device", qdxtest::Ser2netMode::kRfc2217, &error);
    struct Case {
        const char* what;
        std::vector<std::string> args;
        int exit_code;
        std::string message, hint;
        bool runs;
    } cases[] = {
        {"a history that is not there", {"export", dir + "/nope.db"}, 66, "the history ", "export reads a history",
         HistoryUnavailable() == nullptr},
        {"a settings file value outside its range",
         {"--port", sim_.path(), "restore", edited, "--to", "1", "--yes"},
         65,
         "P1 = 3000.0 is outside P1's range", "the file's value is what to mend", true},
        {"init over a file", {"--port", sim_.path(), "init", "--units", "1", "--output", existing}, 64, "exists",
         "add --force", true},
        {"a device server that cannot open its device", {"--port", server.PortName(), "read", "01K1M1"}, 66,
         "closed the connection twice, a second apart, as the line was set: it could not open its serial device",
         "the device server could not open its serial device", served},
        // A pseudo-terminal has no RTS line and no RS-485 mode.
        {"--rts on a port without RTS", {"--port", sim_.path(), "--rts", "read", "01K1M1"}, 66,
         "cannot drive RTS on " + sim_.path() + " for --rts", "run without --rts", true},
        {"--rts with --direct", {"--port", sim_.path(), "--rts", "--direct", "read", "01K1M1"}, 64,
         "--rts drives RTS from qdxpoll's relay", "run without --direct", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (!c.runs) continue;
        std::vector<std::string> args{"--quiet"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const ToolRun run = RunTool(args);
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "qdxpoll: "), 1) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "  hint: "), 1) << run.err;
        const size_t hint = run.err.find("  hint: ");
        EXPECT_NE(run.err.find(c.hint, hint), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("list-ports"), std::string::npos) << run.err;
    }
    EXPECT_EQ(Slurp(existing), "# kept\n");
    std::filesystem::remove_all(dir);
}

// Answers to an earlier program's polls, still on the line when qdxpoll
// opens it, are named and discarded, never taken for the first answer.
TEST_F(QdxpollTest, BytesLeftOnTheLineAtOpenAreNamedAndDiscarded) {
    // Another program's three polls; it keeps the line open, so that the
    // answers wait on it.
    const int fd = open(sim_.path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    const std::string poll = "\x04" "01K1S1\x05";
    for (int i = 0; i < 3; ++i) ASSERT_EQ(write(fd, poll.data(), poll.size()), static_cast<ssize_t>(poll.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const ToolRun run = Tool({"read", "01K1M1"});
    close(fd);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_NE(run.err.find("qdxpoll: note: 3 replies from before this run were still on " + sim_.path() +
                           ": discarded"),
              std::string::npos)
        << run.err;
    EXPECT_NE(run.out.find("01K1M1  unit 01 ch 1 M1  float = 24  [0024.0]"), std::string::npos) << run.out;
}

// The port is qdxpoll's alone: who locks (flock, as pyserial's exclusive
// mode, the driver or another qdxpoll do) is refused, and is refused; a
// reader that takes the replies is named in the hint.
TEST_F(QdxpollTest, ThePortIsOursAloneAndOthersAreNamed) {
    // qdxpoll holds the port: a locking opener is refused.
    const ToolRun polling = Tool({"poll", "01K1M1", "--interval", "0.2", "--count", "8"}, [&](pid_t, const std::string&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        const int fd = open(sim_.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd >= 0) {
            EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0) << "a second locking opener got the port";
            close(fd);
        }
        const ToolRun second = Tool({"read", "01K1M1"});
        EXPECT_EQ(second.exit_code, 66) << second.err;
        EXPECT_TRUE(std::regex_search(second.err, std::regex(R"((in use|locked) by pid \d+ \(qdxpoll\))")))
            << second.err;
        EXPECT_EQ(CountLinesStartingWith(second.err, "  hint: "), 1) << second.err;
        // Who holds it, and how to stop that.
        EXPECT_TRUE(std::regex_search(second.err, std::regex(R"(  hint: pid (\d+) \(qdxpoll\) has the port; another )"
                                                             R"(qdxpoll polls it: end that one \(Ctrl-C where it )"
                                                             R"(runs, or 'kill \1')")))
            << second.err;
    });
    EXPECT_EQ(polling.exit_code, 0) << polling.err;

    // Another reader of the device: qdxpoll says so, and names it when the
    // replies vanish.
    const pid_t reader = fork();
    if (reader == 0) {
        const int null_fd = open("/dev/null", O_WRONLY);
        dup2(null_fd, STDOUT_FILENO);
        execlp("cat", "cat", sim_.path().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const ToolRun run = Tool({"read", "01K1M1", "07K1M1", "-t", "50"});
    kill(reader, SIGTERM);
    waitpid(reader, nullptr, 0);
    const std::string named = "pid " + std::to_string(reader) + " (cat)";
    EXPECT_NE(run.err.find("is also open in " + named), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("  hint: " + sim_.path() + " is also open in " + named), std::string::npos) << run.err;
}

// The UUCP lock file of a pseudo-terminal: its number comes back for the
// next terminal opened, so a live process that no longer has it open does
// not keep it; one that has it open does.
TEST_F(QdxpollTest, APseudoTerminalsLockIsHeldOnlyByWhoHasItOpen) {
    if (access("/var/lock", W_OK) != 0) GTEST_SKIP() << "/var/lock is not ours to write";
    const std::string lock_file = "/var/lock/LCK.." + sim_.path().substr(5).replace(3, 1, "_");
    struct Case {
        const char* what;
        bool holds_the_line;
        int exit_code;
    } cases[] = {
        {"a live process with the number from an earlier terminal", false, 0},
        {"a live process that has this terminal open", true, 66},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const pid_t holder = fork();
        if (holder == 0) {
            if (c.holds_the_line) open(sim_.path().c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
            pause();
            _exit(0);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(lock_file) << std::setw(10) << holder << "\n";
        const ToolRun run = Tool({"read", "01K1M1"});
        EXPECT_EQ(run.exit_code, c.exit_code) << run.err;
        if (c.exit_code == 66) {
            EXPECT_NE(run.err.find("is locked by pid " + std::to_string(holder)), std::string::npos) << run.err;
        }
        kill(holder, SIGKILL);
        waitpid(holder, nullptr, 0);
        unlink(lock_file.c_str());
    }
}

// A raw TCP connection to 127.0.0.1:port; -1 when refused.
int ConnectLoopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
    close(fd);
    return -1;
}

// rexfsim's line on a TCP port of 127.0.0.1 (its only line on Windows), read
// and written through qdxpoll's tcp: relay, each step checked against the
// simulator's own table; one connection at a time; and a connection that
// ends in the middle of a frame leaves nothing behind for the next.
TEST(QdxpollDeviceServer, RexfsimServesItsLineOnALoopbackTcpPort) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--no-drift", "--tcp", "0"}, {true}, &error)) << error;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(sim.path(), m, std::regex(R"(tcp:127\.0\.0\.1:(\d+))"))) << sim.path();
    const int port = std::stoi(m[1]);
    const auto held = [&sim](const char* point) { return sim.Command(std::string("get ") + point); };
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* point;  // "UNIT CHANNEL IDENT", as rexfsim's get takes it
        const char* held;   // what the simulator holds after the step
        const char* shown;  // in what qdxpoll printed
    } steps[] = {
        {{"read", "01K1M1"}, 0, "1 1 M1", "ok 0024.0", "float = 24  [0024.0]"},
        {{"write", "01K1S1", "177.5"}, 0, "1 1 S1", "ok 0177.5", "float := 177.5  written"},
        {{"read", "01K1S1", "--type", "u16"}, 0, "1 1 S1", "ok 0177.5", "u16 = 177"},
        {{"write", "02K1S1", "5000"}, 76, "2 1 S1", "ok 0150.0", "refused"},
        {{"read", "01K1M2"}, 69, "1 1 M1", "ok 0024.0", "not fitted"},
        {{"read", "02K1M2"}, 0, "2 1 M2", "ok 0007.3", "float = 7.3  [0007.3]"},
    };
    ASSERT_EQ(sim.Command("set 2 1 M2 7.3"), "ok 0007.3");
    for (const auto& step : steps) {
        std::vector<std::string> args{"--port", sim.path(), "--quiet"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        const ToolRun run = RunTool(args);
        const std::string what = step.args[0] + " " + step.args[1];
        EXPECT_EQ(run.exit_code, step.exit_code) << what << "\n" << run.out << run.err;
        EXPECT_NE((run.out + run.err).find(step.shown), std::string::npos) << what << "\n" << run.out << run.err;
        EXPECT_EQ(held(step.point), step.held) << what;
    }

    // While one side holds the line, another is closed at once: it fails
    // fast instead of waiting on a line that never answers it.
    const int first = ConnectLoopback(port);
    ASSERT_GE(first, 0);
    const ToolRun second = RunTool({"--port", sim.path(), "--quiet", "read", "01K1M1"});
    EXPECT_NE(second.exit_code, 0) << second.out;
    EXPECT_LT(second.seconds, 5.0) << second.err;
    EXPECT_NE(sim.stderr_text().find("a second connection closed"), std::string::npos) << sim.stderr_text();

    // The holder sends a poll whose answer is held back, and goes at once:
    // the answer is for nobody, and never reaches the next side.
    ASSERT_EQ(sim.Command("script delay:600"), "ok");
    const char poll_s1[] = "\x04" "01K1S1\x05";
    EXPECT_EQ(send(first, poll_s1, sizeof poll_s1 - 1, 0), static_cast<ssize_t>(sizeof poll_s1 - 1));
    close(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int next = ConnectLoopback(port);
    ASSERT_GE(next, 0);
    pollfd stale{next, POLLIN, 0};
    EXPECT_EQ(poll(&stale, 1, 1200), 0) << "bytes meant for the side that went";
    close(next);
    const ToolRun after = RunTool({"--port", sim.path(), "--quiet", "read", "01K1M1"});
    EXPECT_EQ(after.exit_code, 0) << after.err;
    EXPECT_NE(after.out.find("[0024.0]"), std::string::npos) << after.out;
}

// Device servers: Debian's ser2net in front of the simulator, raw and with
// RFC 2217. The simulator runs at 2400,7O2 and garbles every answer unless
// the other side of its line asks for that too, which over RFC 2217 only
// qdxpoll's line settings do.
TEST(QdxpollDeviceServer, ReadsPollsAndSetsTheLineThroughSer2net) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    if (!qdxtest::Ser2net::Available()) GTEST_SKIP() << "ser2net is not installed (scripts/setup-debian.sh)";
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--no-drift", "--line-check", "--baud", "2400"}, {}, &error)) << error;
    const std::regex cycle(R"(01K1M1=24 \(.*02K1M1=24 \()");
    struct Case {
        const char* what;
        qdxtest::Ser2netMode mode;
        const char* served_line;  // as ser2net's configuration sets it
        std::vector<std::string> line;
        int exit_code;
    } cases[] = {
        {"raw TCP, the line set on the server", qdxtest::Ser2netMode::kRawTcp, "2400o72", {}, 0},
        {"RFC 2217 sets the line", qdxtest::Ser2netMode::kRfc2217, "9600n81", {"--line", "2400,7O2"}, 0},
        {"RFC 2217 at other settings: garbled", qdxtest::Ser2netMode::kRfc2217, "2400o72", {"--baud", "9600"}, 69},
    };
    for (const Case& c : cases) {
        qdxtest::Ser2net server;
        ASSERT_TRUE(server.Start(sim.path(), c.mode, &error, c.served_line)) << error;
        auto args = [&](std::vector<std::string> command) {
            command.insert(command.begin(), {"--port", server.PortName(), "--quiet", "-t", "200"});
            command.insert(command.end(), c.line.begin(), c.line.end());
            return command;
        };
        const ToolRun read = RunTool(args({"--verbose", "read", "01K1M1"}));
        EXPECT_EQ(read.exit_code, c.exit_code) << c.what << "\n" << read.err;
        EXPECT_NE(read.err.find("network round trip to the device server: "), std::string::npos) << read.err;
        if (c.exit_code != 0) {
            EXPECT_NE(read.err.find("is no frame"), std::string::npos) << c.what << "\n" << read.err;
            continue;
        }
        EXPECT_NE(read.out.find("float = 24  [0024.0]"), std::string::npos) << c.what << "\n" << read.out;
        // While qdxpoll holds the connection the simulator's line is at the
        // settings asked for.
        std::string seen;
        const ToolRun poll = RunTool(args({"poll", "01K1M1", "02K1M1", "--count", "4", "--interval", "0.3"}),
                                     [&](pid_t, const std::string&) {
                                         std::this_thread::sleep_for(std::chrono::milliseconds(500));
                                         seen = sim.Command("peer-line");
                                     });
        EXPECT_EQ(poll.exit_code, 0) << c.what << "\n" << poll.err;
        int cycles = 0;
        for (const auto& line : Lines(poll.out)) cycles += std::regex_search(line, cycle);
        EXPECT_EQ(cycles, 4) << c.what << "\n" << poll.out;
        EXPECT_EQ(seen, "ok 2400,7O2") << c.what;
        if (c.mode == qdxtest::Ser2netMode::kRfc2217) {
            // probe sets each line on the server in turn.
            const ToolRun probe = RunTool({"--port", server.PortName(), "--quiet", "probe"});
            EXPECT_EQ(probe.exit_code, 0) << probe.err;
            EXPECT_TRUE(std::regex_search(probe.out, std::regex("Answering at: (2400,7O1 )?2400,7O2\n"))) << probe.out;
        }
    }

    // A name that does not hold is a usage error; a server that is not
    // there, a port that cannot be opened.
    const struct {
        std::vector<std::string> args;
        int exit_code;
        const char* message;
    } refused[] = {
        {{"--port", "tcp:127.0.0.1:0", "read", "01K1M1"}, 64, "the TCP port must be a number 1..65535"},
        {{"--port", "rfc2217:::1:4001", "read", "01K1M1"}, 64, "an IPv6 address goes in brackets"},
        {{"--port", "rfc2217:127.0.0.1:4001", "--direct", "read", "01K1M1"}, 64, "run without --direct"},
        {{"--port", "tcp:127.0.0.1:1", "read", "01K1M1"}, 66,
         "cannot open port tcp:127.0.0.1:1 (cannot connect to the device server 127.0.0.1:1: Connection refused)"},
    };
    for (const auto& c : refused) {
        const ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exit_code, c.exit_code) << c.args[1] << "\n" << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, "qdxpoll: "), 1) << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args[1] << "\n" << run.err;
    }
}

// The device server's loss mid-poll, as an outage: ser2net stopped and
// started again, or a raw TCP server whose serial side is gone for a while
// (it takes each connection and closes it at once). Either is one outage,
// from the first loss to the first good answer, with the waits between the
// tries growing across it.
TEST(QdxpollDeviceServer, AnOutageBehindADeviceServerIsCountedOnce) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    if (!qdxtest::Ser2net::Available()) GTEST_SKIP() << "ser2net is not installed (scripts/setup-debian.sh)";
    const std::string link = "/tmp/qdxpoll-test-served-" + std::to_string(getpid());
    struct Case {
        const char* what;
        qdxtest::Ser2netMode mode;
        bool server_goes;  // else the simulator behind it goes
        bool waits_grow;   // the server takes connections during the outage
    } cases[] = {
        {"RFC 2217, the server restarted", qdxtest::Ser2netMode::kRfc2217, true, false},
        {"raw TCP, the serial side gone", qdxtest::Ser2netMode::kRawTcp, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto sim = std::make_unique<qdxtest::Simulator>();
        qdxtest::Ser2net server;
        std::string error, restart_error;
        ASSERT_TRUE(sim->Start({"--no-drift", "--link", link}, {}, &error)) << error;
        ASSERT_TRUE(server.Start(link, c.mode, &error)) << error;
        bool restarted = false;
        const ToolRun run = RunTool({"--port", server.PortName(), "--quiet", "--verbose", "poll", "01K1M1", "--count",
                                     "16", "--interval", "0.5"},
                                    [&](pid_t, const std::string&) {
                                        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
                                        if (c.server_goes) server.Stop();
                                        else sim->Stop();
                                        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
                                        if (c.server_goes) {
                                            restarted = server.Restart(&restart_error);
                                        } else {
                                            sim = std::make_unique<qdxtest::Simulator>();
                                            restarted = sim->Start({"--no-drift", "--link", link}, {}, &restart_error);
                                        }
                                    });
        ASSERT_TRUE(restarted) << restart_error;
        int good_after_outage = 0;
        bool outage_seen = false;
        for (const auto& line : Lines(run.out)) {
            if (line.find("01K1M1=---") != std::string::npos) outage_seen = true;
            if (outage_seen && line.find("01K1M1=24 (") != std::string::npos) ++good_after_outage;
        }
        EXPECT_TRUE(outage_seen) << run.out;
        EXPECT_GE(good_after_outage, 3) << run.out << run.err;
        const std::string port = "qdxpoll: port " + server.PortName();
        EXPECT_EQ(CountLinesStartingWith(run.err, port + " lost ("), 1) << run.err;
        EXPECT_EQ(CountLinesStartingWith(run.err, port + " back after "), 1) << run.err;
        EXPECT_NE(run.out.find("port lost 1 time, "), std::string::npos) << run.out;
        std::smatch m;
        ASSERT_TRUE(std::regex_search(run.out, m, std::regex(R"(port lost 1 time, ([\d.]+) s in all)"))) << run.out;
        EXPECT_GT(std::stod(m[1]), 2.5) << "the outage lasts from the loss to the first good answer\n" << run.err;
        if (c.waits_grow) {
            EXPECT_NE(run.err.find("gone again before any answer"), std::string::npos) << run.err;
            EXPECT_NE(run.err.find("next try in 2 s"), std::string::npos) << run.err;
        }
        sim->Stop();
    }
    unlink(link.c_str());
}

// The identifiers of --json records of an action, or of the plan's rows.
std::vector<std::string> Identifiers(const std::string& out, const std::string& action) {
    std::vector<std::string> ids;
    for (const auto& line : Lines(out)) {
        std::smatch m;
        if (action == "plan" && std::regex_search(line, m, std::regex(R"(^ +\d+  1  (\w\w) )"))) ids.push_back(m[1]);
        if (action != "plan" && line[0] == '{') {
            const auto j = nlohmann::json::parse(line);
            if (j["action"] == action) ids.push_back(j["identifier"]);
        }
    }
    return ids;
}

// A unit's settings kept, compared with its neighbour's, put back and
// cloned, as an engineer at the line does it; and a file edited by hand.
TEST_F(QdxpollTest, SavesComparesAndRestoresAUnitsSettings) {
    const std::string file = "/tmp/qdxpoll-unit01-" + std::to_string(getpid()) + ".toml";
    const ToolRun save = Tool({"save", "01", "--output", file});
    ASSERT_EQ(save.exit_code, 0) << save.err;
    EXPECT_NE(save.err.find("saved unit 01 (channel 1) to " + file + ": 77 values, 2 absent (M2, M3), 0 failed"),
              std::string::npos)
        << save.err;
    const std::string text = Slurp(file);
    // A unit whose every answer is NAK: no file takes the place of the good
    // one, and the save ends after three identifiers, not seventy-nine.
    ASSERT_EQ(sim_.Command("fault nak:1").rfind("ok", 0), 0u);
    const ToolRun broken = Tool({"save", "01", "--output", file, "-t", "30"});
    ASSERT_EQ(sim_.Command("fault clear").rfind("ok", 0), 0u);
    EXPECT_EQ(broken.exit_code, 69) << broken.err;
    EXPECT_NE(broken.err.find("nothing saved: no identifier of unit 01 gave a value"), std::string::npos)
        << broken.err;
    EXPECT_EQ(Slurp(file), text);
    auto edited = [&](const std::string& from, const std::string& to) {
        std::string t = text;
        t.replace(t.find(from), from.size(), to);
        const std::string path = file + "." + std::to_string(LineOf(text, from));
        std::ofstream(path) << t;
        return path;
    };

    for (const auto& [id, value] : {std::pair{"A1", "25"}, {"P1", "45.5"}, {"S1", "180"}, {"SH", "500"}, {"XA", "3"}})
        ASSERT_EQ(Tool({"write", std::string("02K1") + id, value, "--verify"}).exit_code, 0) << id;
    const std::vector<std::string> changed = {"A1", "P1", "S1", "SH", "XA"};
    const ToolRun diff = Tool({"--json", "diff", "01", "02"});
    EXPECT_EQ(diff.exit_code, 1) << diff.err;
    EXPECT_EQ(Identifiers(diff.out, "diff"), changed) << diff.out;

    const ToolRun dry = Tool({"restore", file, "--to", "02", "--dry-run"});
    EXPECT_EQ(dry.exit_code, 0) << dry.err;
    // What the manuals at hand do not describe is left out, and counted.
    EXPECT_NE(dry.out.find("not written, 37 not described in the manuals at hand"), std::string::npos) << dry.out;
    std::vector<std::string> planned = Identifiers(dry.out, "plan");
    // SH narrows (500 to 400): S1 moves into the new range first.
    EXPECT_LT(std::find(planned.begin(), planned.end(), "S1"), std::find(planned.begin(), planned.end(), "SH"));
    EXPECT_LT(std::find(planned.begin(), planned.end(), "XA"), std::find(planned.begin(), planned.end(), "A1"));
    std::sort(planned.begin(), planned.end());
    EXPECT_EQ(planned, changed) << dry.out;
    const ToolRun unconfirmed = Tool({"restore", file, "--to", "02"});
    EXPECT_EQ(unconfirmed.exit_code, 64) << unconfirmed.err;
    EXPECT_NE(unconfirmed.err.find("nothing written: restore writes only with --yes"), std::string::npos);
    EXPECT_EQ(sim_.Command("get 2 1 S1"), "ok 0180.0") << "written without a confirmation";

    const ToolRun restore = Tool({"restore", file, "--to", "02", "--yes"});
    EXPECT_EQ(restore.exit_code, 0) << restore.out << restore.err;
    EXPECT_TRUE(std::regex_search(restore.out, std::regex(R"(\n  02 +5 +22 +0 +0 +0\n)"))) << restore.out;
    const ToolRun same = Tool({"diff", "01", "02"});
    EXPECT_EQ(same.exit_code, 0) << same.out << same.err;

    // Settings that contradict each other in the file: refused whole, by the
    // file's lines, before anything is read or written. (Written as they
    // stood, an S1 above the file's SH was refused part way, and an SL above
    // SH left the unit unsound while restore reported success.)
    ASSERT_EQ(sim_.Command("set 3 1 P1 45.5").rfind("ok", 0), 0u);
    ASSERT_EQ(sim_.Command("set 2 1 P1 45.5").rfind("ok", 0), 0u);
    const std::string high_s1 = edited("S1 = { value = 150.0", "S1 = { value = 450.0");
    std::string inverted_text = text;
    for (const auto& [from, to] : {std::pair{std::string("SL = { value = 0.0"), std::string("SL = { value = 300.0")},
                                   {std::string("SH = { value = 400.0"), std::string("SH = { value = 100.0")}}) {
        ASSERT_NE(inverted_text.find(from), std::string::npos) << from;
        inverted_text.replace(inverted_text.find(from), from.size(), to);
    }
    const std::string inverted = file + ".inverted";
    std::ofstream(inverted) << inverted_text;
    const struct {
        std::string path, says;
        int line;
    } contradictions[] = {
        {high_s1, "S1 = 450.0 is above SH = 400.0", LineOf(text, "S1 = {")},
        {inverted, "SL = 300.0 is above SH = 100.0", LineOf(text, "SL = {")},
    };
    for (const auto& c : contradictions) {
        const ToolRun refused = Tool({"restore", c.path, "--to", "02-03", "--yes"});
        EXPECT_EQ(refused.exit_code, 65) << refused.err;
        EXPECT_NE(refused.err.find(c.path + ":" + std::to_string(c.line) + ": ch 1 " + c.says), std::string::npos)
            << refused.err;
        EXPECT_EQ(refused.out.find("write"), std::string::npos) << "a plan was made: " << refused.out;
        EXPECT_EQ(sim_.Command("get 2 1 P1"), "ok 0045.5") << c.says;
        EXPECT_EQ(sim_.Command("get 3 1 P1"), "ok 0045.5") << c.says;
        EXPECT_EQ(sim_.Command("get 2 1 SL"), "ok 0000.0") << c.says;
    }
    unlink(inverted.c_str());

    // A value the driver's value text cannot carry: refused by its line,
    // before anything is written.
    ASSERT_EQ(sim_.Command("set 2 1 P1 45.5").rfind("ok", 0), 0u);
    const std::string too_big = edited("P1 = { value = 30.0", "P1 = { value = 30000.0");
    const ToolRun bad = Tool({"restore", too_big, "--to", "02", "--yes"});
    EXPECT_EQ(bad.exit_code, 65) << bad.err;
    EXPECT_NE(bad.err.find(too_big + ":" + std::to_string(LineOf(text, "P1 = {")) +
                           ": P1 = 30000.0 does not fit the driver's six-character value text"),
              std::string::npos)
        << bad.err;
    EXPECT_EQ(sim_.Command("get 2 1 P1"), "ok 0045.5");

    // The simulator starts a unit from a file and says how it differs from
    // the factory; a diff then finds the file's settings on it.
    qdxtest::Simulator started;
    qdxtest::SimulatorOptions capture;
    capture.capture_stderr = true;
    std::string error;
    ASSERT_TRUE(started.Start({"--no-drift", "--unit-file", "05=" + high_s1}, capture, &error)) << error;
    EXPECT_NE(started.stderr_text().find("unit 05 from " + high_s1 + ": settings that differ from the factory "
                                         "values:\nrexfsim:   ch 1 S1 = 450.0 (factory 150.0)"),
              std::string::npos)
        << started.stderr_text();
    const ToolRun loaded = RunTool({"--port", started.path(), "--quiet", "diff", high_s1, "05"});
    EXPECT_EQ(loaded.exit_code, 0) << loaded.out << loaded.err;
    for (const std::string& path : {file, high_s1, too_big}) unlink(path.c_str());
}

// A counter of the simulator's stats line ("polls", "selects").
int SimCount(qdxtest::Simulator& sim, const std::string& counter) {
    const std::string stats = sim.Command("stats");
    const size_t at = stats.find(" " + counter + "=");
    return at == std::string::npos ? -1 : std::stoi(stats.substr(at + counter.size() + 2));
}

// Waits until the counter has grown by `more` (bounded: 20 s).
bool WaitForMore(qdxtest::Simulator& sim, const std::string& counter, int more) {
    const int from = SimCount(sim, counter);
    for (int i = 0; i < 2000; ++i) {
        if (SimCount(sim, counter) >= from + more) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// A restore into a line that goes: a plan with present values unread is not
// carried out, and a port lost (the simulator killed) or three writes in a
// row unanswered end the writes at once, with what was made and how to go
// on. (Before, unread values were written as "?", and every write left was
// tried into a dead line for minutes.)
TEST(QdxpollRestoreOnALineThatGoes, NothingIsWrittenIntoItAndTheRestIsNamed) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    const std::string link = "/tmp/qdxpoll-test-restore-" + std::to_string(getpid());
    const std::string file = link + ".toml";
    auto sim = std::make_unique<qdxtest::Simulator>();
    std::string error;
    ASSERT_TRUE(sim->Start({"--no-drift", "--link", link}, {}, &error)) << error;
    auto tool = [&](std::vector<std::string> args, const Meanwhile& meanwhile = nullptr) {
        args.insert(args.begin(), {"--port", link, "--quiet"});
        return RunTool(args, meanwhile);
    };
    ASSERT_EQ(tool({"save", "01", "--output", file}).exit_code, 0);
    const std::vector<std::pair<std::string, std::string>> changed = {
        {"A1", "25.0"}, {"A2", "30.0"}, {"HA", "5.0"}, {"HB", "6.0"}, {"P1", "45.5"}, {"I1", "240"}, {"D1", "60"}};
    auto change_unit = [&](qdxtest::Simulator& s) {
        for (const auto& [id, value] : changed) ASSERT_EQ(s.Command("set 1 1 " + id + " " + value).rfind("ok", 0), 0u);
    };
    auto restart = [&] {
        sim = std::make_unique<qdxtest::Simulator>();
        ASSERT_TRUE(sim->Start({"--no-drift", "--link", link}, {}, &error)) << error;
        change_unit(*sim);
    };
    change_unit(*sim);

    // Killed while the plan reads the unit (each answer slowed, so that the
    // reading is under way): nothing written, no plan carried out.
    ASSERT_EQ(sim->Command("fault delay:100:1"), "ok");
    const ToolRun planning = tool({"restore", file, "--to", "01", "--yes"}, [&](pid_t, const std::string&) {
        ASSERT_TRUE(WaitForMore(*sim, "polls", 5));
        kill(sim->pid(), SIGKILL);
        sim->Stop();
    });
    EXPECT_EQ(planning.exit_code, 69) << planning.out << planning.err;
    EXPECT_NE(planning.err.find("nothing written"), std::string::npos) << planning.err;
    EXPECT_EQ(planning.out.find("Writing"), std::string::npos) << planning.out;

    // A unit that stops answering part way through the plan: the values it
    // did not give are "?", and such a plan is not carried out.
    restart();
    ASSERT_EQ(sim->Command("script ok,ok,ok,ok,ok,silence,silence,silence,silence,silence,silence,silence,silence,"
                           "silence,silence,silence,silence"),
              "ok");
    const ToolRun partial = tool({"restore", file, "--to", "01", "--yes"});
    EXPECT_EQ(partial.exit_code, 69) << partial.out << partial.err;
    EXPECT_NE(partial.err.find("nothing written: the plan rests on"), std::string::npos) << partial.err;
    EXPECT_NE(sim->Command("stats").find(" selects=0 "), std::string::npos) << "a value was written";

    // Killed during the writes: the writes end at once, the table names what
    // was written and what was not, and the command to go on.
    restart();
    ASSERT_EQ(sim->Command("fault delay:100:1"), "ok");
    const ToolRun writing = tool({"restore", file, "--to", "01", "--yes"}, [&](pid_t, const std::string&) {
        ASSERT_TRUE(WaitForMore(*sim, "selects", 2));
        kill(sim->pid(), SIGKILL);
        sim->Stop();
    });
    EXPECT_EQ(writing.exit_code, 69) << writing.out << writing.err;
    EXPECT_NE(writing.out.find("Stopped: port " + link + " lost"), std::string::npos) << writing.out;
    EXPECT_GE(CountLinesStartingWith(writing.out, "  01    1  "), static_cast<int>(changed.size())) << writing.out;
    EXPECT_NE(writing.out.find("not written"), std::string::npos) << writing.out;
    EXPECT_NE(writing.err.find("go on with: qdxpoll --port " + link + " --quiet restore " + file + " --to 01 --yes"),
              std::string::npos)
        << writing.err;
    EXPECT_LE(CountLinesStartingWith(writing.out, "  unit 01 "), 3) << "writes tried into the dead line\n"
                                                                      << writing.out;

    // Writes that go unanswered while the line stays: three in a row end it.
    restart();
    ASSERT_EQ(sim->Command("fault delay:100:1"), "ok");
    const ToolRun silent = tool({"restore", file, "--to", "01", "--yes"}, [&](pid_t, const std::string&) {
        ASSERT_TRUE(WaitForMore(*sim, "selects", 1));
        ASSERT_EQ(sim->Command("fault clear"), "ok");
        ASSERT_EQ(sim->Command("fault silence:1"), "ok");
    });
    EXPECT_EQ(silent.exit_code, 69) << silent.out << silent.err;
    EXPECT_NE(silent.out.find("Stopped: 3 writes in a row got no answer at all"), std::string::npos) << silent.out;
    std::vector<std::string> tried;
    for (const std::string& line : Lines(silent.out))
        if (line.rfind("  unit 01 ", 0) == 0) tried.push_back(line);
    ASSERT_GE(tried.size(), 3u) << silent.out;
    EXPECT_LT(tried.size(), changed.size()) << "the writes after it were tried\n" << silent.out;
    for (size_t i = tried.size() - 3; i < tried.size(); ++i)
        EXPECT_NE(tried[i].find("failed (silent)"), std::string::npos) << tried[i];
    ASSERT_EQ(sim->Command("fault clear"), "ok");
    EXPECT_EQ(sim->Command("get 1 1 P1"), "ok 0045.5") << "the last of the plan, never tried";
    // Run as the hint says, the restore makes what is left.
    const ToolRun resumed = tool({"restore", file, "--to", "01", "--yes"});
    EXPECT_EQ(resumed.exit_code, 0) << resumed.out << resumed.err;
    EXPECT_EQ(tool({"diff", file, "01"}).exit_code, 0);
    sim->Stop();
    for (const std::string& path : {file, link}) unlink(path.c_str());
}

// A unit at unusual line settings: at the driver's default its answers
// arrive garbled and the read says so; probe finds the settings.
TEST(QdxpollProbe, FindsTheLineSettingsOfAUnitWithUnusualOnes) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--no-drift", "--line-check", "--baud", "2400", "--parity", "even", "--stop-bits", "1"},
                          {}, &error))
        << error;
    const ToolRun read = RunTool({"--port", sim.path(), "--quiet", "read", "01K1M1"});
    EXPECT_EQ(read.exit_code, 69) << read.err;
    EXPECT_NE(read.err.find("is no frame"), std::string::npos) << read.err;
    EXPECT_NE(read.err.find("the baud rate, data bits or parity differ"), std::string::npos) << read.err;
    // The probe it points to is of the unit that answered badly.
    const ToolRun other = RunTool({"--port", sim.path(), "--quiet", "read", "03K1S1"});
    EXPECT_NE(other.err.find("  hint: most likely the baud rate, data bits or parity differ from the unit's: "
                             "'qdxpoll probe S1 --units 3' finds the settings"),
              std::string::npos)
        << other.err;

    const ToolRun probe = RunTool({"--port", sim.path(), "--quiet", "probe"});
    EXPECT_EQ(probe.exit_code, 0) << probe.err;
    EXPECT_NE(probe.out.find("9600,7O2   unit 01  garbage: "), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("2400,7E1   unit 01  answers: M1 [0024.0]"), std::string::npos) << probe.out;
    EXPECT_NE(probe.out.find("Use: qdxpoll --port " + sim.path() + " --line 2400,7E1 read 01K1M1"), std::string::npos)
        << probe.out;
    EXPECT_EQ(probe.out.find("does not check line settings"), std::string::npos) << probe.out;
}

// A link that takes every line setting (a pseudo-terminal without the
// simulator's check) answers at all of them: probe says so, and names the
// setting to use, the one given or the driver's default.
TEST(QdxpollProbe, ALinkThatAnswersAtEverySettingIsSaidToCheckNone) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--no-drift"}, {}, &error)) << error;
    const struct {
        std::vector<std::string> given;
        const char* use;
    } cases[] = {
        {{}, "--line 9600,7O2 read 02K1M1"},
        {{"--line", "4800,8N1"}, "--line 4800,8N1 read 02K1M1"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"--port", sim.path(), "--quiet", "probe", "--units", "2"};
        args.insert(args.end(), c.given.begin(), c.given.end());
        const ToolRun probe = RunTool(args);
        EXPECT_EQ(probe.exit_code, 0) << probe.err;
        EXPECT_TRUE(std::regex_search(probe.out, std::regex(R"(Settings at \d baud rates answer: this link does not )"
                                                            R"(check line settings)")))
            << probe.out;
        EXPECT_NE(probe.out.find("Use: qdxpoll --port " + sim.path() + " " + c.use), std::string::npos) << probe.out;
        EXPECT_EQ(probe.out.find("Answering at:"), std::string::npos) << probe.out;
    }
}

TEST(QdxpollDemo, TourAgainstItsOwnSimulator) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    const ToolRun run = RunTool({"demo", "--quiet", "--simulator", qdxtest::Simulator::ExecutablePath()});
    EXPECT_EQ(run.exit_code, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("RKC REX-F Series"), std::string::npos);
    EXPECT_NE(run.out.find("written and read back"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("0 failed"), std::string::npos) << run.out;
#ifdef QDX_WATCH
    // Without a terminal the last step checks its page and ends on its own.
    EXPECT_NE(run.out.find("the page answers: HTTP 200"), std::string::npos) << run.out;
#endif
}

// Ctrl-C in the middle of the tour: no "everything worked", and the exit
// code of a request cut short.
TEST(QdxpollDemo, CtrlCDuringTheTourIsNoSuccess) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    const ToolRun run = RunTool({"demo", "--simulator", qdxtest::Simulator::ExecutablePath()},
                                [](pid_t pid, const std::string& err_path) {
                                    for (int i = 0; i < 1000 && Slurp(err_path).find("started on") == std::string::npos;
                                         ++i)
                                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                    kill(pid, SIGINT);
                                });
    EXPECT_EQ(run.exit_code, 130) << run.out << run.err;
    EXPECT_EQ(run.out.find("Everything worked"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Something failed: interrupted: the tour ended early"), std::string::npos) << run.out;
}

#ifdef QDX_WATCH

// The port of the page that watch announces on stderr; 0 when none comes
// within 10 s.
int PagePort(const std::string& err_path) {
    const std::regex address(R"(http://127\.0\.0\.1:(\d+)/)");
    for (int i = 0; i < 500; ++i) {
        std::smatch m;
        const std::string err = Slurp(err_path);
        if (std::regex_search(err, m, address)) return std::stoi(m[1]);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

// The page's event stream from its start: the hello and `cycles` cycles,
// each as its name and its data.
std::vector<std::pair<std::string, nlohmann::json>> Events(httplib::Client& client, int cycles) {
    std::string text;
    auto seen = [&text] {
        int n = 0;
        for (size_t at = 0; (at = text.find("event: cycle\n", at)) != std::string::npos; ++at) ++n;
        return n;
    };
    // The hello whole (it may come in several reads), then the cycles.
    client.Get("/events", [&](const char* data, size_t size) {
        text.append(data, size);
        return text.find("\n\n") == std::string::npos || seen() < cycles;
    });
    std::vector<std::pair<std::string, nlohmann::json>> events;
    std::smatch m;
    const std::regex event(R"(event: (\w+)\ndata: (.*)\n\n)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), event); it != std::sregex_iterator(); ++it)
        events.emplace_back((*it)[1], nlohmann::json::parse((*it)[2].str()));
    return events;
}

// Connections that hold workers of the page's server: for /events, streams
// that never read what they are sent; for other paths, requests sent a byte
// every half second. Each keeps its socket until the server drops it or the
// hogs end.
class Hogs {
public:
    Hogs(int port, int count, const std::string& path) {
        const bool stream = path == "/events";
        const std::string text = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                 (stream ? "\r\n\r\n" : "\r\nX-Slow: " + std::string(60, 'x') + "\r\n\r\n");
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this, port, text, stream] {
                const int fd = socket(AF_INET, SOCK_STREAM, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(static_cast<uint16_t>(port));
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0)
                    for (size_t at = 0; !stop_; std::this_thread::sleep_for(std::chrono::milliseconds(stream ? 50 : 500))) {
                        const size_t n = stream ? text.size() - at : std::min<size_t>(1, text.size() - at);
                        if (n > 0 && send(fd, text.data() + at, n, MSG_NOSIGNAL) < 0) break;
                        if (at == 0) ++started_;
                        at += n;
                    }
                close(fd);
            });
        // Every hog in its place before the request that must get through.
        for (int i = 0; i < 100 && started_ < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (count > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ~Hogs() {
        stop_ = true;
        for (std::thread& t : threads_) t.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> started_{0};
    std::vector<std::thread> threads_;
};

// Calls check with a client of watch's page, then ends watch with Ctrl-C.
Meanwhile WithPage(const std::function<void(httplib::Client&, int port)>& check) {
    return [check](pid_t pid, const std::string& err_path) {
        // Watch ends also when the check throws, and is not left running.
        struct Ctrl_C {
            pid_t pid;
            ~Ctrl_C() { kill(pid, SIGINT); }
        } end{pid};
        const int port = PagePort(err_path);
        if (port == 0) {
            ADD_FAILURE() << "watch printed no address:\n" << Slurp(err_path);
        } else {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(10);
            check(client, port);
        }
    };
}

// The page's server as a browser meets it: the page with its chart library,
// the events, the CSV of a chart; writes only with --allow-writes, each with
// write's checks and outcomes, only from the page itself and only to the
// points it offers; and as an attacker meets it: nothing reaches the unit,
// and no client keeps the page from others.
TEST_F(QdxpollTest, WatchServesThePageItsEventsItsCsvAndWrites) {
    const ToolRun read_only = Tool({"watch", "01K1M1", "01K1S1", "--interval", "0.1"},
                                   WithPage([](httplib::Client& client, int) {
        const auto page = client.Get("/");
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_NE(page->body.find("<script src=\"/dygraph.min.js\">"), std::string::npos);
        EXPECT_NE(page->get_header_value("Content-Security-Policy").find("frame-ancestors 'none'"), std::string::npos);
        EXPECT_EQ(page->get_header_value("X-Content-Type-Options"), "nosniff");
        const auto chart_library = client.Get("/dygraph.min.js");
        ASSERT_TRUE(chart_library);
        EXPECT_GT(chart_library->body.size(), 100000u);

        const auto events = Events(client, 2);
        ASSERT_GE(events.size(), 3u);  // cycles that came together may be more
        EXPECT_EQ(events[0].first, "hello");
        const nlohmann::json& setup = events[0].second["setup"];
        EXPECT_EQ(setup["charts"]["unit"], nlohmann::json::parse("[[1,0]]")) << "S1 and M1 of a unit on one chart";
        EXPECT_EQ(setup["charts"]["identifier"], nlohmann::json::parse("[[0],[1]]"));
        EXPECT_EQ(setup["points"][0]["engineering_unit"], "\u00b0C");
        EXPECT_EQ(setup["points"][0]["decimals"], 1);
        EXPECT_EQ(setup["allow_writes"], false);
        EXPECT_EQ(setup["writable"][0]["address"], "01K1S1");
        EXPECT_EQ(events[2].first, "cycle");
        EXPECT_EQ(events[2].second["row"][1], 24.0);
        EXPECT_EQ(events[2].second["stats"][0]["address"], "01K1M1");
        EXPECT_EQ(std::stod(events[2].second["latest"][0]["good"].value("text", "0")), 24.0)
            << events[2].second["latest"];

        // A range, cut down to the rows asked for, never more than the page's bound.
        struct RangeAsk {
            std::string query;
            int http_status;
            size_t max_rows;
        };
        for (const RangeAsk& r : {RangeAsk{"/history?points=01K1S1,01K1M1&from=0", 200, 3000},
                                  RangeAsk{"/history?max=4", 200, 4}, RangeAsk{"/history?max=1000000", 200, 3000},
                                  RangeAsk{"/history?from=5&to=1", 400, 0}, RangeAsk{"/history?max=3", 400, 0},
                                  RangeAsk{"/history?points=01K1M1,01K1M1", 400, 0}}) {
            const auto answer = client.Get(r.query);
            ASSERT_TRUE(answer) << r.query;
            EXPECT_EQ(answer->status, r.http_status) << r.query << ": " << answer->body;
            if (r.http_status != 200) continue;
            const auto range = nlohmann::json::parse(answer->body, nullptr, false);
            ASSERT_TRUE(range.is_object()) << answer->body;
            EXPECT_GE(range["rows"].size(), 2u) << r.query;
            EXPECT_LE(range["rows"].size(), r.max_rows) << r.query;
            EXPECT_EQ(range["gaps"], nlohmann::json::array()) << "one run has no gap";
            EXPECT_EQ(range["span"].size(), 2u);
        }

        const auto csv = client.Get("/chart.csv?points=01K1M1&from=0");
        ASSERT_TRUE(csv);
        const auto rows = Lines(csv->body);
        ASSERT_GE(rows.size(), 3u) << csv->body;
        EXPECT_EQ(rows[0], "time,01K1M1");
        EXPECT_TRUE(std::regex_match(csv->get_header_value("Content-Disposition"),
                                     std::regex(R"(attachment; filename="qdxpoll-01K1M1-\d{8}T\d{4}-\d{8}T\d{4}\.csv")")))
            << csv->get_header_value("Content-Disposition");
        EXPECT_TRUE(std::regex_match(rows[1], std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z,24\.0)")))
            << rows[1];

        const auto write = client.Post("/write", R"({"address":"01K1S1","value":"42"})", "application/json");
        ASSERT_TRUE(write);
        EXPECT_EQ(write->status, 403) << "read-only without --allow-writes";
        const auto elsewhere = client.Get("/", {{"Host", "127.qdxpoll.example"}});
        ASSERT_TRUE(elsewhere);
        EXPECT_EQ(elsewhere->status, 403) << "a page of another name pointing here, whatever it begins with";
    }));
    EXPECT_EQ(read_only.exit_code, 0) << read_only.err;
    EXPECT_NE(read_only.out.find("Statistics after"), std::string::npos) << read_only.out;
    EXPECT_EQ(sim_.Command("get 1 1 S1"), "ok 0150.0");

    // One row a request the page's server may get, every attack on it among
    // them: the status it gets and, for those refused, that the point it
    // aimed at keeps its value.
    struct Ask {
        const char* what;
        const char* method;  // POST (/write) or GET
        std::string path;
        std::string body;
        httplib::Headers headers;
        const char* content_type;
        int http_status;
        const char* status;     // of a write that ran, or ""
        int exit_code;          // what 'qdxpoll write' ends with
        const char* untouched;  // the simulator's point that must keep its value ("1 1 S1"), or null
        int at_once = 1;        // sent so many times at once: each gets http_status or is written
        int hogs = 0;           // opened first: streams that never read (/events), or requests that come
                                // a byte at a time (/)
    };
    auto selects = [&] {
        std::smatch m;
        const std::string stats = sim_.Command("stats");
        return std::regex_search(stats, m, std::regex(R"(selects=(\d+))")) ? std::stoi(m[1]) : -1;
    };
    const ToolRun writable = Tool({"watch", "01K1M1", "--interval", "0.1", "--allow-writes"},
                                  WithPage([&](httplib::Client& client, int port) {
        const std::string json = "application/json", own = "http://127.0.0.1:" + std::to_string(port);
        const std::string evil = "127.qdxpoll.example:" + std::to_string(port);
        std::string repeated = "/chart.csv?points=01K1M1";
        for (int i = 0; i < 500; ++i) repeated += ",01K1M1";
        const Ask asks[] = {
            {"verified, its type named in any case", "POST", "/write", R"({"address":"01K1S1","value":"42.57"})",
             {{"Origin", own}}, "Application/JSON; charset=utf-8", 200, "verified", 0, nullptr},
            {"refused by the unit", "POST", "/write", R"({"address":"01K1S1","value":"2000","verify":false})", {}, "application/json",
             200, "refused", 76, "1 1 S1"},
            {"value the driver cannot send", "POST", "/write", R"({"address":"01K1S1","value":"10000"})", {}, "application/json", 400,
             "", 0, "1 1 S1"},
            {"a form of another site", "POST", "/write", "address=01K1S1&value=1", {},
             "application/x-www-form-urlencoded", 415, "", 0, "1 1 S1"},
            {"a page of another site", "POST", "/write", R"({"address":"01K1S1","value":"1"})",
             {{"Origin", "http://qdxpoll.example"}}, "application/json", 403, "", 0, "1 1 S1"},
            {"a point the page does not offer", "POST", "/write", R"({"address":"01K1P1","value":"31"})", {}, "application/json",
             403, "", 0, "1 1 P1"},
            {"the set value of a unit not polled", "POST", "/write", R"({"address":"02K1S1","value":"31"})", {}, "application/json",
             403, "", 0, "2 1 S1"},
            {"a name of another site made to point here", "POST", "/write", R"({"address":"01K1S1","value":"158"})",
             {{"Host", evil}, {"Origin", "http://" + evil}}, "application/json", 403, "", 0, "1 1 S1"},
            {"an origin that only begins as the page's", "POST", "/write", R"({"address":"01K1S1","value":"158"})",
             {{"Origin", own + ".qdxpoll.example"}}, "application/json", 403, "", 0, "1 1 S1"},
            {"a type that only begins as JSON", "POST", "/write", R"({"address":"01K1S1","value":"158"})", {},
             "application/jsonx", 415, "", 0, "1 1 S1"},
            {"an address with a NUL and bytes after it", "POST", "/write",
             R"({"address":"01K1S1\u0000XYZ","value":"158"})", {}, "application/json", 400, "", 0, "1 1 S1"},
            {"an address with a byte after it", "POST", "/write", R"({"address":"01K1S1 ","value":"158"})", {}, "application/json",
             403, "", 0, "1 1 S1"},
            {"a compressed body, which might unpack to any size", "POST", "/write", "\x1f\x8b",
             {{"Content-Encoding", "gzip"}}, "application/json", 415, "", 0, "1 1 S1"},
            {"a key given twice, the second to be taken", "POST", "/write",
             R"({"address":"01K1S1","value":"158","value":"42"})", {}, "application/json", 400, "", 0, "1 1 S1"},
            {"the page's own origin, and another's after it", "POST", "/write",
             R"({"address":"01K1S1","value":"158"})", {{"Origin", own}, {"Origin", "http://qdxpoll.example"}},
             "application/json", 403, "", 0, "1 1 S1"},
            {"a value with an exponent, as write takes it", "POST", "/write", R"({"address":"01K1S1","value":1e2})",
             {}, "application/json", 200, "verified", 0, nullptr},
            {"a flood of writes", "POST", "/write", R"({"address":"01K1S1","value":"42.5","verify":false})", {}, "application/json",
             429, "", 0, nullptr, 12},
            {"another site's page holding a stream", "GET", "/events", "", {{"Origin", "http://qdxpoll.example"}}, "",
             403, "", 0, nullptr},
            {"another site's blind request for the history", "GET", "/chart.csv", "",
             {{"Sec-Fetch-Site", "cross-site"}}, "", 403, "", 0, nullptr},
            {"another site's request for a range", "GET", "/history", "", {{"Sec-Fetch-Site", "cross-site"}}, "",
             403, "", 0, nullptr},
            {"a request marked as the page's own and as another site's", "GET", "/history", "",
             {{"Sec-Fetch-Site", "same-origin"}, {"Sec-Fetch-Site", "cross-site"}}, "", 403, "", 0, nullptr},
            {"an empty Host", "GET", "/", "", {{"Host", ""}}, "", 400, "", 0, nullptr},
            {"two Hosts, the first the page's", "GET", "/", "",
             {{"Host", "127.0.0.1:" + std::to_string(port)}, {"Host", evil}}, "", 400, "", 0, nullptr},
            {"one point named over and over", "GET", repeated, "", {}, "", 400, "", 0, nullptr},
            {"pages that never read their stream", "GET", "/events", "", {}, "", 200, "", 0, nullptr, 1, 4},
            {"requests that come a byte at a time", "GET", "/", "", {}, "", 200, "", 0, nullptr, 1, 20},
        };
        for (const Ask& w : asks) {
            const std::string held = w.untouched ? sim_.Command(std::string("get ") + w.untouched) : "";
            const int selects_before = selects();
            Hogs hogs(port, w.hogs, w.path);
            std::vector<int> statuses(static_cast<size_t>(w.at_once), -1);
            std::string body;
            std::vector<std::thread> senders;
            for (size_t i = 0; i < statuses.size(); ++i)
                senders.emplace_back([&, i] {
                    httplib::Client c("127.0.0.1", port);
                    c.set_read_timeout(20);
                    // While hogs hold their places, until they lose them (20 s at most).
                    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                    for (;;) {
                        int status = -1;
                        std::string text;
                        if (std::string(w.method) == "POST") {
                            const auto answer = c.Post(w.path, w.headers, w.body, w.content_type);
                            if (answer) status = answer->status, text = answer->body;
                        } else {
                            // An event stream is read up to its first event.
                            c.Get(w.path, w.headers, [&](const httplib::Response& r) { return status = r.status, true; },
                                  [&](const char* data, size_t size) {
                                      text.append(data, size);
                                      return text.find("\n\n") == std::string::npos || w.path != "/events";
                                  });
                            if (w.path == "/events" && status == 200 && text.find("event: hello") == std::string::npos)
                                status = -1;
                        }
                        statuses[i] = status;
                        if (i == 0) body = text;
                        if (w.hogs == 0 || status == w.http_status || std::chrono::steady_clock::now() > until) break;
                        std::this_thread::sleep_for(std::chrono::milliseconds(200));
                    }
                });
            for (std::thread& t : senders) t.join();
            if (w.at_once == 1) {
                EXPECT_EQ(statuses[0], w.http_status) << w.what << ": " << body.substr(0, 300);
            } else {
                const auto refused = std::count(statuses.begin(), statuses.end(), w.http_status);
                const auto written = std::count(statuses.begin(), statuses.end(), 200);
                EXPECT_GT(refused, 0) << w.what;
                EXPECT_EQ(refused + written, w.at_once) << w.what;
                EXPECT_EQ(selects() - selects_before, written) << w.what << ": the unit got a write refused";
            }
            if (std::string(w.method) == "POST" && w.at_once == 1) {
                const auto answer = nlohmann::json::parse(body, nullptr, false);
                if (*w.status) {
                    EXPECT_EQ(answer.value("status", ""), w.status) << w.what << ": " << body;
                    EXPECT_EQ(answer.value("exit_code", -1), w.exit_code) << w.what;
                    EXPECT_EQ(answer.value("ok", true), w.exit_code == 0) << w.what;
                } else {
                    // Why, as JSON (or as text, when the server would not listen at all).
                    EXPECT_FALSE(answer.is_object() ? answer.value("error", "").empty() : body.empty())
                        << w.what << ": " << body;
                }
            }
            if (w.untouched) {
                EXPECT_EQ(sim_.Command(std::string("get ") + w.untouched), held) << w.what << ": it reached the unit";
            }
        }
        const auto events = Events(client, 0);
        ASSERT_FALSE(events.empty());
        const nlohmann::json& failures = events[0].second["failures"];
        ASSERT_EQ(failures.size(), 1u) << failures;
        EXPECT_EQ(failures[0]["cause"], "refused");
        EXPECT_EQ(failures[0]["count"], 1);
        EXPECT_NE(failures[0]["hint"].get<std::string>().find("takes the unit's own SL..SH: 0.0..400.0"),
                  std::string::npos)
            << failures[0]["hint"];
    }));
    EXPECT_EQ(writable.exit_code, 0) << "the page's writes leave watch's exit code to its polling\n" << writable.err;
    EXPECT_EQ(sim_.Command("get 1 1 S1"), "ok 0042.5");
    EXPECT_NE(writable.out.find("write from the page: 01K1S1"), std::string::npos) << writable.out;
}

// A line described in a file: the page names its points as the file does,
// in its units, and shows (charts, cards, CSV) the values scaled as it says.
TEST_F(QdxpollTest, WatchShowsTheFilesNamesUnitsAndScaledValues) {
    char dir[] = "/tmp/qdxpoll-page-config-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/line.toml";
    std::ofstream(path) << "[line]\nport = \"" << sim_.path() << "\"\n\n"
                        << "[[point]]\naddress = \"01K1M1\"\nname = \"Zone 1\"\nunit = \"\u00b0F\"\nscale = 1.8\n"
                           "offset = 32\n\n[[point]]\naddress = \"01K1S1\"\n";
    const ToolRun run = RunTool({"--config", path, "--quiet", "watch", "--interval", "0.1"},
                                WithPage([](httplib::Client& client, int) {
        const auto events = Events(client, 1);
        ASSERT_GE(events.size(), 2u);
        const nlohmann::json& points = events[0].second["setup"]["points"];
        EXPECT_EQ(points[0]["name"], "Zone 1");
        EXPECT_EQ(points[0]["engineering_unit"], "\u00b0F");
        EXPECT_EQ(points[0]["decimals"], 1) << "0.1 °C is 0.18 °F";
        EXPECT_EQ(points[1]["engineering_unit"], "\u00b0C") << "the unit model's, where the file names none";
        EXPECT_NEAR(events[1].second["row"][1].get<double>(), 75.2, 1e-9);
        EXPECT_EQ(events[1].second["row"][2], 150.0);
        EXPECT_EQ(events[1].second["latest"][0]["good"]["text"], "75.2");
        const auto csv = client.Get("/chart.csv?points=01K1M1");
        ASSERT_TRUE(csv);
        EXPECT_NE(csv->body.find(",75.2\n"), std::string::npos) << csv->body.substr(0, 200);
    }));
    EXPECT_EQ(run.exit_code, 0) << run.err;
    std::filesystem::remove_all(dir);
}

// Connections from one address (127.0.0.2) that send the start of a request
// and never its end, as slow clients do; each keeps its socket until the
// server closes it or they end.
class StalledClients {
public:
    StalledClients(int port, int count, const char* from) {
        const std::string start = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Slow: ";
        for (int i = 0; i < count; ++i) {
            const int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in own{}, to{};
            own.sin_family = to.sin_family = AF_INET;
            inet_pton(AF_INET, from, &own.sin_addr);
            to.sin_port = htons(static_cast<uint16_t>(port));
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (bind(fd, reinterpret_cast<sockaddr*>(&own), sizeof own) == 0 &&
                connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
                send(fd, start.data(), start.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(start.size()))
                fds_.push_back(fd);
            else
                close(fd);
        }
    }
    ~StalledClients() {
        for (int fd : fds_) close(fd);
    }
    size_t connected() const { return fds_.size(); }
    // How many the server is done with so far: answered (a refusal of the
    // request never finished), closed or reset.
    int Done() const {
        int done = 0;
        for (int fd : fds_) {
            char byte;
            const ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            done += !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
        }
        return done;
    }

private:
    std::vector<int> fds_;
};

// The status line's code of a request sent as it is, on a connection of its
// own; -1 when none comes.
int RawStatus(int port, const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[512];
        for (ssize_t n; answer.find("\r\n") == std::string::npos && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;)
            answer.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    std::smatch m;
    return std::regex_search(answer, m, std::regex(R"(^HTTP/1\.1 (\d{3}) )")) ? std::stoi(m[1]) : -1;
}

// Forty slow clients at one address that reconnect at once hold no more
// than its share of the page's workers: a person at another address gets
// the page while every one of them still holds its connection (waiting, or
// served within its 5 s). A request names the server in exactly one Host.
TEST_F(QdxpollTest, WatchServesAPersonWhileSlowClientsOfOneAddressWait) {
    const ToolRun run = Tool({"watch", "01K1M1", "--interval", "0.1"}, WithPage([](httplib::Client& client, int port) {
        StalledClients slow(port, 40, "127.0.0.2");
        ASSERT_EQ(slow.connected(), 40u);
        const auto page = client.Get("/");  // from 127.0.0.1
        ASSERT_TRUE(page);
        EXPECT_EQ(page->status, 200);
        EXPECT_EQ(slow.Done(), 0) << "the page came only as slow clients were dropped";

        const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
        struct Raw {
            const char* what;
            std::string request;
            int http_status;
        } raws[] = {
            {"no Host", "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", 400},
            {"an empty Host", "GET / HTTP/1.1\r\nHost:\r\nConnection: close\r\n\r\n", 400},
            {"the page's Host twice", "GET / HTTP/1.1\r\n" + host + host + "Connection: close\r\n\r\n", 400},
            {"the page's Host", "GET / HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n", 200},
        };
        for (const Raw& r : raws) EXPECT_EQ(RawStatus(port, r.request), r.http_status) << r.what;
    }));
    EXPECT_EQ(run.exit_code, 0) << run.err;
}

// --listen takes an address as the line file's listen does, IPv6 with its
// brackets or without, and the address printed is one a person can open,
// also when the page is served on every address.
TEST_F(QdxpollTest, WatchListensWhereItIsToldAndPrintsAnAddressToOpen) {
    struct Case {
        std::string listen;
        int exit_code;
        std::string printed;  // the page's address up to its port, or a part of the refusal
    } cases[] = {
        {"[::1]", 0, "http://[::1]:"},
        {"::1", 0, "http://[::1]:"},
        {"::", 0, "http://[::1]:"},
        {"0.0.0.0", 0, "http://127.0.0.1:"},
        {"[::1", 64, "no ']' after the IPv6 address"},
        {"[127.0.0.1]", 64, "brackets hold an IPv6 address"},
        {"127.0.0.1:8080", 64, "the port is --http PORT"},
        {"[::1]:8080", 64, "the port is --http PORT"},
    };
    for (const Case& c : cases) {
        std::string answered;
        const ToolRun run = Tool({"watch", "01K1M1", "--interval", "0.1", "--listen", c.listen},
                                 [&](pid_t pid, const std::string& err_path) {
            // A refused --listen ends the program by itself: a Ctrl-C sent
            // while it is still on its way out would be its exit instead.
            struct Ctrl_C {
                pid_t pid;
                bool refused = false;
                ~Ctrl_C() {
                    if (!refused) kill(pid, SIGINT);
                }
            } end{pid};
            const std::regex address("Open (http://(\\[[0-9a-f:]+\\]|[0-9.]+):(\\d+)/)");
            std::smatch m;
            std::string err;
            for (int i = 0; i < 500; ++i) {
                err = Slurp(err_path);
                if (std::regex_search(err, m, address)) break;
                if (err.find("qdxpoll: --listen") != std::string::npos) {
                    end.refused = true;
                    return;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            if (m.empty()) return;
            std::string host = m[2];
            if (host.front() == '[') host = host.substr(1, host.size() - 2);
            httplib::Client person(host, std::stoi(m[3]));
            person.set_read_timeout(10);
            const auto page = person.Get("/");
            answered = page ? std::to_string(page->status) : httplib::to_string(page.error());
        });
        EXPECT_EQ(run.exit_code, c.exit_code) << c.listen << ": " << run.err;
        EXPECT_NE(run.err.find(c.printed), std::string::npos) << c.listen << ": " << run.err;
        if (c.exit_code == 0) {
            EXPECT_EQ(answered, "200") << c.listen << ": the page at the address printed";
        }
        EXPECT_EQ(run.err.find("[["), std::string::npos) << c.listen << ": " << run.err;
    }
}

// The page in a real browser against a simulated furnace, as an engineer
// tuning a loop uses it: each point's value large with its unit and age, a
// unit's S1, M1 and O1 on one chart and M1 across units on another, a point
// the unit lacks saying why instead of drawing an empty chart, failures
// grouped, one time format, a range dragged on a chart and its CSV named
// after it, and a write through the form (after its confirmation) that M1
// then follows. The screenshots (a wide screen and a phone) stay in the
// build tree's artifacts/ for CI to keep.
TEST(QdxpollWatchPage, InChromiumTheChartGrowsAndTheFormWritesS1) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    if (qdxtest::HeadlessBrowser::ExecutablePath().empty())
        GTEST_SKIP() << "Chromium not found at /usr/bin/chromium (Debian package chromium; or set QDX_CHROMIUM): "
                        "the page of watch is not checked in a browser";
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--speed", "120"}, {}, &error)) << error;
    std::filesystem::create_directories(QDX_ARTIFACT_DIR);
    const std::string wide = QDX_ARTIFACT_DIR "/watch-page-1280x800.png", phone = QDX_ARTIFACT_DIR "/watch-page-390x844.png",
                      screenshot = QDX_ARTIFACT_DIR "/watch-page.png";
    for (const std::string& f : {wide, phone, screenshot}) std::filesystem::remove(f);
    auto number = [](const nlohmann::json& v) { return v.is_number() ? v.get<double>() : -1.0; };
    auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
    const ToolRun run = RunTool(
        {"--port", sim.path(), "--quiet", "watch", "01K1M1", "01K1S1", "01K1O1", "02K1M1", "01K1M2", "--interval",
         "0.2", "--allow-writes"},
        WithPage([&](httplib::Client&, int port) {
            const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
            qdxtest::HeadlessBrowser browser;
            std::string why;
            ASSERT_TRUE(browser.Start(1280, 800, QDX_ARTIFACT_DIR "/chromium.log", &why) && browser.Open(url, &why))
                << why;
            // The page runs under the server's content security policy: it
            // breaks none of it.
            browser.Evaluate("window.violations = [];"
                             "document.addEventListener('securitypolicyviolation',"
                             " (e) => violations.push(e.violatedDirective))");
            const char* rows = "Number(document.body.dataset.rows || 0)";
            ASSERT_TRUE(browser.WaitFor(std::string(rows) + " >= 3", 15000)) << "the page draws no chart";
            const double drawn = number(browser.Evaluate(rows));
            EXPECT_TRUE(browser.WaitFor(std::string(rows) + " >= " + std::to_string(drawn + 3), 5000))
                << "the chart gains no points";

            // What the page says, as one text per question.
            struct Shown {
                const char* what;
                const char* expression;
                const char* pattern;
            };
            const Shown shown[] = {
                {"a point's value, large, with its unit and age",
                 "(() => { const c = document.querySelector('.card[data-address=\"01K1M1\"]');"
                 " return c.querySelector('.card-value').textContent + '|' + c.querySelector('.card-age').textContent })()",
                 R"(\d+\.\d°C\|\d+ s ago)"},
                {"the output in %", "document.querySelector('.card[data-address=\"01K1O1\"] .card-value').textContent",
                 R"(-?\d+\.\d%)"},
                {"a point the unit lacks says why on its card",
                 "document.querySelector('.card[data-address=\"01K1M2\"] .card-why').textContent",
                 R"(no such identifier \(EOT\) \d+ s ago)"},
                {"and instead of an empty chart",
                 "document.querySelector('.no-values[data-address=\"01K1M2\"]').textContent",
                 R"(01K1M2: no good value — no such identifier \(EOT\) \(last at \d\d:\d\d:\d\d \S+\))"},
                {"a unit's S1, M1 and O1 on one chart", "document.querySelector('.chart-box').dataset.points",
                 "01K1S1,01K1M1,01K1O1,01K1M2"},
                {"with °C on the left and % on the right",
                 "Array.from(document.querySelectorAll('.chart-box:first-child .axis-title'))"
                 ".map((l) => l.textContent).join('|')",
                 R"(.*S1 / M1 \(°C\).*%.*)"},
                {"its legend in the unit's decimals and units, the time as everywhere",
                 "(() => { const g = charts[0].graph; g.setSelection(g.numRows() - 1);"
                 " return document.querySelector('.legend').textContent.replace(/\\u00a0/g, ' ') })()",
                 R"(\d\d:\d\d:\d\d \S+.*01K1S1: \d+\.\d °C.*01K1O1: -?\d+\.\d %.*)"},
                {"one failure repeated is one line with its count, first and last time",
                 "Array.from(document.querySelectorAll('#failures tbody tr')).map((r) => Array.from(r.cells)"
                 ".slice(0, 5).map((c) => c.textContent).join('|')).join('\\n')",
                 R"(01K1M2\|no such identifier \(EOT\)\|([3-9]|\d\d+)\|\d\d:\d\d:\d\d \S+\|\d\d:\d\d:\d\d \S+)"},
                {"retried requests are counted", "document.getElementById('retried').textContent",
                 "No good request needed a second attempt."},
                {"no 12-hour clock and no guess in a title",
                 "String(/\\b[AP]M\\b|\\(assumed\\)/.test(document.body.innerText))", "false"},
            };
            for (const Shown& w : shown) {
                const std::regex pattern(w.pattern);
                EXPECT_TRUE([&] {
                    for (int i = 0; i < 50; ++i) {
                        if (std::regex_match(text(browser.Evaluate(w.expression)), pattern)) return true;
                        std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    }
                    return false;
                }()) << w.what << ": " << text(browser.Evaluate(w.expression));
            }

            // As a user: the point and the value, Write..., then the confirmation.
            browser.Evaluate("document.getElementById('write-address').value = '01K1S1';"
                             "document.getElementById('write-value').value = '210';"
                             "document.getElementById('write-button').click()");
            EXPECT_TRUE(browser.WaitFor("!document.getElementById('write-confirm').hidden", 2000));
            EXPECT_EQ(sim.Command("get 1 1 S1"), "ok 0150.0") << "written before the confirmation";
            browser.Evaluate("document.getElementById('write-yes').click()");
            EXPECT_TRUE(browser.WaitFor("document.body.dataset.writeStatus === 'verified'", 10000))
                << browser.Evaluate("document.getElementById('write-result').textContent");
            EXPECT_EQ(sim.Command("get 1 1 S1"), "ok 0210.0");
            // The chart shows the new S1 and M1 climbing past the old one.
            EXPECT_TRUE(browser.WaitFor("rows[rows.length - 1][2] === 210 && rows[rows.length - 1][1] > 160", 15000))
                << browser.Evaluate("JSON.stringify(rows[rows.length - 1])");
            ASSERT_TRUE(browser.Screenshot(wide, &why)) << why;
            std::filesystem::copy_file(wide, screenshot, std::filesystem::copy_options::overwrite_existing);

            // A range dragged across the chart: every chart shows it, still,
            // and a chart's CSV is named after its points and that range.
            browser.Evaluate(
                "(() => { const c = document.querySelector('.chart canvas:last-of-type'), b = c.getBoundingClientRect();"
                " const at = (type, x, target) => target.dispatchEvent(new MouseEvent(type, {bubbles: true,"
                " clientX: b.left + x * b.width, clientY: b.top + b.height / 2, button: 0}));"
                " at('mousedown', 0.3, c); at('mousemove', 0.5, document); at('mousemove', 0.7, document);"
                " at('mouseup', 0.7, document); })()");
            EXPECT_TRUE(browser.WaitFor("document.body.dataset.range === 'picked' && rows.length > 1 &&"
                                        " rows[0][0] >= range.from && rows[rows.length - 1][0] <= range.to", 5000))
                << "no range picked: " << text(browser.Evaluate("document.body.dataset.range"));
            const std::string csv_name = text(browser.Evaluate(
                "(() => { const a = document.querySelector('.chart-box .csv'); a.onclick(); return a.download })()"));
            EXPECT_TRUE(std::regex_match(csv_name,
                                         std::regex(R"(qdxpoll-01K1S1-01K1M1-01K1O1-01K1M2-\d{8}T\d{4}-\d{8}T\d{4}\.csv)")))
                << csv_name;
            EXPECT_TRUE(browser.WaitFor("document.getElementById('picked').textContent.includes(' – ')", 1000));

            // The same identifier across units, and back to a live range.
            browser.Evaluate("document.querySelector('[data-group=identifier]').click();"
                             "document.querySelector('[data-range=\"3600000\"]').click()");
            EXPECT_TRUE(browser.WaitFor("Array.from(document.querySelectorAll('.chart-box'))"
                                        ".some((b) => b.dataset.points === '01K1M1,02K1M1')", 5000));
            EXPECT_TRUE(browser.WaitFor("document.body.dataset.range === '3600000' && " + std::string(rows) + " > 5",
                                        5000));
            EXPECT_EQ(browser.Evaluate("violations"), nlohmann::json::array());
            browser.Close();

            // On a phone: nothing wider than the screen but the tables, which scroll.
            qdxtest::HeadlessBrowser small;
            ASSERT_TRUE(small.Start(390, 844, QDX_ARTIFACT_DIR "/chromium-phone.log", &why) && small.Open(url, &why))
                << why;
            ASSERT_TRUE(small.WaitFor(std::string(rows) + " >= 3 && document.querySelectorAll('.chart').length > 0",
                                      15000));
            EXPECT_LE(number(small.Evaluate("document.documentElement.scrollWidth")), 390.0)
                << text(small.Evaluate("Array.from(document.querySelectorAll('body *')).filter((e) =>"
                                       " e.getBoundingClientRect().right > 391).slice(0, 8).map((e) => e.tagName +"
                                       " '.' + e.className + '#' + e.id + ' ' + e.getBoundingClientRect().right)"
                                       ".join(', ')"));
            ASSERT_TRUE(small.Screenshot(phone, &why)) << why;
        }));
    EXPECT_EQ(run.exit_code, 69) << "the point the unit lacks decides the exit code, as in poll\n" << run.err;
    EXPECT_NE(run.out.find("write from the page: 01K1S1"), std::string::npos) << run.out;
    for (const std::string& f : {wide, phone, screenshot}) EXPECT_GT(std::filesystem::file_size(f), 10000u) << f;
}

// watch --db over a restart, as a night with a crash in it: the first run
// killed with SIGKILL, the second started on the same database. The page
// shows the samples of both runs with the time between them marked as a
// gap, and the failures of the whole night, not only of this run.
TEST(QdxpollWatchPage, InChromiumTheHistoryOfBothRunsShowsWithTheGapMarked) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    if (const char* why = HistoryUnavailable()) GTEST_SKIP() << why;
    if (qdxtest::HeadlessBrowser::ExecutablePath().empty())
        GTEST_SKIP() << "Chromium not found at /usr/bin/chromium (Debian package chromium; or set QDX_CHROMIUM)";
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start({"--speed", "60"}, {}, &error)) << error;
    char dir[] = "/tmp/qdxpoll-night-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string db = std::string(dir) + "/line1.db";
    const std::vector<std::string> args = {"--port", sim.path(), "--quiet", "watch", "01K1M1", "01K1S1", "01K1O1",
                                           "02K1M1", "01K1M2", "--interval", "0.2", "--db", db};
    const ToolRun killed = RunTool(args, [](pid_t pid, const std::string& err_path) {
        if (PagePort(err_path) != 0) std::this_thread::sleep_for(std::chrono::seconds(3));
        kill(pid, SIGKILL);
    });
    ASSERT_EQ(killed.exit_code, -1) << "the first run was to be killed:\n" << killed.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the gap

    auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
    const ToolRun again = RunTool(args, WithPage([&](httplib::Client&, int port) {
        qdxtest::HeadlessBrowser browser;
        std::string why;
        ASSERT_TRUE(browser.Start(1280, 800, QDX_ARTIFACT_DIR "/chromium-history.log", &why) &&
                    browser.Open("http://127.0.0.1:" + std::to_string(port) + "/", &why))
            << why;
        // Through the page's own data: one gap, with good samples of M1 on
        // both sides of it, and the gap listed in words.
        const std::string both_runs =
            "Number(document.body.dataset.gaps || 0) === 1 && rows.some((r) => r[0] < gaps[0][0] && r[1] !== null)"
            " && rows.some((r) => r[0] > gaps[0][1] && r[1] !== null)";
        EXPECT_TRUE(browser.WaitFor(both_runs, 15000))
            << "gaps " << text(browser.Evaluate("JSON.stringify(gaps)")) << ", "
            << text(browser.Evaluate("rows.length")) << " rows from "
            << text(browser.Evaluate("rows.length && rows[0][0]"));
        // The new run from its first cycle, though the database had none of it yet.
        EXPECT_LT(browser.Evaluate("rows.find((r) => r[0] > gaps[0][1] && r[1] !== null)[0] - gaps[0][1]").get<double>(),
                  1500.0)
            << text(browser.Evaluate("JSON.stringify(rows.filter((r) => r[0] > gaps[0][0]).slice(0, 5))"));
        EXPECT_TRUE(std::regex_match(text(browser.Evaluate("document.querySelector('#gaps li').textContent")),
                                     std::regex(R"(not watched from \d\d:\d\d:\d\d \S+ to \d\d:\d\d:\d\d \S+ \(\d+ s\): .*)")))
            << text(browser.Evaluate("document.getElementById('gaps').textContent"));
        // The night's EOTs of the point the unit lacks outnumber this run's polls of it.
        EXPECT_TRUE(browser.WaitFor(
            "(() => { const f = Array.from(document.querySelectorAll('#failures tbody tr'))"
            ".find((r) => r.cells[0].textContent === '01K1M2'); const s = stats.find((x) => x.address === '01K1M2');"
            " return !!f && !!s && Number(f.cells[2].textContent) > s.requests })()", 5000))
            << text(browser.Evaluate("document.getElementById('failures').textContent"));
        // The whole history keeps the gap, live.
        browser.Evaluate("document.querySelector('[data-range=all]').click()");
        EXPECT_TRUE(browser.WaitFor("document.body.dataset.range === 'all' && " + both_runs, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_TRUE(browser.Screenshot(QDX_ARTIFACT_DIR "/watch-page-history.png", &why)) << why;
    }));
    EXPECT_EQ(again.exit_code, 69) << "the point the unit lacks decides the exit code\n" << again.err;

    // The database holds both runs, the first one ended by its last commit.
    auto store = HistoryStore::Open(db, HistoryStore::kRead, &error);
    ASSERT_NE(store, nullptr) << error;
    const auto runs = store->Runs(INT64_MIN, INT64_MAX, &error);
    ASSERT_EQ(runs.size(), 2u) << error;
    EXPECT_LT(runs[0].end_ms, runs[1].start_ms);
    EXPECT_NE(runs[1].what.find("watch 01K1M1"), std::string::npos) << runs[1].what;
    store.reset();
    std::filesystem::remove_all(dir);
}

// What the page's charts and lists say against what the line did, in a
// real browser: axes at the unit's resolution whose titles keep clear of
// their numbers, a unit gone silent marked where its answers stopped, the
// line's silence and the port's outage each a band and a line in the list,
// no measured pace before there is one, and no word on failures before the
// first cycle.
TEST(QdxpollWatchPage, InChromiumTheChartsShowWhatTheLineDid) {
    if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
    if (qdxtest::HeadlessBrowser::ExecutablePath().empty())
        GTEST_SKIP() << "Chromium not found at /usr/bin/chromium (Debian package chromium; or set QDX_CHROMIUM)";
    // The line through a link that outlives the simulator, so that the
    // simulator started again is the same port to qdxpoll.
    const std::string link = "/tmp/qdxtest-watch-line-" + std::to_string(getpid());
    const std::vector<std::string> sim_args = {"--no-drift", "--link", link};
    qdxtest::Simulator sim;
    std::string error;
    ASSERT_TRUE(sim.Start(sim_args, {}, &error)) << error;
    ASSERT_EQ(sim.Command("set 2 1 M1 159.9"), "ok 0159.9");
    std::filesystem::create_directories(QDX_ARTIFACT_DIR);
    auto text = [](const nlohmann::json& v) { return v.is_string() ? v.get<std::string>() : v.dump(); };
    // Every axis at least a few steps of its points' resolution, its
    // numbers in their decimals and each once; "" when so.
    const char* resolution_faults =
        "charts.flatMap((c) => c.graph.yAxisRanges().map((r, a) => { const d = a ? c.decimals.y2 : c.decimals.y;"
        " const labels = Array.from(c.graph.graphDiv.querySelectorAll('.dygraph-axis-label-y' + (a ? '2' : '1')))"
        ".map((l) => l.textContent);"
        " const places = new RegExp('^-?\\\\d+' + (d ? '\\\\.\\\\d{' + d + '}' : '') + '$');"
        " return (r[1] - r[0] < 5 * Math.pow(10, -d) - 1e-9 ? 'range ' + r.join('..') + ' at ' + d + ' places; ' : '') +"
        " labels.filter((l, k) => !places.test(l) || labels.indexOf(l) !== k).map((l) => 'tick ' + l).join(' ') }))"
        ".filter((f) => f).join(' | ')";
    // Axis titles that overlap a number of an axis, or one another.
    const char* overlaps =
        "Array.from(document.querySelectorAll('.chart-box')).flatMap((box) => {"
        " const box_of = (e) => { const r = document.createRange(); r.selectNodeContents(e);"
        " return r.getBoundingClientRect() };"
        " const titles = Array.from(box.querySelectorAll('.axis-title, .dygraph-label')).filter((t) => t.textContent);"
        " const numbers = Array.from(box.querySelectorAll('.dygraph-axis-label')).concat(titles);"
        " return titles.flatMap((t) => { const a = box_of(t); return numbers.filter((l) => { if (l === t) return false;"
        " const b = box_of(l);"
        " return b.width > 0 && a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom })"
        ".map((l) => t.textContent + ' over ' + l.textContent) }) }).join(', ')";
    const ToolRun run = RunTool(
        {"--port", link, "--quiet", "watch", "01K1M1", "01K1S1", "01K1O1", "02K1M1", "--interval", "0.2"},
        WithPage([&](httplib::Client& client, int port) {
            // Served, before any event: not a word on failures.
            const auto page = client.Get("/");
            ASSERT_TRUE(page);
            EXPECT_TRUE(std::regex_search(page->body, std::regex(R"(<p id="no-failures"[^>]* hidden>)")))
                << "\"None so far\" shows while connecting";
            const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
            qdxtest::HeadlessBrowser browser;
            std::string why;
            ASSERT_TRUE(browser.Start(1280, 800, QDX_ARTIFACT_DIR "/chromium-line.log", &why) && browser.Open(url, &why))
                << why;
            ASSERT_TRUE(browser.WaitFor("!!document.getElementById('pace')", 5000));
            browser.Evaluate("window.paces = [document.getElementById('pace').textContent];"
                             "new MutationObserver(() => paces.push(document.getElementById('pace').textContent))"
                             ".observe(document.getElementById('pace'), {childList: true, characterData: true, subtree: true})");
            const char* rows = "Number(document.body.dataset.rows || 0)";
            ASSERT_TRUE(browser.WaitFor(std::string(rows) + " >= 5 && charts.length === 2", 15000));
            sim.Command("set 2 1 M1 160.0");
            EXPECT_TRUE(browser.WaitFor("rows.length && rows[rows.length - 1][4] === 160", 5000));
            EXPECT_EQ(text(browser.Evaluate(resolution_faults)), "");
            EXPECT_EQ(text(browser.Evaluate(overlaps)), "");
            EXPECT_FALSE(browser.Evaluate("document.getElementById('no-failures').hidden").get<bool>())
                << "after the first cycle the page says there is no failure";
            // A range dragged, then a live one again: the charts follow the new rows.
            browser.Evaluate(
                "(() => { const c = document.querySelector('.chart canvas:last-of-type'), b = c.getBoundingClientRect();"
                " const at = (type, x, target) => target.dispatchEvent(new MouseEvent(type, {bubbles: true,"
                " clientX: b.left + x * b.width, clientY: b.top + b.height / 2, button: 0}));"
                " at('mousedown', 0.2, c); at('mousemove', 0.4, document); at('mouseup', 0.5, document); })()");
            EXPECT_TRUE(browser.WaitFor("document.body.dataset.range === 'picked'", 5000));
            browser.Evaluate("document.querySelector('[data-range=\"600000\"]').click()");
            const std::string last_rows = "rows.length > 0 && rows[rows.length - 1][0]";
            const double after = browser.Evaluate(last_rows).get<double>() + 1000;
            EXPECT_TRUE(browser.WaitFor("document.body.dataset.range === '600000' && " + last_rows + " > " +
                                            std::to_string(after) + " && charts.every((c) => c.graph.xAxisRange()[1] >= " +
                                            last_rows + ")",
                                        10000))
                << text(browser.Evaluate("JSON.stringify(charts.map((c) => c.graph.xAxisRange())) + ' ' + " + last_rows));

            // Unit 02 silent: its chart marks its last good value.
            ASSERT_EQ(sim.Command("mute 2 on"), "ok");
            const char* mark = "document.querySelector('.stopped[data-address=\"02K1M1\"]')";
            EXPECT_TRUE(browser.WaitFor(std::string("!!") + mark, 5000));
            EXPECT_TRUE(browser.WaitFor(std::string(mark) + " && Number(" + mark +
                                            ".dataset.time) === latest[3].good.time && latest[3].failed.time >"
                                            " latest[3].good.time && rows.some((r) => Math.abs(r[0] - latest[3].good.time) < 1000 && r[4] === 160)",
                                        2000))
                << text(browser.Evaluate(std::string(mark) + " && " + mark + ".textContent"));
            EXPECT_TRUE(std::regex_match(text(browser.Evaluate(std::string(mark) + ".textContent")),
                                         std::regex(R"(02K1M1: no answer since \d\d:\d\d:\d\d \S+ \(no answer\).*)")));
            ASSERT_TRUE(browser.Screenshot(QDX_ARTIFACT_DIR "/watch-page-silent-unit.png", &why)) << why;

            // The whole line silent for a while, then the port gone for a
            // while: each a band and a line of its own.
            ASSERT_EQ(sim.Command("mute 1 on"), "ok");
            EXPECT_TRUE(browser.WaitFor("gaps.some((g) => g[2] === 'no unit answered' && g[1] - g[0] >= 600)", 10000))
                << text(browser.Evaluate("JSON.stringify(gaps)"));
            ASSERT_EQ(sim.Command("mute 1 off"), "ok");
            ASSERT_EQ(sim.Command("mute 2 off"), "ok");
            const std::string rows_since = "rows.some((r) => r[0] > gaps[gaps.length - 1][1] && r[1] !== null)";
            EXPECT_TRUE(browser.WaitFor(rows_since, 10000));
            EXPECT_TRUE(browser.WaitFor("!" + std::string(mark), 15000)) << "unit 02 answers again";
            sim.Stop();
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ASSERT_TRUE(sim.Start(sim_args, {}, &error)) << error;
            EXPECT_TRUE(browser.WaitFor("gaps.some((g) => /^port lost/.test(g[2]) && g[1] - g[0] >= 1000) && " +
                                            rows_since, 20000))
                << text(browser.Evaluate("JSON.stringify(gaps)"));
            const std::string listed = text(browser.Evaluate(
                "Array.from(document.querySelectorAll('#gaps li.line')).map((l) => l.textContent).join('\\n')"));
            EXPECT_TRUE(std::regex_match(
                listed, std::regex(R"(no samples from (\d\d:\d\d:\d\d \S+) to \d\d:\d\d:\d\d \S+ \(\d+ s\): no unit answered\n)"
                                   R"(no samples from \d\d:\d\d:\d\d \S+ to \d\d:\d\d:\d\d \S+ \(\d+ s\): port lost: .*)")))
                << listed;
            // A pace only once two cycles have run, never one of 0.00 s.
            EXPECT_EQ(text(browser.Evaluate("String(window.paces && paces.some((p) => p.startsWith('measured: a cycle every ')) &&"
                                            " !paces.some((p) => p.includes('every 0.00 s')))")),
                      "true")
                << text(browser.Evaluate("JSON.stringify(window.paces)"));
            ASSERT_TRUE(browser.Screenshot(QDX_ARTIFACT_DIR "/watch-page-outages.png", &why)) << why;
            browser.Close();

            qdxtest::HeadlessBrowser small;
            ASSERT_TRUE(small.Start(390, 844, QDX_ARTIFACT_DIR "/chromium-line-phone.log", &why) && small.Open(url, &why))
                << why;
            ASSERT_TRUE(small.WaitFor(std::string(rows) + " >= 3 && charts.length === 2", 15000));
            EXPECT_EQ(text(small.Evaluate(overlaps)), "") << "on a phone";
            EXPECT_EQ(text(small.Evaluate(resolution_faults)), "") << "on a phone";
        }));
    EXPECT_NE(run.exit_code, -1) << "watch was to end by Ctrl-C\n" << run.err;
    unlink(link.c_str());
}

#else

TEST(QdxpollWatchPage, InChromiumTheChartGrowsAndTheFormWritesS1) {
    GTEST_SKIP() << "qdxpoll is built without watch here (no cpp-httplib for this target): its page is not checked";
}

#endif  // QDX_WATCH

// --- The tool's own parts ------------------------------------------------

ValueCell FloatCell(float f) {
    ValueCell cell{};
    std::memcpy(cell.bytes, &f, sizeof f);
    return cell;
}

TEST(QdxpollValues, WriteTextFillsTheCellPlaceOfItsTypeOrIsRefused) {
    struct Case {
        uint32_t type;
        const char* text;
        bool accepted;
        uint16_t at2;  // expected u16 at offset 2 (16-bit types)
        uint32_t at0;  // expected u32 at offset 0 (32-bit types)
    } cases[] = {
        {kTypeU16, "150", true, 150, 0},
        {kTypeS16, "-1", true, 0xFFFF, 0},
        {kTypeBcd, "1234", true, 0x1234, 0},
        {kTypeBcd, "90", true, 0x0090, 0},
        {kTypeState, "1", true, 1, 0},
        {kTypeS32, "-5", true, 0, 0xFFFFFFFBu},
        {kTypeU32, "9999", true, 0, 9999},
        {kTypeU16, "65536", false, 0, 0},   // out of the type's range
        {kTypeS16, "-32769", false, 0, 0},
        {kTypeBcd, "10000", false, 0, 0},
        {kTypeBcd, "-1", false, 0, 0},
        {kTypeState, "2", false, 0, 0},
        {kTypeU16, "12.5", false, 0, 0},    // not a whole number
        {kTypeU16, " 5\n", true, 5, 0},    // blanks around a value, as an MQTT payload may end
        {kTypeU16, "1.5e2", true, 150, 0},  // whole, written with an exponent
        {kTypeU32, "0x10", false, 0, 0},
        {kTypeU16, "10000", false, 0, 0},   // in range, but no value text holds it
        {kTypeS32, "-1000", false, 0, 0},
        {kTypeFloat, "10000", false, 0, 0},
        {kTypeFloat, "-1000", false, 0, 0},
        {kTypeFloat, "nan", false, 0, 0},
        {kTypeFloat, "1e400", false, 0, 0},
        {kTypeFloat, "", false, 0, 0},
    };
    for (const Case& c : cases) {
        ValueCell cell{};
        std::string why;
        const bool accepted = EncodeValue(c.type, c.text, &cell, &why);
        EXPECT_EQ(accepted, c.accepted) << TypeName(c.type) << " " << c.text << ": " << why;
        if (!accepted) {
            EXPECT_FALSE(why.empty());
            EXPECT_EQ(CellU32(cell), 0u) << "a refused value leaves the cell alone";
        } else if (IsWideType(c.type)) {
            EXPECT_EQ(CellU32(cell), c.at0) << TypeName(c.type) << " " << c.text;
        } else {
            EXPECT_EQ(CellU16(cell), c.at2) << TypeName(c.type) << " " << c.text;
            EXPECT_EQ(cell.bytes[0] | cell.bytes[1], 0) << "16-bit values live at offset 2";
        }
    }
    ValueCell cell{};
    std::string why;
    ASSERT_TRUE(EncodeValue(kTypeFloat, "-999.9", &cell, &why));
    EXPECT_EQ(DecodeCell(kTypeFloat, cell, false).text, "-999.9");
}

TEST(QdxpollValues, CellsReadBackAsNaturalTextWithoutExponent) {
    ValueCell s16{};
    SetCellU16(&s16, 0xFFF4);
    ValueCell bcd{};
    SetCellU16(&bcd, 0x0150);
    ValueCell not_bcd{};
    SetCellU16(&not_bcd, 0xC345);
    ValueCell u32{};
    SetCellU32(&u32, 4000000000u);
    struct Case {
        uint32_t type;
        ValueCell cell;
        bool bit_read;
        const char* text;
        bool numeric;
    } cases[] = {
        {kTypeFloat, FloatCell(25.5f), false, "25.5", true},
        {kTypeFloat, FloatCell(-199.9f), false, "-199.9", true},
        {kTypeFloat, FloatCell(0.00001f), false, "0.00001", true},
        {kTypeFloat, FloatCell(12345678.0f), false, "12345678", true},
        {kTypeS16, s16, false, "-12", true},
        {kTypeU16, s16, false, "65524", true},
        {kTypeBcd, bcd, false, "0150", true},
        {kTypeBcd, not_bcd, false, "C345", false},
        {kTypeU32, u32, false, "4000000000", true},
        {kTypeFloat, bcd, true, "336", true},  // a bit read shows offset 2 whatever the type
    };
    for (const Case& c : cases) {
        const CellValue v = DecodeCell(c.type, c.cell, c.bit_read);
        EXPECT_EQ(v.text, c.text);
        EXPECT_EQ(v.numeric, c.numeric) << c.text;
        EXPECT_EQ(v.text.find_first_of("eE"), std::string::npos) << c.text;
    }
}

TEST(QdxpollValues, VerifyAllowsOnlyTheValueTextsLastPlace) {
    auto value = [](float f) { return DecodeCell(kTypeFloat, FloatCell(f), false); };
    EXPECT_TRUE(SameAsWritten(kTypeFloat, value(0.7f), value(0.69999f)));     // .69999
    EXPECT_TRUE(SameAsWritten(kTypeFloat, value(1234.56f), value(1234.5f)));  // 1234.5
    EXPECT_TRUE(SameAsWritten(kTypeFloat, value(-12.257f), value(-12.25f)));  // -12.25
    EXPECT_FALSE(SameAsWritten(kTypeFloat, value(42.5f), value(42.4f)));
    EXPECT_FALSE(SameAsWritten(kTypeFloat, value(1.5f), value(1.4998f)));
    // A unit keeps one decimal of S1 and cuts the rest off.
    EXPECT_TRUE(HeldAtUnitResolution("S1", kTypeFloat, value(42.57f), value(42.5f)));
    EXPECT_FALSE(HeldAtUnitResolution("S1", kTypeFloat, value(42.57f), value(42.4f)));
    EXPECT_FALSE(HeldAtUnitResolution("S1", kTypeFloat, value(42.57f), value(42.6f)));
}

TEST(QdxpollTrace, FramesAreCutWhereverTheBytesArePiecesAndTheirBccChecked) {
    struct Seen {
        Direction direction;
        std::string shown, meaning;
    };
    std::vector<Seen> seen;
    FrameDecoder decoder([&](FrameDecoder::Time, Direction d, const std::vector<uint8_t>& bytes) {
        seen.push_back({d, ShowBytes(bytes), DescribeFrame(d, bytes)});
    });
    auto feed = [&](Direction d, const std::string& bytes, size_t piece) {
        for (size_t i = 0; i < bytes.size(); i += piece) {
            const std::string part = bytes.substr(i, piece);
            decoder.Feed(d, reinterpret_cast<const uint8_t*>(part.data()), part.size());
        }
    };
    const std::string poll = "\x04" "01K1M1\x05";
    const std::string good_reply = "\x02M1-199.9\x03\x74";
    const std::string bad_reply = "\x02M1-199.9\x03\x75";
    // The selecting frame of S1 := 25.500 at unit 1 ends in BCC 07; with the
    // value text 25.503 its BCC is 0x04, the value of EOT.
    const std::string select_eot_bcc = "\x04" "01\x02K1S125.503\x03\x04";
    feed(Direction::kToUnit, poll, 3);
    feed(Direction::kFromUnit, bad_reply, 4);
    feed(Direction::kToUnit, poll + "\x04" + poll, 5);  // the closing EOT ran into the next poll
    feed(Direction::kFromUnit, good_reply, 11);
    feed(Direction::kToUnit, "\x04", 1);
    feed(Direction::kToUnit, select_eot_bcc, 2);
    feed(Direction::kFromUnit, "\x15", 1);
    // A device server's pieces, with quiet moments between them; a lone EOT.
    feed(Direction::kToUnit, poll, 8);
    for (const std::string& piece : {good_reply.substr(0, 4), good_reply.substr(4, 6), good_reply.substr(10)}) {
        decoder.FlushIdle();
        feed(Direction::kFromUnit, piece, 11);
    }
    feed(Direction::kToUnit, "\x04" "01K1M2\x05", 8);
    feed(Direction::kFromUnit, "\x04", 1);
    decoder.FlushIdle();
    decoder.Flush();

    const std::vector<std::string> expected = {
        "<EOT>01K1M1<ENQ>|poll unit 01 ch 1 M1",
        "<STX>M1-199.9<ETX><75>|reply M1 -199.9, BCC computed 74 != received 75",
        "<EOT>01K1M1<ENQ>|poll unit 01 ch 1 M1",
        "<EOT>|end of transaction",
        "<EOT>01K1M1<ENQ>|poll unit 01 ch 1 M1",
        "<STX>M1-199.9<ETX><74>|reply M1 -199.9, BCC 74 ok",
        "<EOT>|end of transaction",
        "<EOT>01<STX>K1S125.503<ETX><04>|select unit 01 ch 1 S1 := 25.503, BCC 04 ok",
        "<NAK>|refused",
        "<EOT>01K1M1<ENQ>|poll unit 01 ch 1 M1",
        "<STX>M1-199.9<ETX><74>|reply M1 -199.9, BCC 74 ok",
        "<EOT>01K1M2<ENQ>|poll unit 01 ch 1 M2",
        "<EOT>|EOT: the unit lacks the identifier (or its option)",
    };
    ASSERT_EQ(seen.size(), expected.size());
    for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].shown + "|" + seen[i].meaning, expected[i]);
}

// --- Settings files, comparisons and restore plans ---------------------------

using rexf::SavedSetting;
using rexf::SettingState;
using rexf::UnitSettings;

// Settings of unit 01, channel 1, as a unit sent them.
UnitSettings Settings(const std::vector<std::pair<const char*, const char*>>& values) {
    UnitSettings u;
    u.unit = 1;
    u.channels = {1};
    for (const auto& [ident, raw] : values) {
        SavedSetting s = rexf::DescribedSetting(1, ident);
        if (std::string(raw) == "absent") {
            s.state = SettingState::kAbsent;
        } else if (std::string(raw) == "failed") {
            s.state = SettingState::kFailed;
            s.cause = "silent";
        } else {
            s.raw = raw;
            EXPECT_TRUE(rexf::ValueOfRaw(raw, &s.value, &s.places)) << raw;
        }
        u.settings.push_back(s);
    }
    return u;
}

// A line in one file: a file that does not hold is named by its file, line
// and column, with exit 64 and a hint.
std::string DottedKeys(int count) {
    std::string keys = "a";
    for (int i = 1; i < count; ++i) keys += ".a";
    return keys;
}

TEST(QdxpollLineConfig, ABadFileIsNamedByLineAndColumnAndExits64) {
    if (ToolPath().empty()) GTEST_SKIP() << "qdxpoll not built";
    const std::string path = ::testing::TempDir() + "qdxpoll-bad-line.toml";
    struct Case {
        const char* what;
        std::string text;
        int line, column;
        std::string message, hint;
    } cases[] = {
        {"no TOML", "[line]\nport = \"/dev/ttyUSB0\n", 2, 0, "not TOML: ", ""},
        {"unknown key", "[line]\nprot = \"/dev/ttyUSB0\"\n", 2, 1, "unknown key 'prot' in [line]",
         "Did you mean 'port'?"},
        {"unknown table", "[lines]\nport = \"/dev/ttyUSB0\"\n", 1, 0, "unknown table or key 'lines'",
         "Did you mean 'line'?"},
        {"a line key outside [line]", "port = \"/dev/ttyUSB0\"\n", 1, 1, "'port' outside [line]",
         "put it below the line [line]"},
        {"wrong type", "[line]\ntimeout_ms = \"300\"\n", 2, 14, "'timeout_ms' must be an integer, not a string", ""},
        {"out of range", "[line]\ninterval_s = -1\n", 2, 14, "'interval_s' must lie within 0..86400", ""},
        {"an interval too short to be one", "[line]\ninterval_s = 0.001\n", 2, 14,
         "'interval_s': an interval of 0.001 s is none: give 0 (cycles back to back) or at least 0.01 s", ""},
        {"bad line settings", "[line]\nsettings = \"9600,7X2\"\n", 2, 12, "not line settings as BAUD,DPS",
         "e.g. settings = \"9600,7O2\""},
        {"settings and baud", "[line]\nsettings = \"9600,7O2\"\nbaud = 19200\n", 3, 8,
         "'baud' given with 'settings'", "settings = \"9600,7O2\" holds"},
        {"bad listen", "[line]\nlisten = \"127.0.0.1:http\"\n", 2, 10, "the port must be a number",
         "e.g. listen = \"127.0.0.1:8080\""},
        {"bad address", "[[point]]\naddress = \"01K9M1\"\n", 2, 11, "invalid address \"01K9M1\"", "UUKCII"},
        {"no such identifier", "[[point]]\naddress = \"01K1M7\"\n", 2, 11, "no identifier M7", "Did you mean 01K1M1?"},
        {"no address", "[[point]]\nname = \"zone\"\n", 1, 1, "a [[point]] without 'address'",
         "e.g. address = \"01K1M1\""},
        {"bad unit", "[[point]]\naddress = \"01K1M1\"\nunit = \"degC\"\n", 3, 8, "unknown unit \"degC\"",
         "Did you mean \"°C\"?"},
        {"bad type", "[[point]]\naddress = \"01K1M1\"\ntype = \"flaot\"\n", 3, 8, "'type' is \"flaot\"",
         "Did you mean \"float\"?"},
        {"duplicate point", "[[point]]\naddress = \"01K1M1\"\n[[point]]\naddress = \"01k1m1\"\n", 4, 11,
         "point 01K1M1 is given twice", ""},
        {"read-only writable", "[[point]]\naddress = \"01K1M1\"\nwritable = true\n", 3, 12,
         "point 01K1M1 is read-only", ""},
        {"writable not a bool", "[[point]]\naddress = \"01K1S1\"\nwritable = \"yes\"\n", 3, 12,
         "'writable' must be true or false, not a string", ""},
        {"mqtt typo", "[mqtt]\nbroker = \"mqtt://h:1883\"\npublish = \"changes\"\n", 3, 11,
         "'publish' is \"changes\"", "Did you mean \"change\"?"},
        {"mqtt broker scheme", "[mqtt]\nbroker = \"tcp://h:1883\"\n", 2, 10, "mqtt://HOST:PORT", "e.g. broker = "},
        {"mqtt unknown key", "[mqtt]\nbrokr = \"mqtt://h:1883\"\n", 2, 1, "unknown key 'brokr' in [mqtt]",
         "Did you mean 'broker'?"},
        // Refused before the parser sees them: a deep key path ran it off its
        // stack, an escaped NUL cut the port's name in silence, and a bare
        // non-ASCII value reached undefined behaviour inside it.
        {"a deep key path", "[line]\nport = \"X\"\n[" + DottedKeys(40000) + "]\nx = 1\n", 3, 1,
         "a key path of 40000 levels", "[line], [[point]] and [mqtt]"},
        {"an escaped NUL", "[line]\nport = \"/dev/s1.tty\\u0000/etc/passwd\"\n", 2, 20, "an escaped NUL",
         "[line], [[point]] and [mqtt]"},
        {"a bare unit", "[[point]]\naddress = \"01K1M1\"\nunit = \u00b0C\n", 3, 8,
         "a character beyond ASCII outside a string", "[line], [[point]] and [mqtt]"},
    };
    for (const Case& c : cases) {
        std::ofstream(path, std::ios::trunc) << c.text;
        const ToolRun run = RunTool({"--config", path, "read"});
        EXPECT_EQ(run.exit_code, 64) << c.what << "\n" << run.err;
        const std::string where = "qdxpoll: " + path + ":" + std::to_string(c.line) + ":" +
                                  (c.column > 0 ? std::to_string(c.column) + ": " : "");
        EXPECT_EQ(run.err.rfind(where, 0), 0u) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.message), std::string::npos) << c.what << ": " << run.err;
        EXPECT_NE(run.err.find(c.hint), std::string::npos) << c.what << ": " << run.err;
        EXPECT_EQ(Lines(run.err).size(), c.hint.empty() ? 2u : 3u) << c.what << ": " << run.err;
    }
    std::filesystem::remove(path);
    const ToolRun missing = RunTool({"--config", path, "read"});
    EXPECT_EQ(missing.exit_code, 64) << missing.err;
    EXPECT_EQ(missing.err.rfind("qdxpoll: " + path + ": cannot read it", 0), 0u) << missing.err;
}

// The points a page may write: a configuration's writable list alone, or
// without one the writable points polled and each unit's S1.
TEST(QdxpollLineConfig, ThePageWritesTheConfigurationsWritablePointsAlone) {
    struct Case {
        std::vector<std::string> polled, listed, writable;
    } cases[] = {
        {{"01K1M1", "02K1M1"}, {}, {"01K1S1", "02K1S1"}},
        {{"01K1M1", "01K1A1"}, {}, {"01K1S1", "01K1A1"}},
        {{"01K1M1", "02K1M1"}, {"02K1S1"}, {"02K1S1"}},        // not unit 01's S1
        {{"01K1M1"}, {"01K1A1", "03K1S1"}, {"01K1A1", "03K1S1"}},  // listed, polled or not
    };
    for (const Case& c : cases) EXPECT_EQ(PageWritable(c.polled, c.listed), c.writable);
}

TEST_F(QdxpollTest, InitWritesALineFileThatTheCommandsTakeAndTheCommandLineOverrides) {
    const std::string dir = ::testing::TempDir() + "qdxpoll-init-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const std::string path = dir + "/line.toml";
    const ToolRun init = Tool({"init", "--units", "0-3", "--timeout", "30", "--output", path});
    ASSERT_EQ(init.exit_code, 0) << init.err;
    const std::string text = Slurp(path);
    EXPECT_NE(text.find("address = \"01K1M1\""), std::string::npos) << text;
    EXPECT_NE(text.find("address = \"03K1S1\""), std::string::npos) << text;
    EXPECT_NE(text.find("unit = \"°C\""), std::string::npos) << text;
    EXPECT_NE(text.find("port = \"" + sim_.path() + "\""), std::string::npos) << text;
    // MQTT is there to take, its topics as they are published.
    EXPECT_NE(text.find("# [mqtt]"), std::string::npos) << text;
    EXPECT_NE(text.find("topics: PREFIX/LINE/UNIT/CHANNEL/ID"), std::string::npos) << text;
    EXPECT_EQ(text.find("to come"), std::string::npos) << text;
    LineConfig config;
    LineConfigError error;
    ASSERT_TRUE(LoadLineConfig(path, &config, &error)) << error.Message();
    EXPECT_EQ(config.name, "line1");
    EXPECT_EQ(config.listen_address, "127.0.0.1");
    EXPECT_EQ(config.http_port, 8080);
    ASSERT_GE(config.points.size(), 6u);
    EXPECT_EQ(config.points[0].address, "01K1M1");
    EXPECT_EQ(config.points[0].unit, "°C");

    // Without --force it is kept.
    const ToolRun again = Tool({"init", "--units", "1", "--output", path});
    EXPECT_EQ(again.exit_code, 64) << again.err;
    EXPECT_NE(again.err.find("exists"), std::string::npos) << again.err;
    EXPECT_NE(again.err.find("  hint: add --force"), std::string::npos) << again.err;
    EXPECT_EQ(Slurp(path), text);

    // The file alone: port, line settings and points.
    const ToolRun read = RunTool({"--config", path, "--quiet", "read"});
    EXPECT_EQ(read.exit_code, 0) << read.err;
    EXPECT_NE(read.out.find("01K1M1  unit 01 ch 1 M1  float = 24"), std::string::npos) << read.out;
    EXPECT_NE(read.out.find("03K1S1"), std::string::npos) << read.out;
    const ToolRun poll = RunTool({"--config", path, "--quiet", "poll", "--count", "1"});
    EXPECT_EQ(poll.exit_code, 0) << poll.err;
    EXPECT_NE(poll.out.find("01K1M1=24"), std::string::npos) << poll.out;

    // The command line overrides the file: its port, its points.
    std::string elsewhere = text;
    elsewhere.replace(elsewhere.find(sim_.path()), sim_.path().size(), "/dev/qdxpoll-no-such-port");
    std::ofstream(path, std::ios::trunc) << elsewhere;
    const ToolRun lost = RunTool({"--config", path, "--quiet", "read"});
    EXPECT_EQ(lost.exit_code, 66) << lost.err;
    const ToolRun given = RunTool({"--config", path, "--quiet", "read", "02K1M1", "--port", sim_.path()});
    EXPECT_EQ(given.exit_code, 0) << given.err;
    EXPECT_EQ(Lines(given.out).size(), 1u) << given.out;
    EXPECT_NE(given.out.find("02K1M1"), std::string::npos) << given.out;
    std::filesystem::remove_all(dir);
}

TEST(QdxpollSettings, FilesReadBackAndAnEntryThatDoesNotHoldIsNamedByItsLine) {
    UnitSettings saved = Settings({{"AV", "failed"}, {"M2", "absent"}, {"S1", "0150.0"}, {"T1", "000000"}});
    saved.saved = "2026-12-08T14:05:01Z";
    saved.line = "9600,7O2";
    const std::string text = rexf::SettingsToml(saved);
    UnitSettings back;
    std::string error;
    ASSERT_TRUE(rexf::ParseSettings(text, "u.toml", &back, &error)) << error << "\n" << text;
    EXPECT_EQ(back.unit, 1);
    EXPECT_EQ(back.saved, "2026-12-08T14:05:01Z");
    EXPECT_EQ(back.line, "9600,7O2");
    ASSERT_EQ(back.settings.size(), 4u);
    EXPECT_EQ(SettingText(*back.Find(1, "AV")), "failed (silent)");
    EXPECT_EQ(SettingText(*back.Find(1, "M2")), "absent");
    EXPECT_EQ(SettingText(*back.Find(1, "S1")), "150.0");
    EXPECT_EQ(back.Find(1, "S1")->raw, "0150.0");
    // T1 = 0 lies outside the model's 1..100, but the unit sent it itself.
    EXPECT_EQ(SettingText(*back.Find(1, "T1")), "0");

    struct Edit {
        const char* what;
        std::string from, to, message;
    } edits[] = {
        {"too big for the value text", "S1 = { value = 150.0", "S1 = { value = 10000.5",
         "S1 = 10000.5 does not fit the driver's six-character value text (-999.9 .. 9999.9)"},
        {"edited outside the range", "S1 = { value = 150.0", "S1 = { value = 2000.0",
         "S1 = 2000.0 is outside S1's range 0.0..1372.0"},
        {"the unit's value without its raw text", "T1 = { value = 0, raw = \"000000\"", "T1 = { value = 0",
         "T1 = 0 is outside T1's range 1..100"},
        {"not a number", "S1 = { value = 150.0", "S1 = { value = \"150\"", "the value of S1 is not a number"},
        {"no identifier of the driver's", "S1 = {", "Q1 = {", "\"Q1\" is not one of the driver's 79 identifiers"},
        {"no TOML", "S1 = { value = 150.0", "S1 = { value = 150.0.0", ""},
        {"no such channel", "[channel.1]", "[channel.9]", "a channel is one digit 0..8"},
    };
    for (const Edit& e : edits) {
        std::string edited = text;
        const size_t at = edited.find(e.from);
        ASSERT_NE(at, std::string::npos) << e.what;
        edited.replace(at, e.from.size(), e.to);
        UnitSettings refused;
        EXPECT_FALSE(rexf::ParseSettings(edited, "u.toml", &refused, &error)) << e.what;
        EXPECT_EQ(error.rfind("u.toml:" + std::to_string(LineOf(text, e.from)) + ": ", 0), 0u) << e.what << ": " << error;
        EXPECT_NE(error.find(e.message), std::string::npos) << e.what << ": " << error;
    }
}

TEST(QdxpollSettings, RestorePlansWhatDiffersInTheOrderTheUnitTakesIt) {
    const UnitSettings file = Settings({{"A1", "0020.0"}, {"GB", "0000.0"}, {"M1", "0024.0"}, {"OQ", "0005.0"},
                                        {"P1", "0150.0"},
                                        {"S1", "0900.0"}, {"SH", "0800.0"}, {"SL", "0500.0"}, {"SR", "000000"},
                                        {"XA", "000002"}, {"XI", "000003"}});
    const UnitSettings now = Settings({{"A1", "0010.0"}, {"GB", "0000.0"}, {"M1", "0030.0"}, {"OQ", "absent"},
                                       {"P1", "150.04"},
                                       {"S1", "0150.0"}, {"SH", "0400.0"}, {"SL", "0000.0"}, {"SR", "000001"},
                                       {"XA", "000002"}, {"XI", "000001"}});
    RestoreScope scope;
    std::string why;
    ASSERT_TRUE(ScopeOfRestore(file, {}, false, &scope, &why)) << why;
    EXPECT_EQ(scope.read_only, std::vector<std::string>{"ch 1 M1"});
    EXPECT_EQ(scope.operations, std::vector<std::string>{"ch 1 SR"}) << "RUN/STOP only when asked for";
    const RestorePlan plan = PlanRestore(scope, now);
    std::vector<std::string> order;
    for (const RestoreStep& s : plan.steps) order.push_back(s.ident);
    // XI first (it sets the input range), and GB, which it may reset, written
    // again after it; SH first of the limits, as it widens SL..SH, S1 next,
    // SL (which narrows it) last; A1 after XI (XA is unchanged).
    EXPECT_EQ(order, (std::vector<std::string>{"XI", "A1", "GB", "SH", "S1", "SL"}));
    EXPECT_EQ(plan.unchanged, (std::vector<std::string>{"ch 1 P1", "ch 1 XA"})) << "150.04 is held as 150.0";
    EXPECT_EQ(plan.absent, std::vector<std::string>{"ch 1 OQ"});
    ASSERT_EQ(plan.steps.size(), 6u);
    EXPECT_EQ(plan.steps[0].from + " -> " + plan.steps[0].to, "1 -> 3");
    EXPECT_NE(plan.steps[2].why.find("written again: writing XI may reset it"), std::string::npos) << plan.steps[2].why;
    EXPECT_NE(plan.steps[4].why.find("after SH, which widens SL..SH first: the set value must lie within SL..SH"),
              std::string::npos)
        << plan.steps[4].why;
    EXPECT_NE(plan.steps[5].why.find("after S1: SL..SH narrows last"), std::string::npos) << plan.steps[5].why;
    // 900 lies above the file's own SH (restore refuses such a file first).
    EXPECT_NE(plan.steps[4].warning.find("outside SL..SH (0.0..800.0) in force then"), std::string::npos)
        << plan.steps[4].warning;

    ASSERT_TRUE(ScopeOfRestore(file, {"SR", "SL"}, false, &scope, &why)) << why;
    const RestorePlan only = PlanRestore(scope, now);
    ASSERT_EQ(only.steps.size(), 2u);
    EXPECT_EQ(only.steps[0].ident + only.steps[1].ident, "SLSR") << "settings before RUN/STOP";
    EXPECT_FALSE(ScopeOfRestore(file, {"M1"}, false, &scope, &why)) << "a read-only identifier";
    EXPECT_FALSE(ScopeOfRestore(file, {"D1"}, false, &scope, &why)) << "nothing of it in the file";
}

// Writes a plan's steps one by one onto the unit's values and names the
// first step after which a limiter pair is inverted or S1 lies outside
// SL..SH; "" when none does.
std::string FirstUnsoundStep(const RestorePlan& plan, std::map<std::string, double> held) {
    for (const RestoreStep& s : plan.steps) {
        held[s.ident] = std::stod(s.to);
        const bool inverted = held["SL"] > held["SH"] || held["OL"] > held["OH"];
        const bool outside = held.count("S1") && (held["S1"] < held["SL"] || held["S1"] > held["SH"]);
        if (inverted || outside) return s.ident;
    }
    return "";
}

// Widen first, move S1, narrow last, whatever the unit holds now: no write
// leaves S1 outside the limits in force nor a pair inverted. (The order was
// fixed, SL and SH before S1: a unit holding S1 = 350 got SH = 300 first.)
TEST(QdxpollSettings, RestoreWidensFirstMovesTheSetValueAndNarrowsLast) {
    struct Values {
        const char *sl, *sh, *s1;
    };
    const struct {
        const char* what;
        Values now, file;
        std::vector<std::string> order;
    } cases[] = {
        {"the unit's S1 lies above the file's SH", {"0000.0", "0400.0", "0350.0"}, {"0000.0", "0300.0", "0150.0"},
         {"S1", "SH"}},
        {"the unit's S1 lies below the file's SL", {"0000.0", "0400.0", "0050.0"}, {"0100.0", "0300.0", "0200.0"},
         {"S1", "SH", "SL"}},
        {"the range moves up past the one in force", {"0000.0", "0400.0", "0150.0"}, {"0500.0", "0800.0", "0600.0"},
         {"SH", "S1", "SL"}},
        {"the range moves down past the one in force", {"0500.0", "0800.0", "0600.0"}, {"0000.0", "0400.0", "0150.0"},
         {"SL", "S1", "SH"}},
        {"both limits widen", {"0100.0", "0300.0", "0200.0"}, {"0000.0", "0400.0", "0350.0"}, {"SH", "SL", "S1"}},
        {"S1 stays, the range narrows onto it", {"0000.0", "0400.0", "0200.0"}, {"0150.0", "0250.0", "0200.0"},
         {"SH", "SL"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const UnitSettings file = Settings({{"S1", c.file.s1}, {"SH", c.file.sh}, {"SL", c.file.sl}});
        const UnitSettings now = Settings({{"S1", c.now.s1}, {"SH", c.now.sh}, {"SL", c.now.sl}});
        RestoreScope scope;
        std::string why;
        ASSERT_TRUE(ScopeOfRestore(file, {}, false, &scope, &why)) << why;
        const RestorePlan plan = PlanRestore(scope, now);
        std::vector<std::string> order;
        for (const RestoreStep& s : plan.steps) {
            order.push_back(s.ident);
            EXPECT_EQ(s.warning, "") << s.ident;
            EXPECT_FALSE(s.unsound) << s.ident;
        }
        EXPECT_EQ(order, c.order);
        EXPECT_EQ(FirstUnsoundStep(plan, {{"SL", std::stod(c.now.sl)}, {"SH", std::stod(c.now.sh)},
                                          {"S1", std::stod(c.now.s1)}}),
                  "");
        EXPECT_TRUE(plan.unknown.empty());
    }

    // The output limiters: the one that widens goes first.
    const struct {
        const char *now_ol, *now_oh, *ol, *oh, *first;
    } outputs[] = {{"0000.0", "0050.0", "0080.0", "0100.0", "OH"}, {"0050.0", "0100.0", "0000.0", "0040.0", "OL"}};
    for (const auto& c : outputs) {
        const UnitSettings file = Settings({{"OH", c.oh}, {"OL", c.ol}});
        const UnitSettings now = Settings({{"OH", c.now_oh}, {"OL", c.now_ol}});
        RestoreScope scope;
        std::string why;
        ASSERT_TRUE(ScopeOfRestore(file, {}, false, &scope, &why)) << why;
        const RestorePlan plan = PlanRestore(scope, now);
        ASSERT_EQ(plan.steps.size(), 2u);
        EXPECT_EQ(plan.steps[0].ident, c.first) << c.ol << ".." << c.oh;
        EXPECT_EQ(FirstUnsoundStep(plan, {{"OL", std::stod(c.now_ol)}, {"OH", std::stod(c.now_oh)}}), "");
    }

    // A limit restored alone (--only) past the S1 the unit holds would leave
    // it outside: the step says so and the plan is not carried out; with S1
    // unread the plan cannot tell, and names it as unknown.
    const UnitSettings file = Settings({{"S1", "0150.0"}, {"SH", "0300.0"}, {"SL", "0000.0"}});
    RestoreScope scope;
    std::string why;
    ASSERT_TRUE(ScopeOfRestore(file, {"SH"}, false, &scope, &why)) << why;
    const RestorePlan alone = PlanRestore(scope, Settings({{"S1", "0350.0"}, {"SH", "0400.0"}, {"SL", "0000.0"}}));
    ASSERT_EQ(alone.steps.size(), 1u);
    EXPECT_TRUE(alone.steps[0].unsound);
    EXPECT_NE(alone.steps[0].warning.find("S1 = 350.0 (not written) would lie outside"), std::string::npos)
        << alone.steps[0].warning;
    const RestorePlan unread = PlanRestore(scope, Settings({{"S1", "failed"}, {"SH", "0400.0"}}));
    EXPECT_EQ(unread.unknown, (std::vector<std::string>{"ch 1 SL (needed to place the limits written)",
                                                        "ch 1 S1 (needed to place the limits written)"}));
    const RestorePlan unknown = PlanRestore(scope, Settings({{"S1", "0150.0"}, {"SH", "failed"}, {"SL", "0000.0"}}));
    ASSERT_EQ(unknown.steps.size(), 1u);
    EXPECT_EQ(unknown.steps[0].from, "?");
    EXPECT_EQ(unknown.unknown, std::vector<std::string>{"ch 1 SH"});
}

// Identifiers the manuals at hand do not describe are cloned only when
// asked for: by name in --only, or all of them with --all.
TEST(QdxpollSettings, UndescribedIdentifiersAreRestoredOnlyWhenAskedFor) {
    const UnitSettings file = Settings({{"AV", "0005.0"}, {"C1", "0002.5"}, {"P1", "0030.0"}});
    const struct {
        std::vector<std::string> only;
        bool all;
        std::vector<std::string> written, left_out;
    } cases[] = {
        {{}, false, {"P1"}, {"ch 1 AV", "ch 1 C1"}},
        {{"AV", "P1"}, false, {"AV", "P1"}, {}},
        {{}, true, {"AV", "C1", "P1"}, {}},
    };
    for (const auto& c : cases) {
        RestoreScope scope;
        std::string why;
        ASSERT_TRUE(ScopeOfRestore(file, c.only, c.all, &scope, &why)) << why;
        std::vector<std::string> written;
        for (const SavedSetting& s : scope.writes) written.push_back(s.ident);
        EXPECT_EQ(written, c.written) << c.all;
        EXPECT_EQ(scope.undescribed, c.left_out) << c.all;
    }
}

TEST(QdxpollSettings, ComparisonIsOfSettingsAtTheUnitsResolution) {
    const UnitSettings a = Settings({{"A1", "failed"}, {"AV", "001.25"}, {"M1", "0024.0"}, {"P1", "0030.0"},
                                     {"S1", "0150.0"}, {"XA", "000001"}});
    const UnitSettings b = Settings({{"A1", "0010.0"}, {"AV", "0001.2"}, {"M1", "0030.0"}, {"P1", "0045.5"},
                                     {"S1", "150.04"}, {"XA", "absent"}});
    const SettingsComparison settings = CompareSettings(a, b, false);
    std::vector<std::string> differ;
    for (const SettingDifference& d : settings.differ) differ.push_back(d.ident);
    // AV's decimals are not described: the finer of the two texts counts.
    EXPECT_EQ(differ, (std::vector<std::string>{"AV", "P1", "XA"}));
    EXPECT_EQ(settings.compared, 4);
    EXPECT_TRUE(settings.failures);
    EXPECT_EQ(settings.not_compared, std::vector<std::string>{"ch 1 A1: A failed (silent), B 10.0"});
    EXPECT_EQ(CompareSettings(a, b, true).differ.size(), 4u) << "M1 too, with the read-only identifiers";
}

TEST(QdxpollInfo, BannerFramesBecomeUnicodeBoxDrawing) {
    EXPECT_EQ(Cp437ToUtf8("\n \xC9\xCD\xBB"), "\n \u2554\u2550\u2557");
    EXPECT_EQ(Cp437ToUtf8("\xDB\xB2\xB1\xB0 Q"), "\u2588\u2593\u2592\u2591 Q");
}

}  // namespace
