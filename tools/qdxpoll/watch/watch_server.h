// The page of `qdxpoll watch`: a web server (cpp-httplib) on a loopback
// address that serves the page and its chart library (dygraphs, built into
// the program, so the page works offline), the readings of every poll cycle
// as server-sent events, what a chart shows as CSV, and the writes asked for
// by the page's form, which the thread that drives the module carries out
// between cycles, one at a time. Where the build has no cpp-httplib,
// Unavailable() says why.
#ifndef QDXPOLL_WATCH_SERVER_H
#define QDXPOLL_WATCH_SERVER_H

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "readings/output.h"

struct WatchPoint {
    std::string address;     // 01K1M1
    int unit = 0, channel = 0;
    std::string identifier;  // M1
    std::string meaning;     // from the unit model; "" when unknown
    std::string name;        // the engineer's name for it; "" for none
    std::string engineering_unit;  // °C, %, A, s; "" for codes and states
    int decimals = 1;        // the places its values are shown with
    double scale = 1, offset = 0;  // shown = scale * the unit's value + offset
};

struct WatchSetup {
    std::string listen_address = "127.0.0.1";
    int port = 0;  // 0: a free one
    bool allow_writes = false;
    std::string heading;  // what is watched: port, line, interval
    std::string type;     // the data type of the points and of writes
    std::vector<WatchPoint> points;    // polled, in the order of each cycle's readings
    // The points the write form offers, and the only ones a write from the
    // page may name: the writable points polled and the set value of each
    // unit polled (or, where a configuration lists them, its writable ones).
    std::vector<WatchPoint> writable;
    // watch --db: the line's history, which the page's time ranges are read
    // from (else from the rows kept in memory); "" for none.
    std::string database;
};

// A write the page asks for, and what came of it: the HTTP status and the
// JSON body the page gets.
struct PageWrite {
    std::string address, value;
    bool verify = true;
    std::string from;  // the client's address, for the history
};
struct PageWriteAnswer {
    int http_status = 200;
    nlohmann::json body;
};
using PageWriteRunner = std::function<PageWriteAnswer(const PageWrite&)>;

class WatchServer {
public:
    WatchServer();
    ~WatchServer();
    WatchServer(const WatchServer&) = delete;
    WatchServer& operator=(const WatchServer&) = delete;

    // Why this build of qdxpoll has no server, or null when it has one.
    static const char* Unavailable();

    // Binds the address and serves; *url is the page's address. Served
    // beyond loopback with writes allowed, the address carries the token
    // that writes need (…/#token=…). False, with *error set, when the
    // address cannot be bound (or the build has no server).
    bool Start(const WatchSetup& setup, std::string* url, std::string* error);

    // One poll cycle: its readings (one a point, in setup order) and the
    // statistics after it.
    // `line`: the measured pace and the port's outages, for the heading.
    void Publish(const std::vector<Reading>& readings, const std::vector<PointStats>& stats,
                 const LineStats* line = nullptr);

    // Waits until `until`, carrying out on this thread, with `run`, the
    // first write the page asks for meanwhile (one between two cycles, so
    // that writes never starve the polling); returns early on Ctrl-C. With
    // `ran`, the gap is shared with other writers: none runs when *ran is
    // set already, and *ran is set when one did.
    void WaitRunningWrites(std::chrono::steady_clock::time_point until, const PageWriteRunner& run,
                           bool* ran = nullptr);

    // Fetches the page from the server as a browser would; *result says
    // what came (or why nothing did).
    bool CheckPage(std::string* result);

    // Stops serving: open pages are told that watching has ended, writes
    // still waiting are refused.
    void Stop();

private:
    struct State;
    std::unique_ptr<State> state_;
};

#endif  // QDXPOLL_WATCH_SERVER_H
