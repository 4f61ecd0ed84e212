// What log, write --db and watch --db put in the history: each poll cycle's
// readings as samples, each write with its outcome and where it came from,
// and the run they belong to.
#ifndef QDXPOLL_HISTORY_RECORDING_H
#define QDXPOLL_HISTORY_RECORDING_H

#include <memory>
#include <string>
#include <vector>

#include "config/options.h"
#include "history/history_store.h"
#include "readings/reading.h"

// The sample of a reading: its value only when the unit gave one.
HistorySample SampleOf(const Reading& r);
// The record of a write: the value text asked for, and who asked.
HistoryWrite WriteOf(const Reading& r, const std::string& asked, const std::string& source);

class HistoryRecorder {
public:
    // Opens options.db_file for recording (made when missing) with the
    // retention asked for, and begins a run described by `what` (none when
    // empty: a write alone is no run of samples). The file belongs to one
    // line (options.line_name on options.port): another is refused unless
    // options.reassign_db. Throws ToolError (73) when it cannot, before
    // anything is polled or written. A run begins by saying what its
    // previous one could not store.
    HistoryRecorder(const Options& options, const std::string& what);
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    // A poll cycle's readings; committed once a second.
    void Cycle(const std::vector<Reading>& readings);
    void Write(const Reading& r, const std::string& asked, const std::string& source);
    // Commits and ends the run. "" when everything was recorded, else what
    // was not (for the message at the end and exit code 73).
    std::string End();

    HistoryStore& store() { return *store_; }

private:
    // Says on stderr what failed, once for each new reason.
    void Failed(const std::string& what);
    void ClaimFor(const Options& options);
    void SayPreviousLosses();

    std::unique_ptr<HistoryStore> store_;
    std::string path_;
    std::string first_failure_, last_said_;
    bool ended_ = false;
    bool fresh_ = false;  // the file was made by this run
};

#endif  // QDXPOLL_HISTORY_RECORDING_H
