// The life of the port a session opens: the name the user gave and the one
// the driver takes, the relay that watches the wire (or the lock file held
// with --direct), the line and its reply timeouts, and the signs that the
// port was lost.
#ifndef QDXPOLL_PORT_LIFE_H
#define QDXPOLL_PORT_LIFE_H

#include <chrono>
#include <memory>
#include <string>

#include "config/options.h"
#include "port/trace_relay.h"
#include "session/driver.h"

struct PortLife {
    PortLife(const Options& o, const std::unique_ptr<Driver>& d) : options(o), driver(d) {}
    PortLife(const PortLife&) = delete;
    PortLife& operator=(const PortLife&) = delete;

    // Starts the port named user_port (request 1), through the relay that
    // watches the wire where it can; false with the exit code and the
    // message instead of throwing.
    bool Start(int* code, std::string* error);
    // The reply timeouts for the port just started: the line's, plus a
    // device server's network round trip.
    void SetTimeouts();
    // The reply timeout in effect from now on, the driver's too (a scan's
    // confirming reads, init's reads): ms a multiple of 10.
    void UseReplyTimeout(int ms);
    // Closes the driver's port and the relay behind it.
    void Close();
    // After a lost port: closes it and starts it again by the name the user
    // gave (a /dev/serial/by-id path finds the adapter wherever it is now),
    // with the same line and timeout. False with *error when it is not back.
    bool Reopen(std::string* error);
    // Whether the port is gone: the relay's real side closed, or after a
    // failed request (`failed`) the device vanished or was replaced or the
    // driver's port hung up; *cause says what was seen.
    bool Lost(bool failed, std::string* cause);
    // The other processes that hold the port's device open, "" for none:
    // looked at again only after a few seconds.
    std::string OtherOpenersNamed();

    const Options& options;
    const std::unique_ptr<Driver>& driver;  // the session's, loaded before the port starts
    TraceRelay relay;
    LineValues line{};
    int timeout_ms = 0;         // the reply timeout in effect (a multiple of 10 ms)
    int safe_timeout_ms = 0;    // the one every unit's answer meets on this line
    int interval_ms_asked = 0;  // the unit interval the port was opened for
    std::string module_port;
    std::string user_port;               // as the user named it
    unsigned long long port_device = 0;  // the device it named when opened (0: unknown)
    std::string direct_lock_file;        // the lock file held with --direct
    std::chrono::steady_clock::time_point openers_seen;
    std::string openers;
    std::string start_hint;  // after a failed Start: the next step its cause calls for ("" for the usual)
};

#endif  // QDXPOLL_PORT_LIFE_H
