// A line's history in one SQLite file: every sample polled, every write
// asked for, and the runs of the program that recorded them (a kill or a
// restart shows as the gap between two runs).
//
// Writing (log, watch --db, write --db): Open, BeginRun, then Add each sample and
// AddWrite each write; Tick after each cycle commits what is pending once a
// second has passed (so a kill -9 loses at most the last second) and keeps
// the run's end up to date; EndRun at a clean end. Samples are kept in
// memory until committed; writes are committed at once.
//
// Reading (the page, export): open the same file with
// HistoryStore::kRead, one store a thread (a store is not shared between
// threads). Readers never block the writer (WAL). Times are ms since the
// epoch, UTC; ranges are [from_ms, to_ms], both included.
//
// Schema (user_version 1):
//   points(id, address)
//   samples(id, time_ms, point, value REAL or NULL, raw, status, cause,
//           attempts, latency_us)            index (point, time_ms)
//   writes(id, time_ms, address, value, status, cause, source)
//   runs(id, start_ms, end_ms, what)
//   line(name, port, since_ms)               the line the file belongs to
//   run_losses(run, added, unstored)         each run's samples not stored
// The last two are made by the first writer that opens a file without them
// (readers of an earlier qdxpoll never ask for them).
#ifndef QDXPOLL_HISTORY_STORE_H
#define QDXPOLL_HISTORY_STORE_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

// One poll of one point. A sample without a value (no answer, EOT, the port
// lost, interrupted, ...) is a missing sample: it never carries a value.
struct HistorySample {
    int64_t id = 0;                // row id, set when read back; rising with each sample added
    int64_t time_ms = 0;
    std::string address;           // 01K1M1
    std::optional<double> value;   // what the unit gave, converted; none when missing
    std::string raw;               // the unit's data characters as they came; may be empty
    std::string status;            // ok, or the cause code: silent, eot, nak, late, interrupted, ...
    std::string cause;             // the one-line reason when not ok; empty when ok
    int attempts = 0;              // frames sent for it (more than 1: retried)
    double latency_ms = 0;
};

// A write asked of a unit, with its outcome.
struct HistoryWrite {
    int64_t id = 0;
    int64_t time_ms = 0;
    std::string address;
    std::string value;             // the value text asked for
    std::string status;            // written, verified, mismatch, refused, held_unacknowledged, or a cause
    std::string cause;             // the one-line reason when it failed
    std::string source;            // "command line", "page 192.0.2.7"
};

// One run of a recording program: from its start to its last commit (or its
// clean end). Between two runs nothing was recorded.
struct HistoryRun {
    int64_t id = 0;
    int64_t start_ms = 0, end_ms = 0;
    std::string what;              // e.g. "log 01K1M1 01K1S1 every 1 s"
};

// The line a history belongs to (one line a file: the addresses of two
// lines would merge). Recorded when the file is made, or when a file of an
// earlier qdxpoll, which holds none, is first written again.
struct HistoryLine {
    std::string name, port;
    int64_t since_ms = 0;
};

// A run and what became of its samples: how many it polled, and how many
// it could not store (a full disk); unstored < 0: its end was never recorded
// (killed, or the file could not be written at its end).
struct HistoryRunLoss {
    HistoryRun run;
    int64_t added = 0, unstored = -1;
};

// The failures of one point with one cause, grouped.
struct HistoryFailures {
    std::string address, status;
    std::string cause;             // the latest one-line reason
    int64_t count = 0, first_ms = 0, last_ms = 0;
};

// A point's good samples that needed more than one attempt (retried but good).
struct HistoryRetried {
    std::string address;
    int64_t count = 0;
};

struct HistoryQuery {
    std::vector<std::string> addresses;  // empty: every point
    int64_t from_ms = INT64_MIN, to_ms = INT64_MAX;
    // 0: every sample. Else at most one sample a point in each step (the
    // first of it): a chart of a long range at the cost of a short one.
    int64_t step_ms = 0;
    // At most this many samples (0: no cap); the earliest come first.
    int64_t limit = 0;
};

class HistoryStore {
public:
    enum Mode { kWrite, kRead };

    // Opens (kWrite: creates when missing) the database. nullptr and *error
    // when it cannot be opened, is no history database or one of a newer
    // schema.
    static std::unique_ptr<HistoryStore> Open(const std::string& path, Mode mode, std::string* error);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // --- writing ---
    // Starts a run at now_ms.
    bool BeginRun(const std::string& what, int64_t now_ms, std::string* error);
    // Queues a sample; committed by the next Tick that is due, or Flush.
    // While commits fail (a full disk) at most about 100,000 wait; beyond
    // that the oldest are dropped, and counted.
    void Add(const HistorySample& sample);
    int64_t Added() const { return added_; }
    // The samples added that are not in the file: dropped, and still waiting.
    int64_t Unstored() const { return dropped_ + static_cast<int64_t>(pending_.size()); }
    // Records a write and commits it (with whatever samples are pending).
    bool AddWrite(const HistoryWrite& write, std::string* error);
    // Commits the pending samples and the run's end once a second has passed
    // since the last commit; then prunes (see Retention) within its budget.
    bool Tick(int64_t now_ms, std::string* error);
    // Commits now.
    bool Flush(int64_t now_ms, std::string* error);
    // Commits and closes the run at now_ms, and records how many of its
    // samples it could not store (those still waiting are given up).
    bool EndRun(int64_t now_ms, std::string* error);

    // The line the file belongs to; none when a file of an earlier qdxpoll
    // holds no record.
    std::optional<HistoryLine> Line(std::string* error);
    // Records the line the file belongs to from now on.
    bool SetLine(const HistoryLine& line, std::string* error);
    // The latest run before this one (the one BeginRun began), with its
    // losses; none when there is none.
    std::optional<HistoryRunLoss> PreviousRun(std::string* error);

    // Retention: samples older than keep_days, and the oldest samples while
    // the samples take more than keep_bytes, are deleted by Tick in batches
    // of a bounded size (so a commit never waits long), and their pages given
    // back to the file system. 0: no limit.
    void SetRetention(double keep_days, int64_t keep_bytes);
    // Deletes at most one batch now; returns how many samples went.
    int64_t Prune(int64_t now_ms, std::string* error);

    // --- reading ---
    std::vector<HistorySample> Samples(const HistoryQuery& query, std::string* error);
    // Samples with a row id above after_id, oldest first, at most limit: for
    // who forwards them and keeps the last id it sent.
    std::vector<HistorySample> SamplesAfter(int64_t after_id, int64_t limit, std::string* error);
    // Failures in the range, grouped by address and status, the most recent first.
    std::vector<HistoryFailures> Failures(int64_t from_ms, int64_t to_ms, std::string* error);
    std::vector<HistoryRetried> Retried(int64_t from_ms, int64_t to_ms, std::string* error);
    // Runs that overlap the range, oldest first. The gaps are between them.
    std::vector<HistoryRun> Runs(int64_t from_ms, int64_t to_ms, std::string* error);
    std::vector<HistoryWrite> Writes(int64_t from_ms, int64_t to_ms, std::string* error);
    // The addresses recorded, in the order first seen.
    std::vector<std::string> Addresses(std::string* error);
    // Bytes the samples' and other tables' pages take (not the free ones).
    int64_t UsedBytes();
    // "ok", or what SQLite's integrity check found.
    std::string IntegrityCheck();

private:
    HistoryStore() = default;
    static std::unique_ptr<HistoryStore> OpenOnce(const std::string& path, Mode mode, std::string* error);
    bool Exec(const char* sql, std::string* error);
    bool CreateSchema(std::string* error);
    bool AddLineTables(std::string* error);
    bool RecordLoss(std::string* error);
    bool CheckPages(std::string* error);
    int64_t DeleteOldest(int64_t count, int64_t before_ms, std::string* error);
    int64_t SamplesInBytes(int64_t bytes, int64_t used);
    bool Commit(int64_t now_ms, std::string* error);
    int64_t PointId(const std::string& address, std::string* error);
    sqlite3_stmt* Prepare(const char* sql, std::string* error);

    sqlite3* db_ = nullptr;
    Mode mode_ = kRead;
    int64_t run_id_ = 0;
    int64_t last_commit_ms_ = 0;
    int64_t last_try_ms_ = 0;
    std::vector<HistorySample> pending_;
    int64_t dropped_ = 0;
    int64_t added_ = 0;
    double keep_days_ = 0;
    int64_t keep_bytes_ = 0;
    struct Statements;
    std::unique_ptr<Statements> statements_;
};

// Whether qdxpoll was built with SQLite; null when it was, else why not.
const char* HistoryUnavailable();

#endif  // QDXPOLL_HISTORY_STORE_H
