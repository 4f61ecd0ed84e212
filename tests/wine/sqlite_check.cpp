// SQLite as the Windows build compiles it (qdx_sqlite3), under Wine: a file
// in WAL mode is written, read by a second connection while a write is open
// (WAL's readers do not wait), closed, reopened and read back whole.
//
// Usage: sqlite_check.exe [FOLDER]   (default: the current folder)
// Ends with "N passed, N failed".
#include <sqlite3.h>

#include <cstdio>
#include <string>

#include "tests/wine/check.h"

namespace {

using wine_check::g_case;

// The first column of the first row of a query, as text ("" when none).
std::string One(sqlite3* db, const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    std::string text;
    if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) == SQLITE_OK && sqlite3_step(stmt) == SQLITE_ROW) {
        const unsigned char* value = sqlite3_column_text(stmt, 0);
        if (value) text = reinterpret_cast<const char*>(value);
    }
    sqlite3_finalize(stmt);
    return text;
}

bool Exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    const int rc = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) std::printf("  %s: %s\n", sql, error ? error : "?");
    sqlite3_free(error);
    return rc == SQLITE_OK;
}

}  // namespace

int main(int argc, char** argv) {
    g_case = "library";
    std::printf("SQLite %s, thread-safe %d\n", sqlite3_libversion(), sqlite3_threadsafe());
    CHECK(std::string(sqlite3_libversion()) == QDX_EXPECTED_SQLITE_VERSION);
    CHECK(sqlite3_threadsafe() != 0);  // watch's threads share the library
    const std::string folder = argc > 1 ? std::string(argv[1]) + "\\" : std::string();
    const std::string path = folder + "sqlite_check.db";
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());

    g_case = "write in WAL mode";
    sqlite3* writer = nullptr;
    if (!CHECK(sqlite3_open(path.c_str(), &writer) == SQLITE_OK)) return wine_check::CheckSummary();
    CHECK(One(writer, "PRAGMA journal_mode=WAL") == "wal");
    CHECK(Exec(writer, "PRAGMA user_version=1"));
    CHECK(Exec(writer, "CREATE TABLE points(t INTEGER PRIMARY KEY, value REAL, text TEXT)"));
    CHECK(Exec(writer, "BEGIN"));
    sqlite3_stmt* insert = nullptr;
    CHECK(sqlite3_prepare_v2(writer, "INSERT INTO points VALUES(?, ?, ?)", -1, &insert, nullptr) == SQLITE_OK);
    for (int i = 0; i < 1000 && insert; ++i) {
        sqlite3_bind_int64(insert, 1, 1700000000000LL + i);
        sqlite3_bind_double(insert, 2, i * 0.5 - 100.25);
        sqlite3_bind_text(insert, 3, "\xc2\xb0" "C", -1, SQLITE_STATIC);  // the text keeps its UTF-8
        if (sqlite3_step(insert) != SQLITE_DONE) break;
        sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    CHECK(Exec(writer, "COMMIT"));

    g_case = "a reader while a write is open";
    sqlite3* reader = nullptr;
    CHECK(sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    CHECK(Exec(writer, "BEGIN IMMEDIATE"));
    CHECK(Exec(writer, "INSERT INTO points VALUES(1800000000000, 1, 'uncommitted')"));
    CHECK(One(reader, "SELECT count(*) FROM points") == "1000");
    CHECK(Exec(writer, "COMMIT"));
    CHECK(One(reader, "SELECT count(*) FROM points") == "1001");
    sqlite3_close(reader);
    CHECK(sqlite3_close(writer) == SQLITE_OK);

    g_case = "read back";
    sqlite3* db = nullptr;
    CHECK(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK);
    CHECK(One(db, "PRAGMA journal_mode") == "wal");
    CHECK(One(db, "PRAGMA user_version") == "1");
    CHECK(One(db, "PRAGMA integrity_check") == "ok");
    CHECK(One(db, "SELECT count(*) FROM points WHERE t < 1800000000000") == "1000");
    CHECK(One(db, "SELECT value FROM points WHERE t = 1700000000999") == "399.25");
    CHECK(One(db, "SELECT text FROM points WHERE t = 1700000000000") == "\xc2\xb0" "C");
    CHECK(One(db, "SELECT sum(value) FROM points WHERE t < 1800000000000") == "149500.0");
    sqlite3_close(db);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
    return wine_check::CheckSummary();
}
