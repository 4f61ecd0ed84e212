// qdxpoll run as a service runs it: the built tool on the simulator's line,
// a notification socket this test listens on as systemd would, Debian's
// mosquitto on 127.0.0.1, the page read with curl, and the history read back
// with export.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/mqtt_broker.h"
#include "tests/support/ser2net.h"
#include "tests/support/simulator.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

std::string ToolPath() { return QDX_QDXPOLL_PATH; }

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int Count(const std::string& text, const std::string& part) {
    int n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

// What a program prints on stdout.
std::string Output(const std::string& command) {
    std::string text;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) > 0;) text.append(buffer, n);
        pclose(p);
    }
    return text;
}

// A service manager's notification socket: every datagram kept, with the
// time it came.
class NotifySocket {
public:
    // `abstract`: a name in the abstract namespace ('@' in NOTIFY_SOCKET).
    explicit NotifySocket(bool abstract) {
        name_ = (abstract ? "@" : std::string(::testing::TempDir())) + "qdxtest-notify-" + std::to_string(getpid());
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::string path = name_;
        if (abstract) path[0] = '\0';
        else unlink(path.c_str());
        path.copy(at.sun_path, path.size());
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&at),
                      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size())) == 0;
        timeval wait{0, 50000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        reader_ = std::thread([this] { Read(); });
    }
    ~NotifySocket() {
        stop_ = true;
        reader_.join();
        close(fd_);
        if (name_[0] == '/') unlink(name_.c_str());
    }
    bool bound() const { return bound_; }
    const std::string& name() const { return name_; }

    // The messages that came after `since` and hold `part`.
    int CountSince(const std::string& part, Clock::time_point since) const {
        std::lock_guard<std::mutex> lock(mutex_);
        int n = 0;
        for (const auto& [at, text] : messages_)
            if (at >= since && Has(text, part)) ++n;
        return n;
    }
    bool WaitFor(const std::string& part, Clock::time_point since, std::chrono::milliseconds wait) const {
        for (const auto until = Clock::now() + wait; Clock::now() < until; std::this_thread::sleep_for(20ms))
            if (CountSince(part, since) > 0) return true;
        return false;
    }
    std::string All() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string all;
        for (const auto& m : messages_) all += m.second + "\n--\n";
        return all;
    }

private:
    void Read() {
        char buffer[4096];
        while (!stop_) {
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(Clock::now(), std::string(buffer, static_cast<size_t>(n)));
        }
    }

    std::string name_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<std::pair<Clock::time_point, std::string>> messages_;
    std::thread reader_;
};

// The variables a service manager gives, set for the children started
// while it lives.
class ServiceEnvironment {
public:
    ServiceEnvironment(const std::string& socket, const std::string& watchdog_usec) {
        setenv("NOTIFY_SOCKET", socket.c_str(), 1);
        if (!watchdog_usec.empty()) setenv("WATCHDOG_USEC", watchdog_usec.c_str(), 1);
    }
    ~ServiceEnvironment() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
    }
};

class QdxpollRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (ToolPath().empty() || !qdxtest::Simulator::Available()) GTEST_SKIP() << "qdxpoll or rexfsim not built";
        dir_ = std::string(::testing::TempDir()) + "qdxtest-run-" + std::to_string(getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name();
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        // A link to the line, gone with the simulator, so that a lost line
        // is never another test's pseudo-terminal.
        port_ = dir_ + "/line";
        std::string error;
        ASSERT_TRUE(sim_.Start({"--no-drift", "--link", port_}, {}, &error)) << error;
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // A line file: the port, the interval and timeout, and what `extra` adds.
    std::string WriteFile(const std::string& name, const std::string& extra, const std::string& points) const {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path) << "[line]\nport = \"" << port_ << "\"\n" << extra << points;
        return path;
    }
    static std::string Point(const std::string& address, bool writable = false) {
        return "\n[[point]]\naddress = \"" + address + "\"\n" + (writable ? "writable = true\n" : "");
    }
    std::vector<std::string> Run(const std::string& file) const { return {ToolPath(), "run", "--config", file}; }
    // Samples of the history, one JSON object each.
    std::vector<json> History(const std::string& db) const {
        std::vector<json> samples;
        std::istringstream in(Output(ToolPath() + " export " + db + " --json 2>/dev/null"));
        for (std::string line; std::getline(in, line);) samples.push_back(json::parse(line, nullptr, false));
        return samples;
    }

    qdxtest::Simulator sim_;
    std::string dir_, port_;
};

// READY once the outputs are up, STATUS with it, WATCHDOG from the poll loop
// while it cycles and none while a read hangs, STOPPING at the end.
TEST_F(QdxpollRunTest, TellsTheServiceManagerReadyAliveAndStoppingAndStopsPingingWhenTheLoopHangs) {
#ifndef QDX_RUN_HISTORY
    GTEST_SKIP() << "qdxpoll is built without the history here, the output these runs keep";
#endif
    NotifySocket notify(true);
    ASSERT_TRUE(notify.bound());
    // A reply timeout of 2 s: a unit taken off the line holds a read for
    // three attempts, far longer than the watchdog's time.
    const std::string file = WriteFile("line.toml", "interval_s = 0.05\ntimeout_ms = 2000\ndatabase = \"" + dir_ +
                                                        "/line.db\"\n",
                                       Point("01K1M1"));
    support::Background tool;
    const auto start = Clock::now();
    {
        ServiceEnvironment env(notify.name(), "400000");
        ASSERT_TRUE(tool.Start(Run(file)));
    }
    ASSERT_TRUE(notify.WaitFor("READY=1", start, 10s)) << tool.err() << notify.All();
    EXPECT_EQ(notify.CountSince("READY=1\nSTATUS=", start), 1) << notify.All();
    EXPECT_TRUE(Has(notify.All(), "history " + dir_ + "/line.db")) << notify.All();
    std::this_thread::sleep_for(1s);
    // A keep-alive at most every quarter of the watchdog's 400 ms.
    const int alive = notify.CountSince("WATCHDOG=1", start);
    EXPECT_GE(alive, 3) << notify.All();
    EXPECT_LE(alive, 15) << notify.All();

    ASSERT_EQ(sim_.Command("mute 1 on"), "ok");
    std::this_thread::sleep_for(300ms);  // the keep-alive of the cycle under way
    const auto hung = Clock::now();
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(notify.CountSince("WATCHDOG=1", hung), 0) << "the loop hangs in a read, yet pings";

    ASSERT_EQ(sim_.Command("mute 1 off"), "ok");
    EXPECT_TRUE(notify.WaitFor("WATCHDOG=1", Clock::now(), 15s)) << "no keep-alive once the unit answers again";

    const auto stopping = Clock::now();
    tool.Signal(SIGTERM);
    EXPECT_NE(tool.Wait(10s), -1);
    EXPECT_TRUE(notify.WaitFor("STOPPING=1", stopping, 2s)) << notify.All();
    EXPECT_TRUE(Has(tool.err(), "cycles in")) << tool.err();
}

// SIGHUP: a good file's points and interval are taken without the port
// being opened again; a broken one is named at its line and column and the
// running setup goes on.
TEST_F(QdxpollRunTest, ReloadTakesAGoodFileAndKeepsTheRunningSetupForABrokenOne) {
#ifndef QDX_RUN_HISTORY
    GTEST_SKIP() << "qdxpoll is built without the history here, the output these runs keep";
#endif
    NotifySocket notify(false);
    ASSERT_TRUE(notify.bound());
    const std::string db = dir_ + "/line.db";
    const std::string head = "interval_s = 0.1\ndatabase = \"" + db + "\"\n";
    const std::string file = WriteFile("line.toml", head, Point("01K1M1"));
    support::Background tool;
    auto since = Clock::now();
    {
        ServiceEnvironment env(notify.name(), "");
        ASSERT_TRUE(tool.Start(Run(file)));
    }
    ASSERT_TRUE(notify.WaitFor("READY=1", since, 10s)) << tool.err();
    EXPECT_TRUE(Has(notify.All(), "1 point every 0.1 s")) << notify.All();

    WriteFile("line.toml", "interval_s = 0.2\ndatabase = \"" + db + "\"\n", Point("01K1M1") + Point("01K1S1"));
    since = Clock::now();
    tool.Signal(SIGHUP);
    ASSERT_TRUE(notify.WaitFor("READY=1", since, 10s)) << tool.err();
    EXPECT_EQ(notify.CountSince("RELOADING=1", since), 1) << notify.All();
    EXPECT_TRUE(Has(notify.All(), "2 points every 0.2 s")) << notify.All();
    std::this_thread::sleep_for(600ms);

    std::ofstream(file) << "[line]\nport = \"" << port_ << "\"\ninterval_s = \"fast\"\n";
    since = Clock::now();
    tool.Signal(SIGHUP);
    ASSERT_TRUE(notify.WaitFor("READY=1", since, 10s)) << tool.err();
    EXPECT_TRUE(Has(tool.err(), "line.toml:3:14: 'interval_s' must be a number")) << tool.err();
    EXPECT_TRUE(Has(tool.err(), "does not load (above: why); the running setup is kept")) << tool.err();
    std::this_thread::sleep_for(600ms);

    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(10s), 0) << tool.err();
    EXPECT_EQ(Count(tool.err(), "started on"), 1) << "the port is opened once, at the start: " << tool.err();
    EXPECT_TRUE(Has(tool.err(), ", 1 reload")) << tool.err();
    int s1_after_broken = 0;
    const std::vector<json> samples = History(db);
    for (const json& s : samples)
        if (s.value("address", "") == "01K1S1" && s.value("status", "") == "ok") {
            EXPECT_EQ(s["value"], 150.0);
            ++s1_after_broken;
        }
    EXPECT_GE(s1_after_broken, 4) << "S1 was polled from the good file on, through the broken one";
}

// A reload while the port is lost: the new setup reopens the port once the
// line is back, as the old one would have. Behind a device server the loss
// is known only to the poll that saw it, so the new one must be told.
TEST_F(QdxpollRunTest, ReloadDuringAnOutageReopensThePortOnceItIsBack) {
    if (!qdxtest::Ser2net::Available()) GTEST_SKIP() << "ser2net is not installed";
    qdxtest::Ser2net server;
    std::string error;
    ASSERT_TRUE(server.Start(port_, qdxtest::Ser2netMode::kRawTcp, &error, "9600o72")) << error;
    const std::string path = dir_ + "/line.toml";
    std::ofstream(path) << "[line]\nport = \"" << server.PortName() << "\"\ninterval_s = 0.1\n" << Point("01K1M1");
    support::Background tool;
    ASSERT_TRUE(tool.Start(Run(path)));
    auto err_has = [&tool](const std::string& part, std::chrono::milliseconds wait) {
        return support::WaitFor([&] { return tool.err(); }, [&](const std::string& e) { return Has(e, part); }, wait);
    };
    ASSERT_TRUE(err_has("Ctrl-C ends", 10s)) << tool.err();
    server.Stop();
    ASSERT_TRUE(err_has(" lost (", 10s)) << tool.err();
    tool.Signal(SIGHUP);
    ASSERT_TRUE(err_has("read again", 10s)) << tool.err();
    ASSERT_TRUE(server.Restart(&error)) << error;
    EXPECT_TRUE(err_has(" back after ", 15s)) << tool.err();
    const std::string err = tool.err();
    EXPECT_GT(err.find(" back after "), err.find("read again")) << err;
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(10s), 66) << tool.err();
}

// The three outputs at once through a lost line and a broker restarted:
// every value each holds is the simulator's, the outage is a gap in the
// history and the page, and the broker gets the new value once it is back.
TEST_F(QdxpollRunTest, FeedsHistoryPageAndBrokerThroughALostPortAndABrokerRestart) {
#ifndef QDX_RUN_ALL_OUTPUTS
    GTEST_SKIP() << "qdxpoll is built without the history, the page or MQTT here";
#endif
    if (!support::MqttBroker::Available()) GTEST_SKIP() << "mosquitto and its clients are not installed";
    if (Output("command -v curl").empty()) GTEST_SKIP() << "curl is not installed";
    support::MqttBroker broker;
    std::string error;
    ASSERT_TRUE(broker.Start(false, &error)) << error;
    ASSERT_TRUE(Has(sim_.Command("set 1 1 M1 123.4"), "ok"));
    const int http = 20000 + getpid() % 20000;
    const std::string db = dir_ + "/line.db";
    const std::string file = WriteFile(
        "line.toml",
        "interval_s = 0.1\ndatabase = \"" + db + "\"\nlisten = \"127.0.0.1:" + std::to_string(http) +
            "\"\n\n[mqtt]\nbroker = \"mqtt://127.0.0.1:" + std::to_string(broker.port()) + "\"\n",
        Point("01K1M1"));
    support::Background tool;
    ASSERT_TRUE(tool.Start(Run(file)));
    const std::string topic = "qdxtlmv/line1/01/1/M1";
    auto value_is = [](const std::string& v) { return [v](const std::string& s) { return Has(s, "\"value\":" + v); }; };
    ASSERT_TRUE(support::WaitFor([&] { return broker.Retained(topic); }, value_is("123.4"), 10s)) << tool.err();

    sim_.Stop();
    ASSERT_TRUE(support::WaitFor([&] { return tool.err(); }, [](const std::string& e) { return Has(e, " lost ("); },
                                 10s));
    broker.Stop();
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(sim_.Start({"--no-drift", "--link", port_}, {}, &error)) << error;
    ASSERT_TRUE(Has(sim_.Command("set 1 1 M1 234.5"), "ok"));
    ASSERT_TRUE(support::WaitFor([&] { return tool.err(); },
                                 [](const std::string& e) { return Has(e, " back after "); }, 15s))
        << tool.err();
    ASSERT_TRUE(broker.Start(false, &error)) << error;
    EXPECT_TRUE(support::WaitFor([&] { return broker.Retained(topic); }, value_is("234.5"), 20s)) << tool.err();

    // The page: its rows (time, M1) from the history, and the outage a gap.
    const std::string events = Output("curl -s -N --max-time 1 http://127.0.0.1:" + std::to_string(http) + "/events");
    std::smatch hello;
    ASSERT_TRUE(std::regex_search(events, hello, std::regex("event: hello\ndata: (.*)\n"))) << events;
    const json page = json::parse(hello[1].str(), nullptr, false);
    ASSERT_TRUE(page.contains("rows")) << events;
    bool page_new = false;
    for (const json& row : page["rows"]) {
        if (row[1].is_null()) continue;
        EXPECT_TRUE(row[1] == 123.4 || row[1] == 234.5 || row[1] == 24.0) << row;
        page_new = page_new || row[1] == 234.5;
    }
    EXPECT_TRUE(page_new);
    EXPECT_FALSE(page["gaps"].empty()) << "the outage shows as a gap";

    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(20s), 66) << tool.err();  // the port was lost once
    EXPECT_TRUE(Has(tool.err(), "2 connections")) << tool.err();

    int before = 0, after = 0, missing = 0;
    for (const json& s : History(db)) {
        const std::string status = s.value("status", "");
        if (status == "port_lost") ++missing;
        if (status != "ok") continue;
        // 24.0: the restarted simulator's own value, before the test set it.
        EXPECT_TRUE(s["value"] == 123.4 || s["value"] == 234.5 || s["value"] == 24.0) << s;
        before += s["value"] == 123.4;
        after += s["value"] == 234.5;
    }
    EXPECT_GT(before, 0);
    EXPECT_GT(after, 0);
    EXPECT_GT(missing, 0) << "the outage's samples are kept as missing";
}

// Writes from the page and from the broker reach the unit for the file's
// writable points alone, each read back; every other point is refused.
TEST_F(QdxpollRunTest, PageAndBrokerWriteOnlyTheFilesWritablePoints) {
#ifndef QDX_RUN_ALL_OUTPUTS
    GTEST_SKIP() << "qdxpoll is built without the page or MQTT here";
#endif
    if (!support::MqttBroker::Available()) GTEST_SKIP() << "mosquitto and its clients are not installed";
    if (Output("command -v curl").empty()) GTEST_SKIP() << "curl is not installed";
    support::MqttBroker broker;
    std::string error;
    ASSERT_TRUE(broker.Start(false, &error)) << error;
    const int http = 20000 + (getpid() + 7) % 20000;
    const std::string file = WriteFile(
        "line.toml",
        "interval_s = 0.1\nlisten = \"127.0.0.1:" + std::to_string(http) + "\"\n\n[mqtt]\nbroker = \"mqtt://127.0.0.1:" +
            std::to_string(broker.port()) + "\"\n",
        Point("01K1M1") + Point("01K1S1", true) + Point("01K1P1"));
    support::Background results;
    ASSERT_TRUE(results.Start(broker.SubscribeArgs("qdxtlmv/line1/+/+/+/set/result", {"-t", "qdxtest/ready"})));
    ASSERT_TRUE(support::WaitFor(
        [&] {
            broker.Publish("qdxtest/ready", "1");
            return results.out();
        },
        [](const std::string& out) { return Has(out, "qdxtest/ready 1"); }, 10s));
    const std::string p1 = sim_.Command("get 1 1 P1");
    support::Background tool;
    ASSERT_TRUE(tool.Start(Run(file)));
    ASSERT_TRUE(support::WaitFor([&] { return broker.Retained("qdxtlmv/line1/status"); },
                                 [](const std::string& s) { return Has(s, "online"); }, 10s));
    auto page_write = [http](const std::string& address, const std::string& value) {
        return Output("curl -s -w ' %{http_code}' -H 'Content-Type: application/json' -d '{\"address\":\"" + address +
                      "\",\"value\":\"" + value + "\"}' http://127.0.0.1:" + std::to_string(http) + "/write");
    };
    EXPECT_TRUE(Has(page_write("01K1S1", "180"), " 200")) << tool.err();
    EXPECT_TRUE(Has(sim_.Command("get 1 1 S1"), "180.0"));
    EXPECT_TRUE(Has(page_write("01K1P1", "5"), " 403"));

    ASSERT_TRUE(broker.Publish("qdxtlmv/line1/01/1/S1/set", "190"));
    ASSERT_TRUE(broker.Publish("qdxtlmv/line1/01/1/P1/set", "5"));
    EXPECT_TRUE(support::WaitFor([&] { return results.out(); },
                                 [](const std::string& o) { return Count(o, "/set/result ") >= 2; }, 10s))
        << results.out() << tool.err();
    EXPECT_TRUE(std::regex_search(results.out(), std::regex("S1/set/result \\{[^\\n]*\"ok\":true"))) << results.out();
    EXPECT_TRUE(std::regex_search(results.out(), std::regex("P1/set/result \\{[^\\n]*\"cause\":\"not_writable\"")))
        << results.out();
    EXPECT_TRUE(Has(sim_.Command("get 1 1 S1"), "190.0"));
    EXPECT_EQ(sim_.Command("get 1 1 P1"), p1) << "P1 is not writable: nothing is written to it";
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(20s), 0) << tool.err();
}

// An output that cannot start is named and left out while the others run;
// with the journal as its standard error every line carries its priority.
TEST_F(QdxpollRunTest, AnOutputThatCannotStartLeavesTheOthersAndTheJournalGetsPriorities) {
#ifndef QDX_RUN_ALL_OUTPUTS
    GTEST_SKIP() << "qdxpoll is built without the history or the page here";
#endif
    const std::string file = WriteFile(
        "line.toml", "interval_s = 0.1\ndatabase = \"/proc/qdxtest/none.db\"\nlisten = \"127.0.0.1:0\"\n",
        Point("01K1M1"));
    const std::string err = dir_ + "/journal";
    // systemd names the stream it gives as DEVICE:INODE.
    const std::string script = "exec 2>'" + err + "'; JOURNAL_STREAM=$(stat -c %d:%i '" + err + "') exec '" +
                               ToolPath() + "' --quiet run --config '" + file + "'";
    support::Background tool;
    ASSERT_TRUE(tool.Start({"/bin/sh", "-c", script}));
    auto journal = [&err] {
        std::ifstream in(err);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    ASSERT_TRUE(support::WaitFor(journal, [](const std::string& j) { return Has(j, "Ctrl-C ends"); }, 10s)) << journal();
    std::this_thread::sleep_for(500ms);
    tool.Signal(SIGINT);
    EXPECT_EQ(tool.Wait(10s), 73) << journal();  // the history's failure is the run's
    const std::string text = journal();
    EXPECT_TRUE(Has(text, "<3>qdxpoll: the history cannot start, the other outputs run without it")) << text;
    EXPECT_TRUE(Has(text, "<6>run: line1 on " + port_ + ", 1 point every 0.1 s: page http://127.0.0.1:")) << text;
    EXPECT_TRUE(Has(text, "1 of 2 outputs could not start")) << text;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            EXPECT_TRUE(std::regex_search(line, std::regex("^<[346]>"))) << line;
        }
    }
    EXPECT_FALSE(Has(text, "cycles in 0.0 s")) << "it polled on without the history";
}

// check: a good file passes; a port that does not open, a broker nobody
// answers at and a broken file are each named at their line and column.
TEST_F(QdxpollRunTest, CheckNamesEachProblemAtItsPlaceInTheFile) {
    struct Case {
        const char* name;
        std::string text;
        int code;
        std::string says;
    };
    std::vector<Case> cases = {
        {"good", "[line]\nport = \"" + port_ + "\"\n" + Point("01K1M1"), 0, "good: port"},
        {"no port", "[line]\nport = \"" + dir_ + "/none\"\n" + Point("01K1M1"), 64, "no-port.toml:2:8: "},
        {"broken", "[line]\nport = \"" + port_ + "\"\n[[point]]\naddress = \"01K1Q9\"\n", 64,
         "broken.toml:4:11: invalid address"},
    };
#ifdef QDX_MQTT
    cases.push_back({"no broker",
                     "[line]\nport = \"" + port_ + "\"\n" + Point("01K1M1") + "\n[mqtt]\nbroker = \"mqtt://127.0.0.1:1\"\n",
                     64, "no-broker.toml:8:10: the broker mqtt://127.0.0.1:1"});
#endif
    for (const Case& c : cases) {
        std::string name = c.name;
        for (char& ch : name) ch = ch == ' ' ? '-' : ch;
        const std::string path = dir_ + "/" + name + ".toml";
        std::ofstream(path) << c.text;
        support::Background check;
        ASSERT_TRUE(check.Start({ToolPath(), "--quiet", "check", "--config", path}));
        EXPECT_EQ(check.Wait(20s), c.code) << c.name << ": " << check.err();
        EXPECT_TRUE(Has(check.err(), c.says)) << c.name << ": " << check.err();
    }
}

// Windows' service commands on Linux name systemd's unit instead, and the
// marks of a Windows service's command line start nothing here.
TEST_F(QdxpollRunTest, OnLinuxTheServiceCommandsPointToSystemd) {
    const std::string file = dir_ + "/line1.toml";
    std::ofstream(file) << "[line]\nport = \"" << port_ << "\"\n" << Point("01K1M1");
    const std::string log = dir_ + "/line1.log";
    struct Case {
        std::vector<std::string> arguments;
        const char* says;
    } cases[] = {
        {{"service", "install", "--config", file}, "systemctl enable --now qdxpoll@line1"},
        {{"service", "start", "--config", file}, "on Linux systemd runs the line"},
        {{"run", "--config", file, "--service", "qdxpoll@line1", "--service-log", log},
         "for the Windows service control manager"},
        {{"service", "pause", "--config", file}, "pause not in"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> command{ToolPath()};
        command.insert(command.end(), c.arguments.begin(), c.arguments.end());
        support::Background tool;
        ASSERT_TRUE(tool.Start(command));
        EXPECT_EQ(tool.Wait(20s), 64) << c.says << ": " << tool.err();
        EXPECT_TRUE(Has(tool.err(), c.says)) << tool.err();
    }
    EXPECT_FALSE(std::ifstream(log).good()) << "no log is made where no service runs";
}

}  // namespace
