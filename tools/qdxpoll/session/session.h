// One run of qdxpoll: the driver module and its port, the wire relay and the
// simulator when they are used, where the output goes, and the bookkeeping
// of failures that decides the exit code. Every request goes through
// Request, which watches the wire during it and diagnoses what the line did.
#ifndef QDXPOLL_SESSION_H
#define QDXPOLL_SESSION_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/exit_codes.h"
#include "config/options.h"
#include "diagnosis/diagnosis.h"
#include "platform/simulator.h"
#include "port/trace_relay.h"
#include "readings/output.h"
#include "session/driver.h"
#include "session/module_loader.h"

using PointList = std::vector<std::unique_ptr<Point>>;

enum class RequestKind { kRead, kReadBit, kWrite };

// A request to the driver and what the line did during it.
struct Done {
    Outcome outcome;
    Diagnosis diagnosis;
    // A value was taken: the driver's result, unless its conversion made
    // infinity or NaN of the reply.
    bool ok() const { return outcome.ok() && diagnosis.cause != Cause::kNotNumber; }
};

// The exit code of a request that failed with this cause.
int ExitCodeOf(Cause cause);

struct Session {
    explicit Session(Options& o) : options(o), reporter(o.format, stdout) {}
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Records a failure: the first one decides the exit code and the message
    // at the end; the latest is kept for the page's writes.
    void Fail(int code, const std::string& message, const std::string& hint = "");
    // A line on stderr with --verbose.
    void Verbose(const std::string& text) const;

    // Loads the module and asks for its description (request 14).
    void Load();
    // Starts the port (request 1), through the relay that watches the wire
    // where it can. The default reply timeout is the one an answer from a
    // unit with interval_ms meets at the line's settings.
    void OpenPort(const std::string& user_port, int interval_ms);
    // Starts the port named user_port as OpenPort does; false with the exit
    // code and the message instead of throwing.
    bool StartPort(int* code, std::string* error);
    // The reply timeouts for the port just started: the line's, plus a
    // device server's network round trip.
    void SetTimeouts();
    // Closes the driver's port and the relay behind it.
    void ClosePort();
    // After a lost port: closes it and starts it again by the name the user
    // gave (a /dev/serial/by-id path finds the adapter wherever it is now),
    // with the same line and timeout. False with *error when it is not back.
    bool ReopenPort(std::string* error);
    // Whether the port is gone: the relay's real side closed, or after a
    // failed request (`failed`) the device vanished or was replaced or the
    // driver's port hung up; *cause says what was seen.
    bool PortLost(bool failed, std::string* cause);
    // The other processes that hold the port's device open, "" for none:
    // looked at again only after a few seconds.
    std::string OtherOpenersNamed();

    std::unique_ptr<Point> ParsePoint(const std::string& address, uint32_t type);
    PointList ParsePoints(const std::vector<std::string>& addresses, uint32_t type);
    // The data type the options ask for.
    uint32_t Type() const;
    // --port, which the command needs.
    std::string RequirePort() const;

    // One request, with the wire watched during it. After a failed or
    // retried request the line is watched on until it has been quiet for the
    // timeout every answer meets (with `listen`), so that a late answer is
    // seen and never met by the next request.
    Done Request(RequestKind kind, Point* p, const std::string& written_text = "", bool listen = true, int bit = 0);
    Reading MakeReading(const Point& p, const Done& done, bool bit_read, const char* action) const;
    // One read of a point (request 6, or 5 for a bit), its failure recorded;
    // a read cut short by Ctrl-C is left to the caller.
    Reading ReadPoint(Point* p, std::optional<int> bit);

    // Prints the first failure and its hint; the exit code.
    int Finish();

    Options& options;
    Reporter reporter;
    LoadedModule module;
    std::unique_ptr<Driver> driver;
    DriverDescription description;
    TraceRelay relay;
    SimulatorProcess simulator;
    LineValues line{};
    int timeout_ms = 0;       // the reply timeout in effect (a multiple of 10 ms)
    int safe_timeout_ms = 0;  // the one every unit's answer meets on this line
    int interval_ms_asked = 0;  // the unit interval OpenPort was given
    std::string module_port;
    std::string user_port;    // as the user named it
    unsigned long long port_device = 0;  // the device it named when opened (0: unknown)
    std::string direct_lock_file;        // the lock file held with --direct
    std::chrono::steady_clock::time_point openers_seen;
    std::string openers;
    int exit_code = kExitOk;
    std::string first_failure, first_hint;
    int last_code = kExitOk;  // the latest failure, whichever came first
    std::string last_hint;
    LineStats line_stats;  // a poll's outages and pace
};

#endif  // QDXPOLL_SESSION_H
