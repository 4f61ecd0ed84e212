#include "history/history_store.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <thread>

#include <sqlite3.h>

namespace {

constexpr int kSchemaVersion = 1;
constexpr int kApplicationId = 0x51445850;  // "QDXP": a history of qdxpoll, not any SQLite file
constexpr int64_t kCommitEveryMs = 1000;
// One prune deletes at most this many samples, and gives back at most this
// many pages: a few ms, so a cycle is never held up by it.
constexpr int kPruneBatch = 2000;
// By size, at least this many: a batch is sized to what the file holds too
// much, within these two bounds.
constexpr int kPruneBatchBySize = 200;
constexpr int kVacuumPages = 32;
constexpr size_t kMaxPending = 100000;
// The page cache of a recording connection: 512 KiB, reached in the first
// minutes of a fast line and then flat.
constexpr const char* kWriterCache = "PRAGMA cache_size = -512";

const char* const kSchema = R"(
CREATE TABLE points(id INTEGER PRIMARY KEY, address TEXT NOT NULL UNIQUE);
CREATE TABLE samples(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, point INTEGER NOT NULL REFERENCES points(id),
                     value REAL, raw TEXT, status TEXT NOT NULL, cause TEXT, attempts INTEGER NOT NULL,
                     latency_us INTEGER NOT NULL);
CREATE INDEX samples_by_point_time ON samples(point, time_ms);
CREATE INDEX samples_failed ON samples(point, status, time_ms) WHERE status <> 'ok';
CREATE INDEX samples_retried ON samples(point, time_ms) WHERE status = 'ok' AND attempts > 1;
CREATE TABLE writes(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, address TEXT NOT NULL, value TEXT NOT NULL,
                    status TEXT NOT NULL, cause TEXT, source TEXT NOT NULL);
CREATE INDEX writes_by_time ON writes(time_ms);
CREATE TABLE runs(id INTEGER PRIMARY KEY, start_ms INTEGER NOT NULL, end_ms INTEGER NOT NULL, what TEXT NOT NULL);
)";

// Added to files of an earlier qdxpoll by their first writer: the line the
// file belongs to, and each run's samples that could not be stored.
const char* const kLineTables = R"(
BEGIN IMMEDIATE;
CREATE TABLE IF NOT EXISTS line(name TEXT NOT NULL, port TEXT NOT NULL, since_ms INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS run_losses(run INTEGER PRIMARY KEY, added INTEGER NOT NULL, unstored INTEGER NOT NULL);
COMMIT;
)";

const char* const kSampleColumns =
    "s.id, s.time_ms, p.address, s.value, s.raw, s.status, s.cause, s.attempts, s.latency_us "
    "FROM samples s JOIN points p ON p.id = s.point ";

std::string Text(sqlite3_stmt* s, int column) {
    const unsigned char* t = sqlite3_column_text(s, column);
    return t == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(t),
                                                      static_cast<size_t>(sqlite3_column_bytes(s, column)));
}

void BindText(sqlite3_stmt* s, int at, const std::string& text) {
    sqlite3_bind_text(s, at, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// Empty text is kept as NULL: an ok sample has no cause.
void BindTextOrNull(sqlite3_stmt* s, int at, const std::string& text) {
    if (text.empty())
        sqlite3_bind_null(s, at);
    else
        BindText(s, at, text);
}

HistorySample SampleRow(sqlite3_stmt* s) {
    HistorySample h;
    h.id = sqlite3_column_int64(s, 0);
    h.time_ms = sqlite3_column_int64(s, 1);
    h.address = Text(s, 2);
    if (sqlite3_column_type(s, 3) != SQLITE_NULL) h.value = sqlite3_column_double(s, 3);
    h.raw = Text(s, 4);
    h.status = Text(s, 5);
    h.cause = Text(s, 6);
    h.attempts = sqlite3_column_int(s, 7);
    h.latency_ms = static_cast<double>(sqlite3_column_int64(s, 8)) / 1000.0;
    return h;
}

// A statement that finalizes itself.
struct Statement {
    sqlite3_stmt* s = nullptr;
    Statement() = default;
    explicit Statement(sqlite3_stmt* stmt) : s(stmt) {}
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(s); }
};

// Every row of a prepared query, its parameters the numbers given in order,
// each row made by row(statement). On a failure *error says why, and the
// rows read until then are returned.
template <class Row, class MakeRow>
std::vector<Row> AllRows(sqlite3* db, const Statement& q, std::initializer_list<int64_t> numbers, MakeRow row,
                         std::string* error) {
    std::vector<Row> out;
    if (q.s == nullptr) return out;
    int at = 1;
    for (int64_t n : numbers) sqlite3_bind_int64(q.s, at++, n);
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) out.push_back(row(q.s));
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db);
    return out;
}

}  // namespace

// The statements the writer runs every cycle, prepared once.
struct HistoryStore::Statements {
    Statement insert_sample, insert_point, find_point, update_run_end, insert_write;
    std::map<std::string, int64_t> point_ids;
};

const char* HistoryUnavailable() { return nullptr; }

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string& path, Mode mode, std::string* error) {
    // Another writer making the same new file holds it locked for a moment
    // (switching it to WAL, where SQLite does not wait): tried again for up
    // to 2 s.
    for (int attempt = 0;; ++attempt) {
        auto store = OpenOnce(path, mode, error);
        if (store != nullptr || attempt == 40 || error->find("database is locked") == std::string::npos) return store;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::unique_ptr<HistoryStore> HistoryStore::OpenOnce(const std::string& path, Mode mode, std::string* error) {
    std::unique_ptr<HistoryStore> store(new HistoryStore);
    store->mode_ = mode;
    store->statements_ = std::make_unique<Statements>();
    const int flags = (mode == kWrite ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY) |
                      SQLITE_OPEN_NOMUTEX;
    if (mode == kRead) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (f == nullptr) {
            *error = path + ": " + std::strerror(errno);
            return nullptr;
        }
        std::fclose(f);
    }
    if (sqlite3_open_v2(path.c_str(), &store->db_, flags, nullptr) != SQLITE_OK) {
        *error = path + ": " + (store->db_ != nullptr ? sqlite3_errmsg(store->db_) : "cannot be opened");
        return nullptr;
    }
    // A reader waits a little for a writer's checkpoint; the writer no longer
    // than keeps a cycle on time.
    sqlite3_busy_timeout(store->db_, mode == kWrite ? 500 : 2000);
    auto fail = [&](const std::string& why) {
        *error = path + ": " + why;
        return nullptr;
    };
    std::string why;
    int version = -1, application = -1, tables = -1;
    {
        Statement q(store->Prepare("SELECT (SELECT user_version FROM pragma_user_version), (SELECT application_id "
                                   "FROM pragma_application_id), (SELECT count(*) FROM sqlite_schema)",
                                   &why));
        if (q.s == nullptr) return fail(why);
        if (sqlite3_step(q.s) != SQLITE_ROW) return fail(sqlite3_errmsg(store->db_));
        version = sqlite3_column_int(q.s, 0);
        application = sqlite3_column_int(q.s, 1);
        tables = sqlite3_column_int(q.s, 2);
    }
    if (tables > 0 && application != kApplicationId) return fail("is no history database of qdxpoll");
    if (version > kSchemaVersion)
        return fail("was written by a newer qdxpoll (history version " + std::to_string(version) + ")");
    if (mode == kRead) {
        if (tables == 0) return fail("holds no history");
        return store;
    }
    if (tables == 0) {
        // Pages freed by retention go back to the file system, a few at a time.
        if (!store->Exec("PRAGMA auto_vacuum = INCREMENTAL", &why)) return fail(why);
    }
    // A recording touches the ends of its tables alone; SQLite's default
    // page cache (2 MB) fills slowly, for most of an hour of a fast line,
    // with pages the recording never reads again.
    if (!store->Exec("PRAGMA journal_mode = WAL", &why) || !store->Exec("PRAGMA synchronous = NORMAL", &why) ||
        !store->Exec(kWriterCache, &why))
        return fail(why);
    if (tables == 0 ? !store->CreateSchema(&why) : !store->CheckPages(&why)) return fail(why);
    if (!store->AddLineTables(&why)) return fail(why);
    Statements& st = *store->statements_;
    st.insert_sample.s = store->Prepare(
        "INSERT INTO samples(time_ms, point, value, raw, status, cause, attempts, latency_us) "
        "VALUES(?,?,?,?,?,?,?,?)",
        &why);
    st.insert_point.s = store->Prepare("INSERT INTO points(address) VALUES(?)", &why);
    st.find_point.s = store->Prepare("SELECT id FROM points WHERE address = ?", &why);
    st.update_run_end.s = store->Prepare("UPDATE runs SET end_ms = ? WHERE id = ?", &why);
    st.insert_write.s = store->Prepare(
        "INSERT INTO writes(time_ms, address, value, status, cause, source) VALUES(?,?,?,?,?,?)", &why);
    if (st.insert_sample.s == nullptr || st.insert_point.s == nullptr || st.find_point.s == nullptr ||
        st.update_run_end.s == nullptr || st.insert_write.s == nullptr)
        return fail(why);
    return store;
}

// Another writer may be making the same new file: the schema is made inside
// one write transaction by whoever finds the file still empty there, and
// the other then finds it made.
bool HistoryStore::CreateSchema(std::string* error) {
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    int tables = -1, application = -1;
    {
        Statement q(Prepare("SELECT (SELECT count(*) FROM sqlite_schema), (SELECT application_id FROM "
                            "pragma_application_id)",
                            error));
        if (q.s != nullptr && sqlite3_step(q.s) == SQLITE_ROW) {
            tables = sqlite3_column_int(q.s, 0);
            application = sqlite3_column_int(q.s, 1);
        }
    }
    std::string why;
    if (tables < 0) why = sqlite3_errmsg(db_);
    else if (tables > 0 && application != kApplicationId) why = "is no history database of qdxpoll";
    const std::string create = tables == 0 ? std::string(kSchema) + "PRAGMA application_id = " +
                                                 std::to_string(kApplicationId) + "; PRAGMA user_version = " +
                                                 std::to_string(kSchemaVersion) + ";"
                                           : "";
    if (why.empty() && Exec((create + "COMMIT;").c_str(), error)) return true;
    if (!why.empty()) *error = why;
    Exec("ROLLBACK", nullptr);
    return false;
}

bool HistoryStore::AddLineTables(std::string* error) {
    if (Exec(kLineTables, error)) return true;
    Exec("ROLLBACK", nullptr);
    return false;
}

// A file damaged on disk is refused before anything is written into it.
// SQLite's quick_check reads every page; a large file is checked for a few
// seconds at most, and what was read by then is taken as the answer.
bool HistoryStore::CheckPages(std::string* error) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    auto past_deadline = [](void* at) {
        return std::chrono::steady_clock::now() > *static_cast<std::chrono::steady_clock::time_point*>(at) ? 1 : 0;
    };
    sqlite3_progress_handler(db_, 10000, past_deadline, &deadline);
    std::string found;
    int rc = SQLITE_OK;
    {
        Statement q(Prepare("PRAGMA quick_check(3)", error));
        if (q.s == nullptr) {
            sqlite3_progress_handler(db_, 0, nullptr, nullptr);
            return false;
        }
        while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) found += (found.empty() ? "" : "; ") + Text(q.s, 0);
    }
    sqlite3_progress_handler(db_, 0, nullptr, nullptr);
    if (rc == SQLITE_INTERRUPT || (rc == SQLITE_DONE && found == "ok")) return true;
    if (rc != SQLITE_DONE) found = sqlite3_errstr(rc);
    if (found.size() > 300) found = found.substr(0, 300) + "...";
    const std::string path = sqlite3_db_filename(db_, "main");
    *error = "is damaged (" + found + "); nothing is written into it. SQLite's shell keeps what can be read: "
             "sqlite3 " + path + " .recover | sqlite3 recovered.db; give --db a new file to go on";
    return false;
}

HistoryStore::~HistoryStore() {
    statements_.reset();
    sqlite3_close(db_);
}

sqlite3_stmt* HistoryStore::Prepare(const char* sql, std::string* error) {
    sqlite3_stmt* s = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) {
        if (error != nullptr) *error = sqlite3_errmsg(db_);
        sqlite3_finalize(s);
        return nullptr;
    }
    return s;
}

bool HistoryStore::Exec(const char* sql, std::string* error) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
    if (error != nullptr) *error = message != nullptr ? message : sqlite3_errmsg(db_);
    sqlite3_free(message);
    return false;
}

bool HistoryStore::BeginRun(const std::string& what, int64_t now_ms, std::string* error) {
    if (mode_ != kWrite) {
        *error = "the history is open for reading only";
        return false;
    }
    Statement s(Prepare("INSERT INTO runs(start_ms, end_ms, what) VALUES(?,?,?)", error));
    if (s.s == nullptr) return false;
    sqlite3_bind_int64(s.s, 1, now_ms);
    sqlite3_bind_int64(s.s, 2, now_ms);
    BindText(s.s, 3, what);
    if (sqlite3_step(s.s) != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    run_id_ = sqlite3_last_insert_rowid(db_);
    last_commit_ms_ = last_try_ms_ = now_ms;
    // Until its end is recorded, the run's losses are unknown.
    Statement loss(Prepare("INSERT OR REPLACE INTO run_losses(run, added, unstored) VALUES(?, 0, -1)", error));
    if (loss.s == nullptr) return false;
    sqlite3_bind_int64(loss.s, 1, run_id_);
    if (sqlite3_step(loss.s) != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    return true;
}

void HistoryStore::Add(const HistorySample& sample) {
    if (pending_.size() >= kMaxPending) {
        const size_t drop = kMaxPending / 4;
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(drop));
        dropped_ += static_cast<int64_t>(drop);
    }
    pending_.push_back(sample);
    ++added_;
}

int64_t HistoryStore::PointId(const std::string& address, std::string* error) {
    auto& ids = statements_->point_ids;
    const auto it = ids.find(address);
    if (it != ids.end()) return it->second;
    sqlite3_stmt* find = statements_->find_point.s;
    sqlite3_reset(find);
    BindText(find, 1, address);
    int64_t id = 0;
    if (sqlite3_step(find) == SQLITE_ROW) {
        id = sqlite3_column_int64(find, 0);
    } else {
        sqlite3_stmt* insert = statements_->insert_point.s;
        sqlite3_reset(insert);
        BindText(insert, 1, address);
        if (sqlite3_step(insert) != SQLITE_DONE) {
            *error = sqlite3_errmsg(db_);
            return 0;
        }
        id = sqlite3_last_insert_rowid(db_);
    }
    sqlite3_reset(find);
    ids[address] = id;
    return id;
}

bool HistoryStore::Commit(int64_t now_ms, std::string* error) {
    if (mode_ != kWrite) {
        *error = "the history is open for reading only";
        return false;
    }
    if (!Exec("BEGIN IMMEDIATE", error)) return false;
    const size_t points_known = statements_->point_ids.size();
    auto rollback = [&]() {
        Exec("ROLLBACK", nullptr);
        // Ids of points inserted in the rolled-back transaction are gone.
        if (statements_->point_ids.size() != points_known) statements_->point_ids.clear();
        return false;
    };
    sqlite3_stmt* ins = statements_->insert_sample.s;
    for (const HistorySample& h : pending_) {
        const int64_t point = PointId(h.address, error);
        if (point == 0) return rollback();
        sqlite3_reset(ins);
        sqlite3_bind_int64(ins, 1, h.time_ms);
        sqlite3_bind_int64(ins, 2, point);
        // A value that is no number is no value.
        if (h.value && std::isfinite(*h.value))
            sqlite3_bind_double(ins, 3, *h.value);
        else
            sqlite3_bind_null(ins, 3);
        BindTextOrNull(ins, 4, h.raw);
        BindText(ins, 5, h.status);
        BindTextOrNull(ins, 6, h.cause);
        sqlite3_bind_int(ins, 7, h.attempts);
        sqlite3_bind_int64(ins, 8, std::isfinite(h.latency_ms) ? std::llround(h.latency_ms * 1000.0) : 0);
        if (sqlite3_step(ins) != SQLITE_DONE) {
            *error = sqlite3_errmsg(db_);
            return rollback();
        }
    }
    if (run_id_ != 0) {
        sqlite3_stmt* run = statements_->update_run_end.s;
        sqlite3_reset(run);
        sqlite3_bind_int64(run, 1, now_ms);
        sqlite3_bind_int64(run, 2, run_id_);
        if (sqlite3_step(run) != SQLITE_DONE) {
            *error = sqlite3_errmsg(db_);
            return rollback();
        }
    }
    if (!Exec("COMMIT", error)) return rollback();
    pending_.clear();
    last_commit_ms_ = now_ms;
    return true;
}

bool HistoryStore::Tick(int64_t now_ms, std::string* error) {
    // Once a second, whether the last try took or not: a full disk must not
    // turn every cycle into a commit of everything waiting.
    if (now_ms - last_try_ms_ < kCommitEveryMs && now_ms >= last_try_ms_) return true;
    last_try_ms_ = now_ms;
    if (!Commit(now_ms, error)) return false;
    if (keep_days_ > 0 || keep_bytes_ > 0) return Prune(now_ms, error) >= 0;
    return true;
}

bool HistoryStore::Flush(int64_t now_ms, std::string* error) { return Commit(now_ms, error); }

bool HistoryStore::EndRun(int64_t now_ms, std::string* error) {
    bool ok = Commit(now_ms, error);
    if (!ok) {
        // What still waits ends with the process; the count alone is small
        // enough to go in where the samples did not.
        dropped_ += static_cast<int64_t>(pending_.size());
        pending_.clear();
    }
    std::string why;
    if (run_id_ != 0 && !RecordLoss(&why) && ok) {
        *error = why;
        ok = false;
    }
    run_id_ = 0;
    return ok;
}

bool HistoryStore::RecordLoss(std::string* error) {
    Statement q(Prepare("UPDATE run_losses SET added = ?, unstored = ? WHERE run = ?", error));
    if (q.s == nullptr) return false;
    sqlite3_bind_int64(q.s, 1, added_);
    sqlite3_bind_int64(q.s, 2, Unstored());
    sqlite3_bind_int64(q.s, 3, run_id_);
    if (sqlite3_step(q.s) == SQLITE_DONE) return true;
    *error = sqlite3_errmsg(db_);
    return false;
}

std::optional<HistoryLine> HistoryStore::Line(std::string* error) {
    Statement q(Prepare("SELECT name, port, since_ms FROM line LIMIT 1", error));
    if (q.s == nullptr || sqlite3_step(q.s) != SQLITE_ROW) return std::nullopt;
    return HistoryLine{Text(q.s, 0), Text(q.s, 1), sqlite3_column_int64(q.s, 2)};
}

bool HistoryStore::SetLine(const HistoryLine& line, std::string* error) {
    if (!Exec("BEGIN IMMEDIATE; DELETE FROM line", error)) {
        Exec("ROLLBACK", nullptr);
        return false;
    }
    Statement q(Prepare("INSERT INTO line(name, port, since_ms) VALUES(?,?,?)", error));
    if (q.s != nullptr) {
        BindText(q.s, 1, line.name);
        BindText(q.s, 2, line.port);
        sqlite3_bind_int64(q.s, 3, line.since_ms);
    }
    if (q.s == nullptr || sqlite3_step(q.s) != SQLITE_DONE || !Exec("COMMIT", error)) {
        if (q.s != nullptr && error->empty()) *error = sqlite3_errmsg(db_);
        Exec("ROLLBACK", nullptr);
        return false;
    }
    return true;
}

std::optional<HistoryRunLoss> HistoryStore::PreviousRun(std::string* error) {
    // A run of an earlier qdxpoll has no record of its losses: none to say.
    Statement q(Prepare("SELECT r.id, r.start_ms, r.end_ms, r.what, l.added, l.unstored FROM runs r "
                        "LEFT JOIN run_losses l ON l.run = r.id WHERE r.id <> ? ORDER BY r.id DESC LIMIT 1",
                        error));
    if (q.s == nullptr) return std::nullopt;
    sqlite3_bind_int64(q.s, 1, run_id_);
    if (sqlite3_step(q.s) != SQLITE_ROW || sqlite3_column_type(q.s, 5) == SQLITE_NULL) return std::nullopt;
    HistoryRunLoss loss;
    loss.run = HistoryRun{sqlite3_column_int64(q.s, 0), sqlite3_column_int64(q.s, 1), sqlite3_column_int64(q.s, 2),
                          Text(q.s, 3)};
    loss.added = sqlite3_column_int64(q.s, 4);
    loss.unstored = sqlite3_column_int64(q.s, 5);
    return loss;
}

bool HistoryStore::AddWrite(const HistoryWrite& w, std::string* error) {
    if (mode_ != kWrite) {
        *error = "the history is open for reading only";
        return false;
    }
    sqlite3_stmt* s = statements_->insert_write.s;
    sqlite3_reset(s);
    sqlite3_bind_int64(s, 1, w.time_ms);
    BindText(s, 2, w.address);
    BindText(s, 3, w.value);
    BindText(s, 4, w.status);
    BindTextOrNull(s, 5, w.cause);
    BindText(s, 6, w.source);
    // Outside a transaction: committed at once, with the samples after it.
    if (sqlite3_step(s) != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return false;
    }
    return Commit(std::max(w.time_ms, last_commit_ms_), error);
}

void HistoryStore::SetRetention(double keep_days, int64_t keep_bytes) {
    keep_days_ = keep_days > 0 ? keep_days : 0;
    keep_bytes_ = keep_bytes > 0 ? keep_bytes : 0;
}

int64_t HistoryStore::UsedBytes() {
    Statement q(Prepare("SELECT (SELECT page_count FROM pragma_page_count) - (SELECT freelist_count FROM "
                        "pragma_freelist_count), (SELECT page_size FROM pragma_page_size)",
                        nullptr));
    if (q.s == nullptr || sqlite3_step(q.s) != SQLITE_ROW) return -1;
    return sqlite3_column_int64(q.s, 0) * sqlite3_column_int64(q.s, 1);
}

// The oldest samples first: row ids rise with time, so a batch is a range
// of ids from the first, which SQLite deletes without a search.
int64_t HistoryStore::DeleteOldest(int64_t count, int64_t before_ms, std::string* error) {
    Statement d(Prepare("DELETE FROM samples WHERE id < (SELECT min(id) FROM samples) + ? AND time_ms < ?", error));
    if (d.s == nullptr) return -1;
    sqlite3_bind_int64(d.s, 1, count);
    sqlite3_bind_int64(d.s, 2, before_ms);
    if (sqlite3_step(d.s) != SQLITE_DONE) {
        *error = sqlite3_errmsg(db_);
        return -1;
    }
    return sqlite3_changes(db_);
}

// How many of the oldest samples hold about `bytes` of the `used` bytes.
int64_t HistoryStore::SamplesInBytes(int64_t bytes, int64_t used) {
    // Two subqueries: SQLite reads a lone min() or max() off the index, but
    // both in one query scan the whole table.
    Statement q(Prepare("SELECT (SELECT max(id) FROM samples) - (SELECT min(id) FROM samples) + 1", nullptr));
    if (q.s == nullptr || sqlite3_step(q.s) != SQLITE_ROW) return 0;
    const int64_t rows = sqlite3_column_int64(q.s, 0);
    if (rows <= 0 || used <= 0) return 0;
    return static_cast<int64_t>(static_cast<double>(bytes) / (static_cast<double>(used) / static_cast<double>(rows))) + 1;
}

int64_t HistoryStore::Prune(int64_t now_ms, std::string* error) {
    if (mode_ != kWrite) return 0;
    int64_t deleted = 0;
    if (keep_days_ > 0) {
        const int64_t cutoff = now_ms - static_cast<int64_t>(keep_days_ * 86400000.0);
        deleted = DeleteOldest(kPruneBatch, cutoff, error);
        if (deleted < 0) return -1;
        if (deleted > 0 && !Exec(("DELETE FROM writes WHERE time_ms < " + std::to_string(cutoff) +
                                  "; DELETE FROM runs WHERE end_ms < " + std::to_string(cutoff) +
                                  "; DELETE FROM run_losses WHERE run NOT IN (SELECT id FROM runs)")
                                     .c_str(),
                                 error))
            return -1;
    }
    if (keep_bytes_ > 0 && deleted == 0) {
        const int64_t used = UsedBytes();
        const int64_t over = used - keep_bytes_;
        if (over > 0) {
            // As many as the excess holds, in steps fine enough not to
            // overshoot by much and large enough to outrun a fast line.
            const int64_t count = std::clamp<int64_t>(SamplesInBytes(over, used), kPruneBatchBySize, kPruneBatch);
            deleted = DeleteOldest(count, std::numeric_limits<int64_t>::max(), error);
            if (deleted < 0) return -1;
        }
    }
    if (deleted > 0) {
        const std::string vacuum = "PRAGMA incremental_vacuum(" + std::to_string(kVacuumPages) + ")";
        Statement v(Prepare(vacuum.c_str(), error));
        if (v.s == nullptr) return -1;
        while (sqlite3_step(v.s) == SQLITE_ROW) {
        }
    }
    return deleted;
}

std::vector<HistorySample> HistoryStore::Samples(const HistoryQuery& query, std::string* error) {
    std::vector<HistorySample> out;
    std::string sql = std::string("SELECT ") + (query.step_ms > 0 ? "MIN(s.time_ms) AS first, " : "") +
                      kSampleColumns + "WHERE s.time_ms BETWEEN ? AND ?";
    if (!query.addresses.empty()) {
        sql += " AND p.address IN (";
        for (size_t i = 0; i < query.addresses.size(); ++i) sql += i == 0 ? "?" : ",?";
        sql += ")";
    }
    if (query.step_ms > 0) sql += " GROUP BY s.point, s.time_ms / ?";
    sql += " ORDER BY s.time_ms, s.id";
    if (query.limit > 0) sql += " LIMIT ?";
    Statement q(Prepare(sql.c_str(), error));
    if (q.s == nullptr) return out;
    int at = 1;
    sqlite3_bind_int64(q.s, at++, query.from_ms);
    sqlite3_bind_int64(q.s, at++, query.to_ms);
    for (const std::string& a : query.addresses) BindText(q.s, at++, a);
    if (query.step_ms > 0) sqlite3_bind_int64(q.s, at++, query.step_ms);
    if (query.limit > 0) sqlite3_bind_int64(q.s, at++, query.limit);
    // With a step the row begins with the bucket's first time; the sample's
    // columns come after it.
    const int shift = query.step_ms > 0 ? 1 : 0;
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        if (shift == 0) {
            out.push_back(SampleRow(q.s));
            continue;
        }
        HistorySample h;
        h.id = sqlite3_column_int64(q.s, 1);
        h.time_ms = sqlite3_column_int64(q.s, 2);
        h.address = Text(q.s, 3);
        if (sqlite3_column_type(q.s, 4) != SQLITE_NULL) h.value = sqlite3_column_double(q.s, 4);
        h.raw = Text(q.s, 5);
        h.status = Text(q.s, 6);
        h.cause = Text(q.s, 7);
        h.attempts = sqlite3_column_int(q.s, 8);
        h.latency_ms = static_cast<double>(sqlite3_column_int64(q.s, 9)) / 1000.0;
        out.push_back(h);
    }
    if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db_);
    return out;
}

std::vector<HistorySample> HistoryStore::SamplesAfter(int64_t after_id, int64_t limit, std::string* error) {
    Statement q(Prepare((std::string("SELECT ") + kSampleColumns + "WHERE s.id > ? ORDER BY s.id LIMIT ?").c_str(), error));
    return AllRows<HistorySample>(
        db_, q, {after_id, limit > 0 ? limit : INT64_MAX}, [](sqlite3_stmt* r) { return SampleRow(r); }, error);
}

std::vector<HistoryFailures> HistoryStore::Failures(int64_t from_ms, int64_t to_ms, std::string* error) {
    Statement q(Prepare(
        "SELECT p.address, g.status, (SELECT cause FROM samples WHERE point = g.point AND status = g.status "
        "AND status <> 'ok' AND time_ms = g.last ORDER BY id DESC LIMIT 1), g.n, g.first, g.last "
        "FROM (SELECT point, status, COUNT(*) AS n, MIN(time_ms) AS first, MAX(time_ms) AS last FROM samples "
        "WHERE status <> 'ok' AND time_ms BETWEEN ? AND ? GROUP BY point, status) g "
        "JOIN points p ON p.id = g.point ORDER BY g.last DESC, p.address, g.status", error));
    return AllRows<HistoryFailures>(
        db_, q, {from_ms, to_ms}, [](sqlite3_stmt* r) { return HistoryFailures{Text(r, 0), Text(r, 1), Text(r, 2), sqlite3_column_int64(r, 3),
                                                      sqlite3_column_int64(r, 4), sqlite3_column_int64(r, 5)}; }, error);
}

std::vector<HistoryRetried> HistoryStore::Retried(int64_t from_ms, int64_t to_ms, std::string* error) {
    Statement q(Prepare("SELECT p.address, COUNT(*) FROM samples s JOIN points p ON p.id = s.point "
                        "WHERE s.status = 'ok' AND s.attempts > 1 AND s.time_ms BETWEEN ? AND ? "
                        "GROUP BY s.point ORDER BY p.address", error));
    return AllRows<HistoryRetried>(
        db_, q, {from_ms, to_ms}, [](sqlite3_stmt* r) { return HistoryRetried{Text(r, 0), sqlite3_column_int64(r, 1)}; }, error);
}

std::vector<HistoryRun> HistoryStore::Runs(int64_t from_ms, int64_t to_ms, std::string* error) {
    Statement q(Prepare("SELECT id, start_ms, end_ms, what FROM runs WHERE end_ms >= ? AND start_ms <= ? "
                        "ORDER BY start_ms, id", error));
    return AllRows<HistoryRun>(
        db_, q, {from_ms, to_ms}, [](sqlite3_stmt* r) { return HistoryRun{sqlite3_column_int64(r, 0), sqlite3_column_int64(r, 1), sqlite3_column_int64(r, 2),
                                                 Text(r, 3)}; }, error);
}

std::vector<HistoryWrite> HistoryStore::Writes(int64_t from_ms, int64_t to_ms, std::string* error) {
    Statement q(Prepare("SELECT id, time_ms, address, value, status, cause, source FROM writes "
                        "WHERE time_ms BETWEEN ? AND ? ORDER BY time_ms, id", error));
    return AllRows<HistoryWrite>(
        db_, q, {from_ms, to_ms}, [](sqlite3_stmt* r) { return HistoryWrite{sqlite3_column_int64(r, 0), sqlite3_column_int64(r, 1), Text(r, 2), Text(r, 3),
                                                   Text(r, 4), Text(r, 5), Text(r, 6)}; }, error);
}

std::vector<std::string> HistoryStore::Addresses(std::string* error) {
    Statement q(Prepare("SELECT address FROM points ORDER BY id", error));
    return AllRows<std::string>(db_, q, {}, [](sqlite3_stmt* r) { return Text(r, 0); }, error);
}

std::string HistoryStore::IntegrityCheck() {
    std::string error;
    Statement q(Prepare("PRAGMA integrity_check", &error));
    if (q.s == nullptr) return error;
    std::string result;
    while (sqlite3_step(q.s) == SQLITE_ROW) result += (result.empty() ? "" : "; ") + Text(q.s, 0);
    return result;
}
