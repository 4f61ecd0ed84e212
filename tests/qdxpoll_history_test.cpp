// qdxpoll's history end to end, against the simulator: log killed with
// SIGKILL keeps everything but about its last second, a restart is a run of
// its own, export gives exactly what the database holds and what was polled,
// and write --db records each write or makes none.
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/simulator.h"
#include "tools/qdxpoll/history/history_store.h"

namespace {

namespace fs = std::filesystem;

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

// qdxpoll started with its output in files of the test's folder.
class Tool {
public:
    Tool(const fs::path& dir, const std::vector<std::string>& args) : out_((dir / "out").string()) {
        std::vector<std::string> store{QDX_QDXPOLL_PATH};
        store.insert(store.end(), args.begin(), args.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (auto& a : store) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            const int in = open("/dev/null", O_RDONLY);
            const int out = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, STDIN_FILENO);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            execv(argv[0], argv.data());
            _exit(127);
        }
        err_ = (dir / "err").string();
    }
    ~Tool() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // The exit code, or -signal; waits at most 60 s.
    int Wait() {
        int status = 0;
        for (int i = 0; i < 6000 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (waitpid(pid_, &status, WNOHANG) == 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    int Kill() {
        kill(pid_, SIGKILL);
        return Wait();
    }
    std::string out() const { return Slurp(out_); }
    std::string err() const { return Slurp(err_); }

private:
    pid_t pid_ = -1;
    std::string out_, err_;
};

class QdxpollHistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::string(QDX_QDXPOLL_PATH).empty() || !qdxtest::Simulator::Available())
            GTEST_SKIP() << "qdxpoll or rexfsim not built";
        if (HistoryUnavailable() != nullptr) GTEST_SKIP() << HistoryUnavailable();
        dir_ = fs::temp_directory_path() / ("qdx-history-e2e-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        db_ = (dir_ / "line.db").string();
        std::string error;
        // A link to the line, gone with the simulator (see the lost port's
        // test): another test's simulator at the same pseudo-terminal number
        // is never taken for this line.
        port_ = "/tmp/qdxtest-history-line-" + std::to_string(getpid());
        ASSERT_TRUE(sim_.Start({"--no-drift", "--link", port_}, {}, &error)) << error;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::vector<std::string> With(std::vector<std::string> args) {
        args.insert(args.begin(), {"--port", port_, "--quiet"});
        return args;
    }
    // Runs qdxpoll to its end: the exit code, stdout and stderr.
    int Run(const std::vector<std::string>& args, std::string* out, std::string* err = nullptr) {
        Tool t(dir_, args);
        const int code = t.Wait();
        *out = t.out();
        if (err != nullptr) *err = t.err();
        return code;
    }
    std::vector<HistorySample> AllSamples() {
        std::string error;
        auto store = HistoryStore::Open(db_, HistoryStore::kRead, &error);
        EXPECT_NE(store, nullptr) << error;
        return store == nullptr ? std::vector<HistorySample>{} : store->Samples({}, &error);
    }

    qdxtest::Simulator sim_;
    std::string port_;
    fs::path dir_;
    std::string db_;
};

// The readings --json printed: address and ms since the epoch.
struct Printed {
    int64_t time_ms;
    std::string address, status;
    nlohmann::json value;
};

std::vector<Printed> PrintedReadings(const std::string& out) {
    std::vector<Printed> printed;
    for (const std::string& line : Lines(out)) {
        const auto j = nlohmann::json::parse(line, nullptr, false);
        // A dead point left out of a cycle is no sample.
        if (j.is_discarded() || j.value("action", "") != "read" || j.value("status", "") == "skipped") continue;
        // "2026-12-08T14:05:01.123Z"
        std::tm tm{};
        int ms = 0;
        const std::string t = j["time"];
        sscanf(t.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday, &tm.tm_hour, &tm.tm_min,
               &tm.tm_sec, &ms);
        tm.tm_year -= 1900;
        tm.tm_mon -= 1;
        printed.push_back({int64_t{timegm(&tm)} * 1000 + ms, j["address"], j["status"], j["value"]});
    }
    return printed;
}

// log through a port lost for good ends as poll does: the line's summary
// names the outage and the measured cycle, and the samples of the outage
// are missing, never values.
TEST_F(QdxpollHistoryTest, ThroughALostPortItEndsWithTheLinesSummary) {
    Tool log(dir_, With({"log", "01K1M1", "--db", db_, "--interval", "0.2", "--count", "15"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    sim_.Stop();
    EXPECT_EQ(log.Wait(), 66) << log.err();
    const std::string out = log.out();
    EXPECT_NE(out.find("  cycle: every 0.2 s configured"), std::string::npos) << out;
    // Once, or more where another test's simulator takes the same
    // pseudo-terminal number meanwhile and the port seems back for a while.
    EXPECT_TRUE(std::regex_search(out, std::regex(R"(\n  port lost \d+ times?, )"))) << out;
    EXPECT_NE(out.find("samples missing (the port was lost)"), std::string::npos) << out;
    int missing = 0, good = 0;
    for (const HistorySample& sample : AllSamples()) {
        if (sample.status == "ok") ++good;
        if (sample.status != "port_lost") continue;
        ++missing;
        EXPECT_FALSE(sample.value.has_value()) << sample.time_ms;
    }
    EXPECT_GT(good, 0);
    EXPECT_GT(missing, 0);
}

TEST_F(QdxpollHistoryTest, KilledMidRunItKeepsAllButTheLastSecondAndARestartIsARunOfItsOwn) {
    // A1 answers data that is no number: every poll of it is a missing sample.
    ASSERT_EQ(sim_.Command("set-raw 1 1 A1 \"  ----\"").substr(0, 2), "ok");
    const std::vector<std::string> points = {"01K1M1", "01K1S1", "01K1A1"};
    std::vector<std::string> args = With({"log", "--db", db_, "-i", "0.1", "--json"});
    args.insert(args.end(), points.begin(), points.end());
    std::vector<Printed> printed;
    {
        Tool log(dir_, args);
        for (int i = 0; i < 3000 && PrintedReadings(log.out()).size() < 3 * 20; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ASSERT_EQ(log.Kill(), -SIGKILL) << log.err();
        printed = PrintedReadings(log.out());
    }
    ASSERT_GE(printed.size(), 3u * 20);

    const auto samples = AllSamples();
    std::string error;
    auto store = HistoryStore::Open(db_, HistoryStore::kRead, &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(store->IntegrityCheck(), "ok");
    // Every sample recorded was printed, none twice.
    std::map<std::pair<int64_t, std::string>, const Printed*> by_key;
    for (const Printed& p : printed) by_key[{p.time_ms, p.address}] = &p;
    ASSERT_FALSE(samples.empty());
    for (const HistorySample& s : samples) {
        const auto it = by_key.find({s.time_ms, s.address});
        ASSERT_NE(it, by_key.end()) << s.address << " at " << s.time_ms << " was never polled";
        EXPECT_EQ(s.status, it->second->status);
        if (s.status == "ok")
            EXPECT_EQ(nlohmann::json(*s.value), it->second->value) << s.address;
        else
            EXPECT_FALSE(s.value.has_value()) << "a missing sample with a value";
    }
    EXPECT_GT(std::count_if(samples.begin(), samples.end(),
                            [](const HistorySample& s) { return s.status == "not_a_number"; }),
              0);
    // And everything printed more than about a second before the kill is there.
    const int64_t last_printed = printed.back().time_ms;
    size_t older = 0;
    for (const Printed& p : printed) older += p.time_ms < last_printed - 1500;
    EXPECT_GE(samples.size(), older) << "more than the last second lost";
    EXPECT_LE(samples.size(), printed.size());

    // Started again on the same file: a second run, after a gap.
    std::string out, err;
    args.insert(args.end(), {"-n", "3"});
    ASSERT_EQ(Run(args, &out, &err), 69) << out;
    EXPECT_EQ(Lines(err).at(0).rfind("qdxpoll: note: the previous run on " + db_ + " (log ", 0), 0u) << err;
    EXPECT_NE(err.find("recorded no end: it was killed"), std::string::npos) << err;
    const size_t second_run = PrintedReadings(out).size();
    const auto runs = store->Runs(INT64_MIN, INT64_MAX, &error);
    ASSERT_EQ(runs.size(), 2u) << error;
    EXPECT_LE(runs[0].end_ms, runs[1].start_ms);
    EXPECT_GE(runs[0].end_ms, samples.back().time_ms) << "the killed run ends before its last sample";
    EXPECT_EQ(AllSamples().size(), samples.size() + second_run);
    EXPECT_EQ(store->IntegrityCheck(), "ok");
}

// A late answer's value is kept, and so is why it counts as a failure: the
// same words the terminal and the JSON give.
TEST_F(QdxpollHistoryTest, ALateSampleKeepsItsCause) {
    ASSERT_EQ(sim_.Command("fault delay:450:1").rfind("ok", 0), 0u);
    std::string out, err;
    EXPECT_EQ(Run(With({"log", "01K1M1", "--db", db_, "--count", "2", "--interval", "0", "-t", "300"}), &out, &err),
              69)
        << err;
    int late = 0;
    for (const HistorySample& sample : AllSamples()) {
        if (sample.status != "late") continue;
        ++late;
        EXPECT_TRUE(sample.value.has_value());
        EXPECT_NE(sample.cause.find("the retry took that late answer as its own reply"), std::string::npos)
            << "cause: \"" << sample.cause << "\"";
    }
    EXPECT_GT(late, 0) << err;
}

// A disk that fills up and stays full to the end: what could not be
// stored is counted and said, and the count adds up with what the file
// holds. Needs root to mount a small file system.
TEST_F(QdxpollHistoryTest, AFullDiskLosesNothingUncounted) {
    const fs::path small = dir_ / "small";
    fs::create_directories(small);
    if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=320k") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
    const std::string db = (small / "line.db").string();
    std::string out, err;
    const int code = Run(With({"log", "01K1M1", "02K1M1", "01K1S1", "02K1S1", "--db", db, "--count", "3000",
                               "--interval", "0"}),
                         &out, &err);
    std::smatch m;
    const bool said = std::regex_search(err, m, std::regex(R"((\d+) of 12000 samples (could not be recorded|were lost))"));
    int64_t stored = 0;
    {
        std::string error;
        auto store = HistoryStore::Open(db, HistoryStore::kRead, &error);
        if (store != nullptr) stored = static_cast<int64_t>(store->Samples({}, &error).size());
    }
    // The next run on the file, the disk still full, says it first.
    std::string next_err;
    Run(With({"log", "01K1M1", "--db", db, "--count", "1"}), &out, &next_err);
    umount2(small.c_str(), MNT_DETACH);
    EXPECT_EQ(code, 73) << err;
    ASSERT_TRUE(said) << err;
    EXPECT_GT(std::stoll(m[1]), 0);
    EXPECT_EQ(std::stoll(m[1]) + stored, 12000) << err;
    ASSERT_FALSE(Lines(next_err).empty());
    EXPECT_EQ(Lines(next_err)[0].rfind(fmt::format("qdxpoll: note: the previous run on {} (log 01K1M1 02K1M1 01K1S1 "
                                                   "02K1S1 every 0 s on {}) could not store {} of 12000 samples",
                                                   db, port_, m[1].str()),
                                       0),
              0u)
        << next_err;
}

// A history damaged on disk (4 KB of noise over its third page) is refused
// at open, with the way to keep what can be read, and not written to.
TEST_F(QdxpollHistoryTest, ADamagedFileIsRefusedAndLeftAsItIs) {
    std::string out, err;
    ASSERT_EQ(Run(With({"log", "01K1M1", "02K1M1", "--db", db_, "--count", "20", "--interval", "0"}), &out, &err), 0)
        << err;
    ASSERT_GT(fs::file_size(db_), 12288u);
    {
        std::fstream f(db_, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(8192);
        uint32_t noise = 12345;
        for (int i = 0; i < 4096; ++i) {
            noise = noise * 1103515245u + 12345u;
            f.put(static_cast<char>(noise >> 24));
        }
    }
    const std::string damaged = Slurp(db_);
    EXPECT_EQ(Run(With({"log", "01K1M1", "--db", db_, "--count", "2", "--interval", "0"}), &out, &err), 73);
    EXPECT_NE(err.find(db_ + ": is damaged ("), std::string::npos) << err;
    EXPECT_NE(err.find("sqlite3 " + db_ + " .recover | sqlite3 recovered.db"), std::string::npos) << err;
    EXPECT_TRUE(Slurp(db_) == damaged) << "the damaged file was written to";
}

TEST_F(QdxpollHistoryTest, ExportGivesExactlyWhatTheDatabaseHoldsAndWhatWasPolled) {
    ASSERT_EQ(sim_.Command("set-raw 1 1 A1 \"  ----\"").substr(0, 2), "ok");
    std::string out;
    // 69: A1 gave no value, as poll ends.
    ASSERT_EQ(Run(With({"log", "--db", db_, "-i", "0.05", "-n", "6", "--json", "01K1M1", "01K1S1", "01K1A1"}), &out),
              69);
    const auto printed = PrintedReadings(out);
    const auto samples = AllSamples();
    ASSERT_EQ(samples.size(), printed.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].time_ms, printed[i].time_ms);
        EXPECT_EQ(samples[i].address, printed[i].address);
    }

    struct Case {
        const char* what;
        std::vector<std::string> range;  // export's options
        int64_t from_ms, to_ms;
        std::vector<std::string> points;
    };
    const int64_t first = samples.front().time_ms, last = samples.back().time_ms;
    const int64_t middle = samples[samples.size() / 2].time_ms;
    auto iso = [](int64_t ms) {
        const std::time_t s = ms / 1000;
        std::tm tm{};
        gmtime_r(&s, &tm);
        return fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}.{:03d}Z", tm.tm_year + 1900, tm.tm_mon + 1,
                           tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms % 1000));
    };
    const std::vector<Case> cases = {
        {"everything", {}, INT64_MIN, INT64_MAX, {}},
        {"relative, one point", {"--from", "-1h", "--points", "01K1S1"}, first - 1, INT64_MAX, {"01K1S1"}},
        {"a range in UTC, both ends included", {"--from", iso(first), "--to", iso(middle)}, first, middle, {}},
        {"from the middle, two points", {"--from", iso(middle), "--points", "01K1A1,01K1M1"}, middle, last,
         {"01K1M1", "01K1A1"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<HistorySample> want;
        for (const HistorySample& s : samples)
            if (s.time_ms >= c.from_ms && s.time_ms <= c.to_ms &&
                (c.points.empty() || std::find(c.points.begin(), c.points.end(), s.address) != c.points.end()))
                want.push_back(s);
        ASSERT_FALSE(want.empty());
        std::vector<std::string> args = {"export", db_, "--json"};
        args.insert(args.end(), c.range.begin(), c.range.end());
        ASSERT_EQ(Run(args, &out), 0) << out;
        const auto json = Lines(out);
        ASSERT_EQ(json.size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            const auto j = nlohmann::json::parse(json[i]);
            EXPECT_EQ(j["time_ms"], want[i].time_ms);
            EXPECT_EQ(j["address"], want[i].address);
            EXPECT_EQ(j["status"], want[i].status);
            EXPECT_EQ(j["raw"], want[i].raw);
            if (want[i].value)
                EXPECT_EQ(j["value"], *want[i].value);
            else
                EXPECT_TRUE(j["value"].is_null());
        }
        args[2] = "--csv";
        ASSERT_EQ(Run(args, &out), 0);
        const auto csv = Lines(out);
        ASSERT_EQ(csv.size(), want.size() + 1);
        EXPECT_EQ(csv[0], "time,address,value,raw,status,cause,attempts,latency_ms");
        EXPECT_EQ(csv[1].substr(0, 32), iso(want[0].time_ms) + "," + want[0].address + ",");
    }

    struct Bad {
        std::vector<std::string> args;
        int code;
        const char* says;
    };
    const std::vector<Bad> bad = {
        {{"export", db_, "--from", "yesterday"}, 64, "is no time"},
        {{"export", db_, "--from", "2026-02-30"}, 64, "2026-02-30 is no time: give a date and time that exist"},
        {{"export", db_, "--from", "-1h", "--to", "-2h"}, 64, "is after"},
        {{"export", db_, "--points", "07K1M1"}, 64, "holds no samples of 07K1M1"},
        {{"export", (dir_ / "none.db").string()}, 66, "No such file"},
        {{"export"}, 64, "history's file is required"},
        {{"log", "01K1M1"}, 64, "--db FILE"},
        // Retention that would keep nothing is refused, not taken as none.
        {{"log", "01K1M1", "--db", db_, "--keep-days", "0"}, 64, "0 days would keep nothing"},
        {{"log", "01K1M1", "--db", db_, "--keep-mb", "0"}, 64, "a history holds at least 1 MB"},
    };
    for (const Bad& b : bad) {
        std::string err;
        EXPECT_EQ(Run(b.args, &out, &err), b.code) << b.args.back();
        EXPECT_NE(err.find(b.says), std::string::npos) << err;
    }
}

TEST_F(QdxpollHistoryTest, EachWriteIsRecordedWithItsOutcomeAndNoneIsMadeUnrecorded) {
    std::string out, err;
    ASSERT_EQ(Run(With({"write", "01K1S1", "180.5", "--verify", "--db", db_}), &out), 0) << out;
    // M1 is read-only: the unit answers NAK.
    ASSERT_EQ(Run(With({"write", "01K1M1", "5", "--db", db_}), &out), 76) << out;
    std::string error;
    auto store = HistoryStore::Open(db_, HistoryStore::kRead, &error);
    ASSERT_NE(store, nullptr) << error;
    const auto writes = store->Writes(INT64_MIN, INT64_MAX, &error);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, "01K1S1");
    EXPECT_EQ(writes[0].value, "180.5");
    EXPECT_EQ(writes[0].status, "verified");
    EXPECT_EQ(writes[0].source, "command line");
    EXPECT_EQ(writes[1].status, "refused");
    EXPECT_NE(writes[1].cause.find("NAK"), std::string::npos) << writes[1].cause;
    EXPECT_TRUE(store->Runs(INT64_MIN, INT64_MAX, &error).empty()) << "a write alone is no run of samples";

    // A history that cannot be made: nothing is polled or written.
    const std::string nowhere = (dir_ / "no-such-folder" / "line.db").string();
    ASSERT_EQ(Run(With({"write", "01K1S1", "99", "--db", nowhere}), &out, &err), 73);
    EXPECT_NE(err.find(nowhere), std::string::npos) << err;
    EXPECT_EQ(sim_.Command("get 1 1 S1"), "ok 0180.5");
    ASSERT_EQ(Run(With({"log", "01K1M1", "--db", nowhere, "-n", "1"}), &out, &err), 73);
    EXPECT_EQ(out, "") << "polled without a history";
}

// A history belongs to the line that made it (its name and port): another
// line is refused before anything is polled, unless the file is given to it
// with --reassign-db; the same port under another name is the same line. A
// file of an earlier qdxpoll, with no record, goes to the next line that
// writes to it. (Before, two lines' samples merged under the same
// addresses with no word.)
TEST_F(QdxpollHistoryTest, AFileBelongsToOneLineAndAnotherIsRefused) {
    qdxtest::Simulator other;
    std::string error;
    const std::string other_port = port_ + "-other";
    ASSERT_TRUE(other.Start({"--no-drift", "--link", other_port}, {}, &error)) << error;
    const std::string alias = (dir_ / "alias").string();
    fs::create_symlink(port_, alias);
    auto log = [&](const std::string& port, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"--port", port, "--quiet", "log", "01K1M1", "--db", db_, "-n", "2", "-i", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    };
    auto samples = [&] { return AllSamples().size(); };
    auto drop_record = [&] {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(db_.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, "DROP TABLE line", nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    };
    const struct {
        const char* what;
        std::function<void()> before;
        std::vector<std::string> args;
        int code;
        std::string says;
        bool recorded;
    } steps[] = {
        {"the line that makes the file", nullptr, log(port_), 0, "", true},
        {"another line", nullptr, log(other_port), 73,
         "the history " + db_ + " belongs to line \"line1\" on " + port_, false},
        {"the same port by another name", nullptr, log(alias), 0, "", true},
        {"another line, on purpose", nullptr, log(other_port, {"--reassign-db"}), 0,
         "belongs to line \"line1\" on " + other_port + " from now on (it was line \"line1\" on " + port_ + ")",
         true},
        {"the first line, now another", nullptr, log(port_), 73, "add --reassign-db", false},
        {"a file of an earlier qdxpoll", drop_record, log(port_), 0, "held no record of its line", true},
        {"another line after it", nullptr, log(other_port), 73, "belongs to line \"line1\" on " + port_, false},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.before) step.before();
        const size_t before = fs::exists(db_) ? samples() : 0;
        std::string out, err;
        EXPECT_EQ(Run(step.args, &out, &err), step.code) << err;
        if (!step.says.empty()) {
            EXPECT_NE(err.find(step.says), std::string::npos) << err;
        }
        EXPECT_EQ(samples(), before + (step.recorded ? 2 : 0));
        if (step.code != 0) {
            EXPECT_EQ(out, "") << "polled without a history";
        }
    }
    other.Stop();
}

}  // namespace
