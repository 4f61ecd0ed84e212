#include "session.h"

#include <fmt/format.h>

#include "device_server_address.h"
#include "driver_log.h"
#include "line_settings.h"
#include "platform.h"
#include "rexf/line_timing.h"

namespace {

const char* const kWindowsHint =
    "naming the cause needs a view of the wire, which qdxpoll has on Linux (it watches the line through a "
    "pseudo-terminal)";
const char* const kDirectHint = "--direct hides the wire from qdxpoll: run without it to have the cause named";

}  // namespace

int ExitCodeOf(Cause cause) { return cause == Cause::kInterrupted ? kExitInterrupted : kExitNoReply; }

Session::~Session() {
    // The driver's port first, then what stood behind it.
    if (driver) driver->Close();
    relay.Stop();
    simulator.Stop();
}

void Session::Fail(int code, const std::string& message, const std::string& hint) {
    last_code = code;
    last_hint = hint;
    if (exit_code == kExitOk) {
        exit_code = code;
        first_failure = message;
        first_hint = hint;
    }
}

void Session::Verbose(const std::string& text) const {
    if (options.verbose) ErrorLine(text);
}

void Session::Load() {
    InstallDriverLog(!options.quiet);
    module = LoadModule(options.module_path);
    driver = std::make_unique<Driver>(module.entry);
    description = driver->Describe();
    Verbose("module: " + module.path + " (" + description.name + ")");
}

void Session::OpenPort(const std::string& user_port, int interval_ms) {
    line = ResolveLine(options, description.default_line);
    std::string error;
    const bool server = NamesDeviceServer(user_port);
    if (server) {
        DeviceServerAddress address;
        if (!ParseDeviceServer(user_port, &address, &error)) throw ToolError(kExitUsage, error);
        if (options.direct || !TraceRelay::Available())
            throw ToolError(kExitUsage, "port " + user_port +
                                            " is a device server, which the driver reaches only through qdxpoll's "
                                            "relay: run without --direct (the relay needs Linux)");
    }
    if (TraceRelay::Available() && !options.direct) {
        bool port_failed = false;
        if (!relay.Start(user_port, line, options.trace, &module_port, &error, &port_failed)) {
            if (!port_failed) throw ToolError(kExitInternal, error);
            const std::string hint = server ? "" : PortOpenHint(user_port);
            throw ToolError(kExitPortUnavailable,
                            "cannot open port " + user_port + " (" + (hint.empty() ? error : hint) + ")");
        }
        Verbose("watching the line: " + user_port + " relayed to the driver through " + module_port);
    } else {
        module_port = ModulePortName(user_port, &error);
        if (module_port.empty()) throw ToolError(kExitPortUnavailable, error);
    }
    // Behind a device server every answer comes a network round trip later.
    const int network_ms = relay.round_trip_ms();
    safe_timeout_ms = SafeTimeoutMs(line, rexf::kMaxIntervalTimeMs) + network_ms;
    const int32_t units = TimeoutUnits(options.timeout_ms.value_or(SafeTimeoutMs(line, interval_ms) + network_ms));
    timeout_ms = units * 10;
    safe_timeout_ms = TimeoutUnits(safe_timeout_ms) * 10;
    if (relay.device_server())
        Verbose(fmt::format("network round trip to the device server: {} ms, measured at connect; the reply "
                            "timeouts include it",
                            network_ms));
    Verbose("port: " + user_port + (module_port != user_port ? " (driver port name " + module_port + ")" : ""));
    Verbose("line: " + DescribeLine(line) + fmt::format(" (--line {}, codes {}/{}/{}/{})", LineText(line),
                                                        line.baud_rate, line.data_bits, line.stop_bits, line.parity));
    Verbose(fmt::format("reply timeout: {} ms ({} x 10 ms; every unit's answer meets {} ms), {} attempts a request",
                        timeout_ms, units, safe_timeout_ms, 3));
    if (driver->Start(module_port, units, line) != kResultOk) {
        std::string hint;
        if (!relay.running()) hint = PortOpenHint(module_port);
        // A port that opens and is free refused the line settings.
        if (hint.empty())
            hint = "it opens, but the driver refused the line settings: " + DescribeLine(line) +
                   "; check --line (or --baud, --data-bits, --parity and --stop-bits)";
        throw ToolError(kExitPortUnavailable, "cannot open port " + user_port + " (" + hint + ")");
    }
}

void Session::ClosePort() {
    if (driver) driver->Close();
    relay.Stop();
}

std::unique_ptr<Point> Session::ParsePoint(const std::string& address, uint32_t type) {
    auto point = std::make_unique<Point>();
    // Six characters exactly: the driver reads the text up to its first NUL
    // and lets a blank follow, so that "01K1S1<NUL>..." or "01K1S1 " would
    // pass, with bytes after the address that nobody sees.
    if (address.size() != 6 || !driver->Parse(address, type, point.get()))
        throw ToolError(kExitBadAddress, "invalid address \"" + address +
                                             "\": expected six characters UUKCII, unit 00-99, K, channel 0-8 and a "
                                             "known identifier, e.g. 01K1M1 ('qdxpoll identifiers' lists them)");
    Verbose("point " + point->address + ": " + point->Describe() + ", type " + TypeName(type));
    return point;
}

PointList Session::ParsePoints(const std::vector<std::string>& addresses, uint32_t type) {
    PointList points;
    for (const std::string& a : addresses) points.push_back(ParsePoint(a, type));
    return points;
}

uint32_t Session::Type() const {
    if (options.type.empty()) return options.bit ? kTypeU16 : kTypeFloat;
    return *TypeFromName(options.type);
}

std::string Session::RequirePort() const {
    if (options.port.empty())
        throw ToolError(kExitUsage, "command '" + options.command + "' needs --port (see 'qdxpoll list-ports')");
    return options.port;
}

Done Session::Request(RequestKind kind, Point* p, const std::string& written_text, bool listen, int bit) {
    relay.Take();  // bytes between requests are not this one's
    Done done;
    const int width = options.width.value_or(IsWideType(p->type) ? 32 : 16);
    switch (kind) {
        case RequestKind::kRead: done.outcome = driver->Read(p); break;
        case RequestKind::kReadBit: done.outcome = driver->ReadBit(p, bit, width); break;
        case RequestKind::kWrite: done.outcome = driver->Write(p); break;
    }
    Exchange x;
    x.write = kind == RequestKind::kWrite;
    x.unit = p->unit();
    x.identifier = p->identifier();
    x.written_text = written_text;
    x.timeout_ms = timeout_ms;
    x.safe_timeout_ms = safe_timeout_ms;
    x.driver_ok = done.outcome.ok();
    if (kind == RequestKind::kRead && x.driver_ok && p->type == kTypeFloat) {
        const CellValue v = DecodeCell(p->type, p->cell, false);
        if (!v.numeric) x.non_finite_value = v.text;
    }
    x.interrupted = Interrupted();
    x.start = done.outcome.start;
    x.end = done.outcome.end;
    x.observed = relay.running();
    x.refused_logged = done.outcome.refused_replies;
    x.last_log = done.outcome.last_log;
    x.unobserved_hint = TraceRelay::Available() ? kDirectHint : kWindowsHint;
    if (x.observed) x.wire = relay.Take();
    done.diagnosis = Diagnose(x);
    if (x.observed && listen && !x.interrupted && (!x.driver_ok || done.diagnosis.attempts > 1)) {
        relay.ListenQuiet(safe_timeout_ms, 4 * safe_timeout_ms);
        for (WireChunk& c : relay.Take()) x.wire.push_back(std::move(c));
        done.diagnosis = Diagnose(x);
    }
    return done;
}

Reading Session::MakeReading(const Point& p, const Done& done, bool bit_read, const char* action) const {
    const Diagnosis& d = done.diagnosis;
    Reading r;
    r.time = WallClock::now();
    r.address = p.address;
    r.unit = p.unit();
    r.channel = p.channel();
    r.identifier = p.identifier();
    r.type = TypeName(p.type);
    r.action = action;
    if (bit_read) r.bit = p.block.point.bit_number;
    r.latency_ms = done.outcome.latency_ms;
    r.attempts = d.attempts;
    r.status = CauseCode(d.cause);
    r.tally = InfoOf(d.cause).tally;
    r.raw = d.raw;
    r.ok = done.ok();
    r.has_value = r.ok;
    if (r.ok) r.value = DecodeCell(p.type, p.cell, bit_read);
    if (!r.ok || d.cause == Cause::kLate) {
        r.error = d.what;
        r.hint = d.hint;
    }
    return r;
}

Reading Session::ReadPoint(Point* p, std::optional<int> bit) {
    const Done done = Request(bit ? RequestKind::kReadBit : RequestKind::kRead, p, "", true, bit.value_or(0));
    Reading r = MakeReading(*p, done, bit.has_value(), "read");
    const Diagnosis& d = done.diagnosis;
    // A value taken from a late answer is the unit's, but the timeout that
    // let it come late would let it meet the next request: a failure all the
    // same.
    if ((!r.ok && d.cause != Cause::kInterrupted) || d.cause == Cause::kLate) Fail(kExitNoReply, d.what, d.hint);
    return r;
}

int Session::Finish() {
    if (exit_code != kExitOk) {
        std::fflush(stdout);
        ErrorLine("qdxpoll: " + first_failure);
        if (!first_hint.empty()) ErrorLine("  hint: " + first_hint);
    }
    return exit_code;
}
