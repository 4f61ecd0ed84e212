// The state the page's server shares between its request threads and the
// polling thread, and the limits that keep any client from holding it.
// Internal to the watch server's two files.
#ifndef QDXPOLL_WATCH_STATE_H
#define QDXPOLL_WATCH_STATE_H

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

#include "base/json_text.h"
#include "readings/write_queue.h"
#include "watch/recent_events.h"
#include "watch/watch_access.h"
#include "watch/watch_connections.h"
#include "watch/watch_gaps.h"
#include "watch/watch_history.h"
#include "watch/watch_server.h"
#include "watch/watch_summary.h"

namespace watch_limits {

inline constexpr size_t kHistoryRows = 36000;  // ten hours at one cycle a second
inline constexpr size_t kFailureGroupsKept = 64;
inline constexpr size_t kRunGapsKept = 256;  // outages and silences of this run: a new one drops the oldest  // addresses times causes: a new one drops the stalest
// Rows a time range of the page holds at most (Downsample), and what the
// page asks for when it opens: the last ten minutes.
inline constexpr size_t kPageRows = 3000;
inline constexpr long long kFirstRangeMs = 10 * 60 * 1000;
// A page that falls further behind than these starts again; the bytes
// bound holds when every event carries many failure groups.
inline constexpr size_t kRecentCycles = 64;
inline constexpr size_t kRecentBytes = 256 * 1024;
inline constexpr int kMaxStreams = 4;        // open pages: each holds a request thread
inline constexpr auto kKeepAlive = std::chrono::seconds(1);
// A CSV holds at most this many values (all 36,000 rows of 8 points), about
// 8 MB; two are made at once at most.
inline constexpr size_t kCsvMaxValues = kEveryRowValues;
inline constexpr int kMaxCsvAtOnce = 2;
inline constexpr size_t kCsvRowsAChunk = 2000;
// A new page's stream begins with at least this much (its history, padded
// with a comment): more than a client that does not read can take into its
// buffers, so that such a client stalls the stream at once and is dropped
// after the stall time, instead of holding a place while buffers fill.
inline constexpr size_t kStreamPrimerBytes = 512 * 1024;
// Long texts go out in pieces of this size, each copied once more by the
// chunked encoding: the copies stay small.
inline constexpr size_t kWritePiece = 64 * 1024;

}  // namespace watch_limits

struct WatchServer::State {
    using json = nlohmann::json;
    WatchSetup setup;
    PageAccess access;
    std::string token;  // writes need it (served beyond loopback); "" when not
    std::string setup_text;
    BoundedServer server;
    std::thread thread;
    int port = 0;

    std::mutex mutex;
    std::condition_variable changed;   // a cycle published, or closing
    std::condition_variable wake;      // a write is waiting for the polling thread
    std::condition_variable answered;  // a write has started, or has its answer
    bool closing = false;
    long cycles = 0;
    WatchHistory history{0, 0};
    RunGaps run_gaps{watch_limits::kRunGapsKept};
    std::unique_ptr<HistoryReader> stored;  // watch --db: the ranges come from the database
    json stats = json::array();
    std::string line_text = "null";  // the measured pace and the port's outages, as JSON
    FailureGroups failures{watch_limits::kFailureGroupsKept};
    std::vector<PointLatest> latest;  // one a point
    RecentEvents recent{watch_limits::kRecentCycles, watch_limits::kRecentBytes};
    int streams = 0;
    int csv_in_progress = 0;

    struct Pending {
        PageWrite ask;
        bool started = false, done = false;
        PageWriteAnswer answer;
    };
    WriteQueue<std::shared_ptr<Pending>> writes;  // one runs between two cycles

    // Reads the history with f(const HistoryReader&): the database with a
    // connection of this thread's own, or the rows in memory under the lock,
    // in one quick pass.
    template <class F>
    auto ReadHistory(F f) {
        if (stored) return f(static_cast<const HistoryReader&>(*stored));
        std::lock_guard<std::mutex> lock(mutex);
        return f(static_cast<const HistoryReader&>(history));
    }

    // The rows of the last kFirstRangeMs, the span and the gaps, as the
    // JSON members of a page's first event.
    std::string FirstRange() {
        std::vector<size_t> all(setup.points.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        long long first = 0, last = 0;
        if (!Span(&first, &last)) return "\"rows\":[],\"gaps\":[],\"span\":null";
        const long long from = std::max(first, last - watch_limits::kFirstRangeMs);
        return "\"rows\":" + HistoryJson(Rows(from, last, all, watch_limits::kPageRows)) + ",\"gaps\":" +
               GapsJson(Gaps(first, last)) + ",\"span\":[" + std::to_string(first) + "," + std::to_string(last) + "]";
    }

    // The span of the history: with --db the database's, up to this run's
    // latest row, which the database may not have yet (it commits once a
    // second).
    bool Span(long long* first, long long* last) {
        const bool have = ReadHistory([&](const HistoryReader& h) { return h.Span(first, last); });
        if (!stored) return have;
        long long mine_first = 0, mine_last = 0;
        std::lock_guard<std::mutex> lock(mutex);
        if (!history.Span(&mine_first, &mine_last)) return have;
        *first = have ? std::min(*first, mine_first) : mine_first;
        *last = have ? std::max(*last, mine_last) : mine_last;
        return true;
    }

    // The rows in from..to: with --db the database's, then this run's rows
    // after its last one, so that a new run shows from its first cycle.
    HistoryTable Rows(long long from, long long to, const std::vector<size_t>& columns, size_t max_rows) {
        HistoryTable table = ReadHistory([&](const HistoryReader& h) { return h.Read(from, to, columns, max_rows); });
        if (!stored) return table;
        const size_t stride = table.width + 1;
        const long long after = table.rows() > 0 ? static_cast<long long>(table.cells[(table.rows() - 1) * stride]) + 1
                                                 : from;
        std::lock_guard<std::mutex> lock(mutex);
        const HistoryTable tail = history.Read(std::max(from, after), to, columns, max_rows);
        table.width = columns.size();
        table.cells.insert(table.cells.end(), tail.cells.begin(), tail.cells.end());
        return table;
    }

    // The times in from..to without samples: between two runs, and within
    // this one where the line gave none.
    std::vector<HistoryGap> Gaps(long long from, long long to) {
        std::vector<HistoryGap> gaps = ReadHistory([&](const HistoryReader& h) { return h.Gaps(from, to); });
        {
            std::lock_guard<std::mutex> lock(mutex);
            const std::vector<HistoryGap> mine = run_gaps.Within(from, to);
            gaps.insert(gaps.end(), mine.begin(), mine.end());
        }
        std::stable_sort(gaps.begin(), gaps.end(), [](const HistoryGap& a, const HistoryGap& b) { return a.from < b.from; });
        return gaps;
    }

    // The events a page has not had yet after cycle *sent (-1: none yet);
    // waits for the next cycle up to the keep-alive time and then sends a
    // comment, so that a page that went away frees its thread. False once
    // the page has been told that watching ended. A page's first event, the
    // hello, has everything it needs to start: what is watched, the
    // history, the statistics and the failures; it is copied under the lock
    // and written out after.
    bool NextEvents(long* sent, std::string* out) {
        std::unique_lock<std::mutex> lock(mutex);
        if (*sent == LONG_MAX) return false;
        if (!closing && *sent >= 0)
            changed.wait_for(lock, watch_limits::kKeepAlive, [&] { return closing || cycles > *sent; });
        if (closing) {
            *out = "event: end\ndata: {}\n\n";
            *sent = LONG_MAX;
            return true;
        }
        std::string events;
        if (*sent >= 0 && cycles > *sent && recent.Since(*sent, cycles, &events)) {
            *out = std::move(events);
            *sent = cycles;
            return true;
        }
        if (*sent < 0 || cycles > *sent) {
            const json stats_now = stats;
            const json failures_now = failures.Json();
            const json latest_now = LatestJson(latest);
            const std::string line_now = line_text;
            const long cycles_now = cycles;
            *sent = cycles;
            lock.unlock();
            // Read after: a cycle published meanwhile may come twice (the
            // page drops a row it has), never not at all.
            *out = "event: hello\ndata: {\"setup\":" + setup_text + "," + FirstRange() +
                   ",\"stats\":" + JsonText(stats_now) + ",\"failures\":" + JsonText(failures_now) +
                   ",\"latest\":" + JsonText(latest_now) + ",\"line\":" + line_now +
                   ",\"cycles\":" + std::to_string(cycles_now) + "}\n\n";
            return true;
        }
        *out = ": still watching\n\n";
        return true;
    }

    enum class Queued { kAnswered, kFull, kWithdrawn, kEnded };

    // Queues a write for the polling thread and waits for its answer. A
    // write still waiting after write_limits::kWithdrawnAfter is withdrawn
    // unsent; one the polling thread has begun is waited for.
    Queued RunWrite(const PageWrite& ask, PageWriteAnswer* answer) {
        auto pending = std::make_shared<Pending>();
        pending->ask = ask;
        std::unique_lock<std::mutex> lock(mutex);
        if (closing) return Queued::kEnded;
        if (!writes.Offer(pending)) return Queued::kFull;
        wake.notify_all();
        answered.wait_for(lock, write_limits::kWithdrawnAfter, [&] { return pending->started || closing; });
        if (!pending->started) {
            writes.Withdraw(pending);
            return closing ? Queued::kEnded : Queued::kWithdrawn;
        }
        answered.wait(lock, [&] { return pending->done; });
        *answer = pending->answer;
        return Queued::kAnswered;
    }

    // The page's reading requests and its writes come from the page itself:
    // no other site's page may read the history, hold a place for a stream,
    // or write. A header given twice is judged by neither value.
    bool FromOwnPage(const httplib::Request& req) const {
        return req.get_header_value_count("Origin") <= 1 && req.get_header_value_count("Sec-Fetch-Site") <= 1 &&
               access.OriginAllowed(req.get_header_value("Origin")) &&
               PageAccess::FetchSiteAllowed(req.get_header_value("Sec-Fetch-Site"));
    }

    bool Writable(const std::string& address) const {
        return std::any_of(setup.writable.begin(), setup.writable.end(),
                           [&](const WatchPoint& p) { return p.address == address; });
    }

    void Routes();
    void Events(httplib::Response& res);
    void ChartCsv(const httplib::Request& req, httplib::Response& res);
    void Range(const httplib::Request& req, httplib::Response& res);
    // The columns `points` names (comma-separated addresses, each once), or
    // all; false with *why set when it names another or one twice.
    bool Columns(const httplib::Request& req, std::vector<size_t>* columns, std::string* why) const;
    void Write(const httplib::Request& req, httplib::Response& res);
};

#endif  // QDXPOLL_WATCH_STATE_H
