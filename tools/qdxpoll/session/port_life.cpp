// Starting, closing and reopening the port, and noticing its loss.
#include "session/port_life.h"

#include <regex>

#include "base/exit_codes.h"
#include "config/line_settings.h"
#include "platform/platform.h"
#include "port/device_server_address.h"
#include "port/port_lock.h"
#include "rexf/line_timing.h"
#include "session/driver_log.h"

// Behind a device server every answer comes a network round trip later,
// measured anew at every connect.
void PortLife::SetTimeouts() {
    const int network_ms = relay.round_trip_ms();
    safe_timeout_ms = TimeoutUnits(SafeTimeoutMs(line, rexf::kMaxIntervalTimeMs) + network_ms) * 10;
    timeout_ms =
        TimeoutUnits(options.timeout_ms.value_or(SafeTimeoutMs(line, interval_ms_asked) + network_ms)) * 10;
}

void PortLife::UseReplyTimeout(int ms) {
    driver->SetReplyTimeout(module_port, TimeoutUnits(ms));
    timeout_ms = ms;
}

namespace {

// The next step when the port could not be opened for a cause the message
// names: who holds it and how to stop that, or a device server that could
// not open its own device. "" where the exit code's own hint fits.
std::string HolderHint(const std::string& error) {
    std::smatch m;
    if (std::regex_search(error, m, std::regex(R"(by pid (\d+) \(([^)]*)\))"))) {
        const std::string pid = m[1], name = m[2];
        const std::string how = name == "qdxpoll" ? "another qdxpoll polls it: end that one (Ctrl-C where it runs, "
                                                    "or 'kill " + pid + "'; a service: stop the service)"
                                                  : "end it ('kill " + pid + "') or keep it off this port";
        return "pid " + pid + " (" + name + ") has the port; " + how + ", then run this again";
    }
    if (error.find(" is in use by ") != std::string::npos)
        return "another program has the port: end it, or keep it off this port, then run this again";
    if (error.find(" for --rts: ") != std::string::npos)
        return "this port cannot switch an RS-485 line's direction: run without --rts with an adapter that "
               "switches by itself";
    if (error.find("could not open its serial device") != std::string::npos)
        return "the device server could not open its serial device: another client has it, or the server is "
               "still closing it after the previous one; run this again once that client has let go (the "
               "server's log names the device)";
    return "";
}

}  // namespace

bool PortLife::Start(int* code, std::string* error) {
    start_hint.clear();
    const std::string device = PortDevicePath(user_port);
    if (TraceRelay::Available() && !options.direct) {
        bool port_failed = false;
        if (!relay.Start(user_port, line, options.trace, &module_port, error, &port_failed)) {
            *code = port_failed ? kExitPortUnavailable : kExitInternal;
            if (port_failed) {
                const std::string hint = NamesDeviceServer(user_port) ||
                                             error->find(" is in use by ") != std::string::npos ||
                                                 error->find(" is locked by ") != std::string::npos
                                             ? ""
                                             : PortOpenHint(user_port);
                start_hint = HolderHint(*error);
                *error = "cannot open port " + user_port + " (" + (hint.empty() ? *error : hint) + ")";
            }
            return false;
        }
        if (options.verbose) ErrorLine("watching the line: " + user_port + " relayed to the driver through " + module_port);
    } else {
        module_port = ModulePortName(user_port, error);
        if (module_port.empty()) {
            *code = kExitPortUnavailable;
            return false;
        }
        if (!TakePortLockFile(device, &direct_lock_file, error)) {
            *code = kExitPortUnavailable;
            start_hint = HolderHint(*error);
            *error = "cannot open port " + user_port + " (" + *error + ")";
            return false;
        }
    }
    SetTimeouts();
    SetDriverPortAlias(module_port, user_port);
    if (driver->Start(module_port, TimeoutUnits(timeout_ms), line) != kResultOk) {
        std::string hint;
        if (!relay.running()) hint = PortOpenHint(module_port);
        // A port that opens and is free refused the line settings.
        if (hint.empty())
            hint = "it opens, but the driver refused the line settings: " + DescribeLine(line) +
                   "; check --line (or --baud, --data-bits, --parity and --stop-bits)";
        Close();
        *code = kExitPortUnavailable;
        *error = "cannot open port " + user_port + " (" + hint + ")";
        return false;
    }
    port_device = PortDeviceId(user_port);
    if (!relay.running()) SetDirectPort(driver->handle());
    return true;
}

void PortLife::Close() {
    SetDirectPort(-1);
    if (driver) driver->Close();
    relay.Stop();
    ReleasePortLockFile(direct_lock_file);
    direct_lock_file.clear();
}

bool PortLife::Reopen(std::string* error) {
    Close();
    int code = kExitOk;
    return Start(&code, error);
}

bool PortLife::Lost(bool failed, std::string* cause) {
    if (relay.running() && relay.Lost(cause)) {
        *cause = "its far side is gone: " + *cause;
        return true;
    }
    // A port that named no device file when it was opened (a device
    // server's address) tells its loss through the relay alone.
    if (!failed || port_device == 0) return false;
    const unsigned long long now = PortDeviceId(user_port);
    if (now == 0) {
        *cause = "the device is gone";
        return true;
    }
    if (port_device != 0 && now != port_device) {
        *cause = "the name now stands for another device (it was replaced)";
        return true;
    }
    if (!relay.running() && DriverPortHungUp(driver->handle())) {
        *cause = "the driver's port hung up (the device went away)";
        return true;
    }
    return false;
}

std::string PortLife::OtherOpenersNamed() {
    const auto now = std::chrono::steady_clock::now();
    if (openers_seen.time_since_epoch().count() == 0 || now - openers_seen > std::chrono::seconds(5)) {
        openers_seen = now;
        openers = DescribeOpeners(OtherOpeners(PortDevicePath(user_port)));
    }
    return openers;
}

