// One run of qdxpoll: the driver module and its port (port_life.h), the
// simulator when it is used, where the output goes, and the bookkeeping of
// failures that decides the exit code. Every request goes through
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
#include "readings/output.h"
#include "session/driver.h"
#include "session/module_loader.h"
#include "session/port_life.h"

using PointList = std::vector<std::unique_ptr<Point>>;

enum class RequestKind { kRead, kReadBit, kWrite };

// A request to the driver and what the line did during it.
struct RequestResult {
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
    // Bytes that come on the line just after it opened answer an earlier
    // program's requests: named once and discarded.
    void DrainLeftover();

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
    RequestResult Request(RequestKind kind, Point* p, const std::string& written_text = "", bool listen = true, int bit = 0);
    Reading MakeReading(const Point& p, const RequestResult& done, bool bit_read, const char* action) const;
    // One read of a point (request 6, or 5 for a bit), its failure recorded;
    // a read cut short by Ctrl-C is left to the caller.
    Reading ReadPoint(Point* p, std::optional<int> bit);

    // Names a failed reading on stderr at once, with its hint: where a
    // command names every failure, not only the first. Finish does not
    // name it again.
    void SayFailure(const Reading& r);
    // Prints the first failure and its hint, unless said already; the exit
    // code.
    int Finish();

    Options& options;
    Reporter reporter;
    LoadedModule module;
    std::unique_ptr<Driver> driver;
    DriverDescription description;
    PortLife port{options, driver};
    SimulatorProcess simulator;
    int exit_code = kExitOk;
    std::string first_failure, first_hint;
    int last_code = kExitOk;  // the latest failure, whichever came first
    std::string last_hint;
    bool first_failure_said = false;
    LineStats line_stats;  // a poll's outages and pace
};

#endif  // QDXPOLL_SESSION_H
