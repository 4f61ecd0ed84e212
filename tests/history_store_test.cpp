// The history store on real SQLite files: what goes in comes back (missing
// samples without a value), readers see the failures grouped, the runs and
// the writes, retention deletes the oldest first, and a file that is not a
// history is refused.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tools/qdxpoll/history/history_store.h"

namespace {

namespace fs = std::filesystem;

class HistoryStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (HistoryUnavailable() != nullptr) GTEST_SKIP() << HistoryUnavailable();
        dir_ = fs::temp_directory_path() / ("qdx-history-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        path_ = (dir_ / "line.db").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::unique_ptr<HistoryStore> OpenStore(HistoryStore::Mode mode = HistoryStore::kWrite) {
        std::string error;
        auto store = HistoryStore::Open(path_, mode, &error);
        EXPECT_NE(store, nullptr) << error;
        return store;
    }

    fs::path dir_;
    std::string path_;
};

HistorySample Sample(int64_t t, const char* address, std::optional<double> value, const char* status = "ok",
                     int attempts = 1) {
    HistorySample s;
    s.time_ms = t;
    s.address = address;
    s.value = value;
    s.raw = value ? "0150.0" : "";
    s.status = status;
    s.cause = std::string(status) == "ok" ? "" : std::string("unit 01: ") + status;
    s.attempts = attempts;
    s.latency_ms = 12.3;
    return s;
}

TEST_F(HistoryStoreTest, SamplesComeBackAsRecordedAndMissingOnesHaveNoValue) {
    const std::vector<HistorySample> in = {
        Sample(1000, "01K1M1", 150.0),          Sample(1010, "01K1S1", 200.0),
        Sample(2000, "01K1M1", std::nullopt, "silent", 3),
        Sample(2010, "01K1S1", 200.0, "ok", 2), Sample(3000, "01K1M1", std::nan(""), "not_a_number"),
        Sample(3010, "01K1S1", std::nullopt, "interrupted", 1),
        Sample(4000, "01K1M1", -199.9),        Sample(4010, "01K1S1", std::nullopt, "silent", 3),
    };
    {
        auto store = OpenStore();
        std::string error;
        ASSERT_TRUE(store->BeginRun("log 01K1M1 01K1S1", 900, &error)) << error;
        for (const auto& s : in) store->Add(s);
        ASSERT_TRUE(store->EndRun(4500, &error)) << error;
    }
    auto reader = OpenStore(HistoryStore::kRead);
    std::string error;
    const auto all = reader->Samples({}, &error);
    ASSERT_EQ(all.size(), in.size()) << error;
    for (size_t i = 0; i < in.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(all[i].time_ms, in[i].time_ms);
        EXPECT_EQ(all[i].address, in[i].address);
        EXPECT_EQ(all[i].status, in[i].status);
        EXPECT_EQ(all[i].cause, in[i].cause);
        EXPECT_EQ(all[i].raw, in[i].raw);
        EXPECT_EQ(all[i].attempts, in[i].attempts);
        EXPECT_DOUBLE_EQ(all[i].latency_ms, 12.3);
        // A NaN is no value: never a number in the history.
        if (in[i].value && std::isfinite(*in[i].value))
            EXPECT_EQ(all[i].value, in[i].value);
        else
            EXPECT_FALSE(all[i].value.has_value());
    }

    struct Case {
        const char* what;
        HistoryQuery query;
        std::vector<int64_t> times;
    };
    const std::vector<Case> cases = {
        {"one point", {{"01K1S1"}, INT64_MIN, INT64_MAX, 0, 0}, {1010, 2010, 3010, 4010}},
        {"a range, both ends included", {{}, 1010, 3000, 0, 0}, {1010, 2000, 2010, 3000}},
        {"a cap takes the earliest", {{"01K1M1"}, INT64_MIN, INT64_MAX, 0, 2}, {1000, 2000}},
        {"a step keeps the first of each", {{"01K1M1", "01K1S1"}, 0, 5000, 2000, 0}, {1000, 1010, 2000, 2010, 4000, 4010}},
        {"an address never recorded", {{"02K1M1"}, INT64_MIN, INT64_MAX, 0, 0}, {}},
    };
    for (const Case& c : cases) {
        std::vector<int64_t> times;
        for (const auto& s : reader->Samples(c.query, &error)) times.push_back(s.time_ms);
        EXPECT_EQ(times, c.times) << c.what;
    }

    const auto after = reader->SamplesAfter(all[5].id, 10, &error);
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[0].id, all[6].id);

    const auto failures = reader->Failures(INT64_MIN, INT64_MAX, &error);
    ASSERT_EQ(failures.size(), 4u) << error;
    EXPECT_EQ(failures[0].address, "01K1S1");
    EXPECT_EQ(failures[0].status, "silent");
    EXPECT_EQ(failures[0].count, 1);
    EXPECT_EQ(failures[0].cause, "unit 01: silent");
    const auto m1_silent = std::find_if(failures.begin(), failures.end(), [](const HistoryFailures& f) {
        return f.address == "01K1M1" && f.status == "silent";
    });
    ASSERT_NE(m1_silent, failures.end());
    EXPECT_EQ(m1_silent->first_ms, 2000);
    EXPECT_EQ(m1_silent->last_ms, 2000);

    const auto retried = reader->Retried(INT64_MIN, INT64_MAX, &error);
    ASSERT_EQ(retried.size(), 1u);
    EXPECT_EQ(retried[0].address, "01K1S1");
    EXPECT_EQ(retried[0].count, 1);
    EXPECT_EQ(reader->Addresses(&error), (std::vector<std::string>{"01K1M1", "01K1S1"}));
    EXPECT_EQ(reader->IntegrityCheck(), "ok");
}

TEST_F(HistoryStoreTest, RunsWritesAndCommitsAtLeastEverySecond) {
    {
        auto store = OpenStore();
        std::string error;
        ASSERT_TRUE(store->BeginRun("log 01K1M1", 10'000, &error));
        store->Add(Sample(10'100, "01K1M1", 1.0));
        ASSERT_TRUE(store->Tick(10'500, &error));
        auto reader = OpenStore(HistoryStore::kRead);
        EXPECT_TRUE(reader->Samples({}, &error).empty()) << "committed before a second passed";
        ASSERT_TRUE(store->Tick(11'000, &error));
        EXPECT_EQ(reader->Samples({}, &error).size(), 1u) << "not committed after a second";
        EXPECT_EQ(reader->Runs(INT64_MIN, INT64_MAX, &error).at(0).end_ms, 11'000);
        HistoryWrite w{0, 11'200, "01K1S1", "180.5", "verified", "", "page 127.0.0.1"};
        ASSERT_TRUE(store->AddWrite(w, &error)) << error;
        EXPECT_EQ(reader->Writes(INT64_MIN, INT64_MAX, &error).size(), 1u) << "a write waits for the next commit";
        // Killed here: the run ends at its last commit.
    }
    auto store = OpenStore();
    std::string error;
    ASSERT_TRUE(store->BeginRun("log 01K1M1", 20'000, &error));
    ASSERT_TRUE(store->EndRun(21'000, &error));
    const auto runs = store->Runs(INT64_MIN, INT64_MAX, &error);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].start_ms, 10'000);
    EXPECT_EQ(runs[0].end_ms, 11'200);
    EXPECT_EQ(runs[1].start_ms, 20'000);
    EXPECT_EQ(runs[1].end_ms, 21'000);
    EXPECT_EQ(store->Runs(12'000, 19'000, &error).size(), 0u) << "the gap holds no run";
    const auto writes = store->Writes(11'000, 12'000, &error);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].source, "page 127.0.0.1");
    EXPECT_EQ(writes[0].status, "verified");
    EXPECT_EQ(writes[0].value, "180.5");
}

TEST_F(HistoryStoreTest, RetentionDeletesTheOldestInBatches) {
    auto store = OpenStore();
    std::string error;
    const int64_t day = 86'400'000;
    ASSERT_TRUE(store->BeginRun("log", 0, &error));
    // Three days of a sample a minute, then a day more.
    const int n = 4 * 24 * 60;
    for (int i = 0; i < n; ++i) store->Add(Sample(int64_t{i} * 60'000, "01K1M1", i));
    ASSERT_TRUE(store->Flush(4 * day, &error));

    const int64_t before = store->UsedBytes();
    store->SetRetention(0, before / 2);
    int64_t deleted = 0, batches = 0;
    for (int64_t d; (d = store->Prune(4 * day, &error)) > 0; ++batches) deleted += d;
    EXPECT_LE(store->UsedBytes(), before / 2) << error;
    EXPECT_GT(batches, 1) << "one unbounded delete";
    EXPECT_LT(deleted, n * 3 / 4) << "far more than the half went";
    auto left = store->Samples({}, &error);
    ASSERT_FALSE(left.empty());
    EXPECT_EQ(left.back().time_ms, int64_t{n - 1} * 60'000) << "the newest went";

    store->SetRetention(1.0, 0);
    while (store->Prune(4 * day, &error) > 0) {
    }
    left = store->Samples({}, &error);
    ASSERT_EQ(left.size(), 24u * 60) << error;
    EXPECT_EQ(left.front().time_ms, 3 * day);
    EXPECT_EQ(store->IntegrityCheck(), "ok");
}

// A fast line (500 samples a second, 100 points at 0.2 s) held to a size:
// each second's prune takes away at least what the second brought, so the
// file stays near its bound instead of growing past it.
TEST_F(HistoryStoreTest, RetentionBySizeKeepsUpWithAFastLine) {
    auto store = OpenStore();
    std::string error;
    ASSERT_TRUE(store->BeginRun("log", 0, &error));
    const int64_t keep = 1'000'000;
    store->SetRetention(0, keep);
    int64_t most = 0;
    for (int64_t second = 0; second < 150; ++second) {
        for (int i = 0; i < 500; ++i) store->Add(Sample(second * 1000 + i * 2, "01K1M1", i));
        ASSERT_TRUE(store->Tick(second * 1000 + 1000, &error)) << error;
        if (second >= 100) most = std::max(most, store->UsedBytes());
    }
    EXPECT_LT(most, keep * 11 / 10) << "retention fell behind the line";
    auto left = store->Samples({}, &error);
    ASSERT_FALSE(left.empty()) << error;
    EXPECT_EQ(left.back().time_ms, 149 * 1000 + 499 * 2) << "the newest went";
}

TEST_F(HistoryStoreTest, AFileThatIsNoHistoryIsRefused) {
    struct Case {
        const char* what;
        const char* sql;  // made with SQLite itself
        const char* says;
    };
    const std::vector<Case> cases = {
        {"another program's database", "CREATE TABLE t(x);", "no history database"},
        {"a newer history", "PRAGMA application_id = 1363433552; PRAGMA user_version = 9; CREATE TABLE t(x);",
         "newer qdxpoll"},
        {"no SQLite at all", nullptr, "not a database"},
    };
    for (const Case& c : cases) {
        fs::remove(path_);
        if (c.sql != nullptr) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(db, c.sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        } else {
            std::FILE* f = std::fopen(path_.c_str(), "w");
            std::fputs("time,address,value\n1,01K1M1,150.0\n", f);
            std::fclose(f);
        }
        std::string error;
        EXPECT_EQ(HistoryStore::Open(path_, HistoryStore::kWrite, &error), nullptr) << c.what;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.what << ": " << error;
    }
    fs::remove(path_);
    std::string error;
    EXPECT_EQ(HistoryStore::Open(path_, HistoryStore::kRead, &error), nullptr) << "a reader made a file";
}

// Two loggers started at once on one new file: both take it, and its
// schema is made once.
TEST_F(HistoryStoreTest, TwoWritersMakingOneNewFileBothTakeIt) {
    for (int round = 0; round < 40; ++round) {
        fs::remove(path_);
        std::string errors[2];
        bool opened[2] = {false, false};
        std::thread other([&] { opened[1] = HistoryStore::Open(path_, HistoryStore::kWrite, &errors[1]) != nullptr; });
        opened[0] = HistoryStore::Open(path_, HistoryStore::kWrite, &errors[0]) != nullptr;
        other.join();
        EXPECT_TRUE(opened[0] && opened[1]) << "round " << round << ": " << errors[0] << errors[1];
    }
    auto store = OpenStore();
    ASSERT_NE(store, nullptr);
    EXPECT_EQ(store->IntegrityCheck(), "ok");
}

// Each run leaves what it could not store for the next to say: a clean end
// its count, a run that never recorded its end an unknown one. A file of an
// earlier qdxpoll (without the line's and the losses' tables) is given them
// by its first writer and keeps its samples.
TEST_F(HistoryStoreTest, EachRunLeavesItsLossesAndTheLineForTheNext) {
    std::string error;
    {
        auto store = OpenStore();
        ASSERT_TRUE(store->BeginRun("log 01K1M1", 1000, &error)) << error;
        for (int i = 0; i < 3; ++i) store->Add(Sample(1000 + i, "01K1M1", 150.0));
        EXPECT_FALSE(store->PreviousRun(&error).has_value()) << "the first run has none before it";
        ASSERT_TRUE(store->EndRun(2000, &error)) << error;
        EXPECT_FALSE(store->Line(&error).has_value());
        ASSERT_TRUE(store->SetLine({"line1", "/dev/ttyUSB0", 1000}, &error)) << error;
    }
    {
        auto store = OpenStore();
        const auto previous = store->PreviousRun(&error);
        ASSERT_TRUE(previous.has_value()) << error;
        EXPECT_EQ(previous->run.what, "log 01K1M1");
        EXPECT_EQ(previous->added, 3);
        EXPECT_EQ(previous->unstored, 0);
        ASSERT_TRUE(store->BeginRun("log 01K1M1", 3000, &error)) << error;
        store->Add(Sample(3000, "01K1M1", 150.0));
        ASSERT_TRUE(store->Flush(3001, &error)) << error;
        // Ends without EndRun, as a killed run does.
    }
    {
        auto store = OpenStore();
        const auto previous = store->PreviousRun(&error);
        ASSERT_TRUE(previous.has_value()) << error;
        EXPECT_LT(previous->unstored, 0) << "a run that recorded no end";
        const auto line = store->Line(&error);
        ASSERT_TRUE(line.has_value()) << error;
        EXPECT_EQ(line->name + " " + line->port, "line1 /dev/ttyUSB0");
    }
    // As an earlier qdxpoll left it: no line, no losses.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "DROP TABLE line; DROP TABLE run_losses", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    {
        auto reader = OpenStore(HistoryStore::kRead);
        EXPECT_EQ(reader->Runs(INT64_MIN, INT64_MAX, &error).size(), 2u) << error;
        auto store = OpenStore();
        EXPECT_FALSE(store->Line(&error).has_value());
        EXPECT_FALSE(store->PreviousRun(&error).has_value()) << "no record of its losses: nothing to say";
        EXPECT_EQ(store->Samples({}, &error).size(), 4u) << error;
    }
}

}  // namespace
