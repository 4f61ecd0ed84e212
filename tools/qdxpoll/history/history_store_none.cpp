// The history where qdxpoll is built without SQLite (a build without the
// library for its target, or a Windows build without its source): it cannot
// be opened, and says why.
#include "history/history_store.h"

struct HistoryStore::Statements {};

const char* HistoryUnavailable() {
#ifdef _WIN32
    return "this qdxpoll.exe is built without SQLite (its build found no SQLite source to compile): it keeps no "
           "history; poll --csv keeps the readings in a file";
#else
    return "this qdxpoll is built without SQLite (Debian's libsqlite3-dev for its target): it keeps no history; "
           "poll --csv keeps the readings in a file";
#endif
}

std::unique_ptr<HistoryStore> HistoryStore::Open(const std::string&, Mode, std::string* error) {
    *error = HistoryUnavailable();
    return nullptr;
}
HistoryStore::~HistoryStore() = default;
// No store is ever made, so none of these is reached.
bool HistoryStore::BeginRun(const std::string&, int64_t, std::string*) { return false; }
void HistoryStore::Add(const HistorySample&) {}
bool HistoryStore::AddWrite(const HistoryWrite&, std::string*) { return false; }
bool HistoryStore::Tick(int64_t, std::string*) { return false; }
bool HistoryStore::Flush(int64_t, std::string*) { return false; }
bool HistoryStore::EndRun(int64_t, std::string*) { return false; }
std::optional<HistoryLine> HistoryStore::Line(std::string*) { return std::nullopt; }
bool HistoryStore::SetLine(const HistoryLine&, std::string*) { return false; }
std::optional<HistoryRunLoss> HistoryStore::PreviousRun(std::string*) { return std::nullopt; }
void HistoryStore::SetRetention(double, int64_t) {}
int64_t HistoryStore::Prune(int64_t, std::string*) { return -1; }
std::vector<HistorySample> HistoryStore::Samples(const HistoryQuery&, std::string*) { return {}; }
std::vector<HistorySample> HistoryStore::SamplesAfter(int64_t, int64_t, std::string*) { return {}; }
std::vector<HistoryFailures> HistoryStore::Failures(int64_t, int64_t, std::string*) { return {}; }
std::vector<HistoryRetried> HistoryStore::Retried(int64_t, int64_t, std::string*) { return {}; }
std::vector<HistoryRun> HistoryStore::Runs(int64_t, int64_t, std::string*) { return {}; }
std::vector<HistoryWrite> HistoryStore::Writes(int64_t, int64_t, std::string*) { return {}; }
std::vector<std::string> HistoryStore::Addresses(std::string*) { return {}; }
int64_t HistoryStore::UsedBytes() { return -1; }
std::string HistoryStore::IntegrityCheck() { return HistoryUnavailable(); }
