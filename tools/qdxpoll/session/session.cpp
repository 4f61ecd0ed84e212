#include "session/session.h"

#include <algorithm>

#include <fmt/format.h>

#include "config/line_settings.h"
#include "diagnosis/leftover.h"
#include "platform/platform.h"
#include "port/device_server_address.h"
#include "port/rts_direction.h"
#include "session/driver_log.h"

namespace {

const char* const kWindowsHint =
    "naming the cause needs a view of the wire, which qdxpoll has only when its layer is under the driver "
    "(see the note at start)";
const char* const kDirectHint = "--direct hides the wire from qdxpoll: run without it to have the cause named";

// How long the line must stay quiet after a failed or retried request. A
// unit whose first answer came D ms after the first poll, after that poll's
// window, may be that late to every poll: then the answer the driver took
// belongs to the first poll, and the later polls' answers are still to come,
// up to D after the last one. Without them the late answer would pass for
// the retry's own.
int ListenAfterMs(const Exchange& x, const Diagnosis& d) {
    int quiet = x.safe_timeout_ms;
    if (d.attempt.size() < 2) return quiet;
    const double first_sent = d.attempt.front().sent_ms, last_sent = d.attempt.back().sent_ms;
    for (const WireChunk& c : x.wire) {
        const double at = std::chrono::duration<double, std::milli>(c.time - x.start).count();
        if (c.direction != Direction::kFromUnit || at < first_sent) continue;
        const double late = at - first_sent;
        if (late > x.timeout_ms) {
            const double until = last_sent + late + x.timeout_ms;  // since the request began
            const double now = std::chrono::duration<double, std::milli>(SteadyClock::now() - x.start).count();
            quiet = std::max(quiet, static_cast<int>(std::min(until - now, 60000.0)));
        }
        break;
    }
    return quiet;
}

}  // namespace

int ExitCodeOf(Cause cause) { return cause == Cause::kInterrupted ? kExitInterrupted : kExitNoReply; }

Session::~Session() {
    // The driver's port first, then what stood behind it.
    port.Close();
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
    std::string why;
    if (!options.direct && !TraceRelay::Attach(module.library, &why))
        ErrorLine("qdxpoll: note: " + why + "; the driver keeps its own port calls, as with --direct, and the "
                  "line is not watched");
}

void Session::OpenPort(const std::string& user_port, int interval_ms) {
    port.line = ResolveLine(options, description.default_line);
    port.user_port = user_port;
    port.interval_ms_asked = interval_ms;
    std::string error;
    if (NamesDeviceServer(user_port)) {
        DeviceServerAddress address;
        if (!ParseDeviceServer(user_port, &address, &error)) throw ToolError(kExitUsage, error);
        if (options.direct || !TraceRelay::Available())
            throw ToolError(kExitUsage, "port " + user_port +
                                            " is a device server, which the driver reaches only through qdxpoll's "
                                            "relay: run without --direct");
    }
    if (options.rts) {
        // RTS is driven by the relay's side of the port; the module's own
        // line flags stay as the host sets them.
        if (options.direct || !TraceRelay::Available())
            throw ToolError(kExitUsage, "--rts drives RTS from qdxpoll's relay, which --direct leaves out",
                            "run without --direct, or use an adapter with automatic direction");
        if (NamesDeviceServer(user_port))
            throw ToolError(kExitUsage, "--rts is for a serial device: a device server drives its own line",
                            "set the RS-485 direction in the device server's configuration");
        AskRtsDirection(true);
    }
    int code = kExitOk;
    if (!port.Start(&code, &error)) throw ToolError(code, error, port.start_hint);
    DrainLeftover();
    const int32_t units = TimeoutUnits(port.timeout_ms);
    if (port.relay.device_server())
        Verbose(fmt::format("network round trip to the device server: {} ms, measured at connect; the reply "
                            "timeouts include it",
                            port.relay.round_trip_ms()));
    Verbose("port: " + user_port + (port.module_port != user_port ? " (driver port name " + port.module_port + ")" : ""));
    const LineValues& line = port.line;
    Verbose("line: " + DescribeLine(line) + fmt::format(" (--line {}, codes {}/{}/{}/{})", LineText(line),
                                                        line.baud_rate, line.data_bits, line.stop_bits, line.parity));
    Verbose(fmt::format("reply timeout: {} ms ({} x 10 ms; every unit's answer meets {} ms), {} attempts a request",
                        port.timeout_ms, units, port.safe_timeout_ms, 3));
    const std::string others = port.OtherOpenersNamed();
    if (!others.empty())
        ErrorLine("qdxpoll: note: " + user_port + " is also open in " + others +
                  ", which may take the units' replies");
}

void Session::DrainLeftover() {
    if (!port.relay.running()) return;
    // A short look; what comes in it is followed until the line is quiet for
    // as long as any unit's answer may take.
    const int look_ms = std::min(port.timeout_ms, 100);
    port.relay.ListenQuiet(look_ms, look_ms);
    std::vector<WireChunk> wire = port.relay.Take();
    bool came = false;
    for (const WireChunk& c : wire) came |= c.direction == Direction::kFromUnit && !c.bytes.empty();
    if (!came) return;
    port.relay.ListenQuiet(port.safe_timeout_ms, 4 * port.safe_timeout_ms);
    for (WireChunk& c : port.relay.Take()) wire.push_back(std::move(c));
    const std::string what = DescribeLeftover(wire);
    if (what.empty()) return;
    const bool one = what.rfind("a", 0) == 0 && what.find(" and ") == std::string::npos;
    ErrorLine("qdxpoll: note: " + what + " from before this run " + (one ? "was" : "were") + " still on " +
              port.user_port + ": discarded");
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

RequestResult Session::Request(RequestKind kind, Point* p, const std::string& written_text, bool listen, int bit) {
    port.relay.Take();  // bytes between requests are not this one's
    RequestResult done;
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
    x.timeout_ms = port.timeout_ms;
    x.safe_timeout_ms = port.safe_timeout_ms;
    x.driver_ok = done.outcome.ok();
    if (kind == RequestKind::kRead && x.driver_ok && p->type == kTypeFloat) {
        const CellValue v = DecodeCell(p->type, p->cell, false);
        if (!v.numeric) x.non_finite_value = v.text;
    }
    x.interrupted = Interrupted();
    x.start = done.outcome.start;
    x.end = done.outcome.end;
    x.observed = port.relay.running();
    x.refused_logged = done.outcome.refused_replies;
    x.last_log = done.outcome.last_log;
    x.unobserved_hint = TraceRelay::Available() ? kDirectHint : kWindowsHint;
    if (x.observed) x.wire = port.relay.Take();
    done.diagnosis = Diagnose(x);
    if (x.observed && listen && !x.interrupted && (!x.driver_ok || done.diagnosis.attempts > 1)) {
        port.relay.ListenQuiet(ListenAfterMs(x, done.diagnosis), 4 * std::max(port.safe_timeout_ms, ListenAfterMs(x, done.diagnosis)));
        for (WireChunk& c : port.relay.Take()) x.wire.push_back(std::move(c));
        done.diagnosis = Diagnose(x);
    }
    // Replies that vanish or come cut short with nothing wrong on the wire
    // may be taken by another reader of the device.
    const Cause c = done.diagnosis.cause;
    if (!done.ok() && (c == Cause::kSilent || c == Cause::kCutShort || c == Cause::kNoValidReply)) {
        const std::string others = port.OtherOpenersNamed();
        if (!others.empty())
            done.diagnosis.hint = port.user_port + " is also open in " + others +
                                  ", which may take the units' replies: end it, or keep it off this port; " +
                                  done.diagnosis.hint;
    }
    return done;
}

Reading Session::MakeReading(const Point& p, const RequestResult& done, bool bit_read, const char* action) const {
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
    r.summary_class = InfoOf(d.cause).summary_class;
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
    const RequestResult done = Request(bit ? RequestKind::kReadBit : RequestKind::kRead, p, "", true, bit.value_or(0));
    Reading r = MakeReading(*p, done, bit.has_value(), "read");
    const Diagnosis& d = done.diagnosis;
    // A value taken from a late answer is the unit's, but the timeout that
    // let it come late would let it meet the next request: a failure all the
    // same.
    if ((!r.ok && d.cause != Cause::kInterrupted) || d.cause == Cause::kLate) Fail(kExitNoReply, d.what, d.hint);
    return r;
}

void Session::SayFailure(const Reading& r) {
    std::fflush(stdout);
    ErrorLine("qdxpoll: " + r.error);
    if (!r.hint.empty()) ErrorLine("  hint: " + r.hint);
    if (exit_code != kExitOk && r.error == first_failure) first_failure_said = true;
}

int Session::Finish() {
    if (exit_code != kExitOk && !first_failure_said) {
        std::fflush(stdout);
        ErrorLine("qdxpoll: " + first_failure);
        if (!first_hint.empty()) ErrorLine("  hint: " + first_hint);
    }
    return exit_code;
}
