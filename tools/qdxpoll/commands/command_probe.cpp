// probe: the line settings a unit answers at. qdxpoll opens the port itself
// for this, without the driver, and polls at each setting in turn.
#include <algorithm>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "commands/commands.h"
#include "config/line_settings.h"
#include "platform/platform.h"
#include "port/device_server_address.h"
#include "port/port_probe.h"
#include "port/rts_direction.h"
#include "rexf/line_timing.h"
#include "rexf/unit_list.h"
#include "rexf/wire.h"
#include "session/driver_log.h"
#include "session/session.h"

namespace {

// The line settings probe tries: those given first, then 1200 to 19200 baud
// with 7E1, 7O1, 7E2, 7O2 and 8N1.
std::vector<LineValues> ProbeSettings(const Options& o, const LineValues& defaults) {
    std::vector<LineValues> list;
    auto add = [&list](const LineValues& l) {
        for (const LineValues& have : list)
            if (LineText(have) == LineText(l)) return;
        list.push_back(l);
    };
    if (!o.line.empty() || o.baud || o.data_bits || !o.parity.empty() || !o.stop_bits.empty())
        add(ResolveLine(o, defaults));
    for (uint16_t baud : {1200, 2400, 4800, 9600, 19200})
        for (const char* format : {"7E1", "7O1", "7E2", "7O2", "8N1"}) {
            rexf::LineFormat l;
            rexf::ParseLineText(std::to_string(baud) + "," + format, &l);
            add(ValuesOf(l));
        }
    return list;
}

}  // namespace

namespace {

// What one setting gave at one unit.
struct ProbeResult {
    LineValues line;
    int unit;
    Cause cause;
    std::string shown;
    size_t bytes;
};

// A raw TCP server keeps the line as it is set up: nothing to probe there.
void RefuseRawTcp(const std::string& port) {
    if (!NamesDeviceServer(port)) return;
    DeviceServerAddress address;
    std::string error;
    if (!ParseDeviceServer(port, &address, &error)) throw ToolError(kExitUsage, error);
    if (address.kind == ServerKind::kRawTcp)
        throw ToolError(kExitUsage, "probe tries line settings, which a raw TCP server keeps as it is set up: "
                                    "probe through rfc2217:" +
                                        port.substr(4) + " where the server speaks RFC 2217");
}

int ProbeTimeoutMs(const Options& o, const LineValues& l) {
    return o.timeout_ms.value_or(SafeTimeoutMs(l, rexf::kMaxIntervalTimeMs));
}

// One poll of one unit at one setting, and what came back; a port that
// cannot be opened at all ends the probe.
ProbeResult TryUnit(const Options& o, const std::string& port, const LineValues& l, int unit, const std::string& id) {
    const int timeout = TimeoutUnits(ProbeTimeoutMs(o, l)) * 10;
    const std::string poll = rexf::PollFrame(unit, o.channel, id);
    const std::vector<uint8_t> frame(poll.begin(), poll.end());
    const LineTry t = TryLineSetting(port, l, frame, 11, timeout);
    if (!t.opened) {
        if (t.port_failed) {
            const std::string hint = NamesDeviceServer(port) ? "" : PortOpenHint(port);
            throw ToolError(kExitPortUnavailable, "cannot open port " + port + " (" + (hint.empty() ? t.error : hint) + ")");
        }
        return {l, unit, Cause::kNoValidReply, "the port refused this setting: " + t.error, 0};
    }
    std::vector<uint8_t> answer;
    for (const WireChunk& c : t.wire)
        if (c.direction == Direction::kFromUnit) answer.insert(answer.end(), c.bytes.begin(), c.bytes.end());
    ProbeResult f{l, unit, ClassifyAnswer(answer, id), "", answer.size()};
    if (f.cause == Cause::kGood)
        f.shown = "answers: " + id + " [" + std::string(answer.begin() + 3, answer.begin() + 9) + "]";
    else if (f.cause == Cause::kEot)
        f.shown = "answers EOT: the line works, but the unit lacks " + id;
    else if (f.cause == Cause::kNak)
        f.shown = "answers NAK: the unit hears the frame as damaged";
    else if (f.cause == Cause::kSilent)
        f.shown = "silent";
    else
        f.shown = fmt::format("garbage: {} byte{} {}", answer.size(), answer.size() == 1 ? "" : "s", ShowSome(answer));
    return f;
}

void ShowResult(Reporter& out, const ProbeResult& f) {
    out.Text(fmt::format("  {:<10} unit {:02d}  {}", LineText(f.line), f.unit, f.shown));
    out.Json({{"action", "probe"}, {"line", LineText(f.line)}, {"unit", f.unit}, {"result", CauseCode(f.cause)},
              {"bytes", f.bytes}});
    static const CsvTable table({"line", "unit", "result", "bytes"});
    out.Csv(table, {{"line", LineText(f.line)},
                    {"unit", std::to_string(f.unit)},
                    {"result", CauseCode(f.cause)},
                    {"bytes", std::to_string(f.bytes)}});
}

// The settings a unit understood, the fastest of them (most characters a
// second) to use, and those that gave garbage; or why none did.
void Conclude(Session& session, const std::vector<ProbeResult>& found, const std::string& port, const std::string& id,
              size_t units, const std::string& unit_text, const LineValues& recommended, bool given) {
    const ProbeResult* best = nullptr;
    std::string working, garbage;
    std::vector<uint32_t> bauds_understood;
    auto rate = [](const LineValues& l) { return l.baud_rate / rexf::CharacterBits(FormatOf(l)); };
    for (const ProbeResult& f : found) {
        const bool understood = f.cause == Cause::kGood || f.cause == Cause::kEot || f.cause == Cause::kNak;
        const bool noise = !understood && f.cause != Cause::kSilent && f.cause != Cause::kNoValidReply;
        if (understood && std::find(bauds_understood.begin(), bauds_understood.end(), f.line.baud_rate) ==
                              bauds_understood.end())
            bauds_understood.push_back(f.line.baud_rate);
        if (understood) {
            working += (working.empty() ? "" : " ") + LineText(f.line);
            if (best == nullptr || rate(f.line) > rate(best->line) ||
                (rate(f.line) == rate(best->line) && f.cause == Cause::kGood && best->cause != Cause::kGood))
                best = &f;
        }
        if (noise) garbage += (garbage.empty() ? "" : " ") + LineText(f.line);
    }
    // A unit at one baud rate gives garbage at another: a link that is
    // understood at several (a pseudo-terminal, a converter that takes any
    // line setting) tells probe nothing about the unit's.
    const bool unchecked = bauds_understood.size() > 1 && !Interrupted();
    if (unchecked) best = nullptr;
    session.reporter.Json({{"time", IsoTime(WallClock::now())},
                           {"action", "summary"},
                           {"answering", working},
                           {"garbage", garbage},
                           {"link_checks_settings", !unchecked},
                           {"use", best ? LineText(best->line) : unchecked ? LineText(recommended) : ""}});
    if (unchecked) {
        session.reporter.Text(fmt::format(
            "\nSettings at {} baud rates answer: this link does not check line settings (a pseudo-terminal, or a "
            "converter that takes any), so probe cannot find the unit's. Use {}: {}.",
            bauds_understood.size(),
            given ? "the setting given" : "the driver's default, which qdxpoll uses without --line",
            LineText(recommended)));
        session.reporter.Text(fmt::format("Use: qdxpoll --port {} --line {} read {:02d}K{}{}", port,
                                          LineText(recommended), found.front().unit, session.options.channel, id));
        ErrorLine("qdxpoll: note: the unit answers at several baud rates: the link does not check line settings");
    } else if (best != nullptr) {
        session.reporter.Text("\nAnswering at: " + working);
        session.reporter.Text(fmt::format("Use: qdxpoll --port {} --line {} read {:02d}K{}{}", port,
                                          LineText(best->line), best->unit, session.options.channel, id));
    } else if (Interrupted()) {
        session.Fail(kExitInterrupted, "interrupted: the probe ended early", "the port is closed");
    } else if (!garbage.empty()) {
        session.Fail(kExitNoReply, "no setting tried gives a valid answer, but these give garbage: " + garbage,
                     "a unit is on the line at one of these speeds: try other formats with --line, and check the "
                     "unit's communication settings");
    } else {
        session.Fail(kExitNoReply,
                     fmt::format("nothing answers {} at unit{} {} at any setting tried", id, units == 1 ? "" : "s",
                                 unit_text),
                     "check the unit address, the wiring and its termination; on RS-485 the adapter must release the "
                     "line after sending");
    }
}

}  // namespace

int RunProbe(Session& session) {
    Options& o = session.options;
    const std::string port = session.RequirePort();
    RefuseRawTcp(port);
    if (o.rts) AskRtsDirection(true);
    const std::string id = o.identifier.empty() ? "M1" : o.identifier;
    std::vector<int> units;
    std::string why;
    if (!rexf::ParseUnitList(o.units.empty() ? "1" : o.units, &units, &why))
        throw ToolError(kExitUsage, "--units: " + why);
    if (id.size() != 2) throw ToolError(kExitUsage, "the identifier has two characters, such as M1");
    const LineValues defaults{9600, 7, 2, 1};
    const std::vector<LineValues> settings = ProbeSettings(o, defaults);
    double worst_ms = 0;
    for (const LineValues& l : settings) worst_ms += units.size() * static_cast<double>(ProbeTimeoutMs(o, l));
    std::string unit_text;
    for (int u : units) unit_text += fmt::format("{}{:02d}", unit_text.empty() ? "" : " ", u);
    ErrorLine(fmt::format("Probing {} for unit{} {} ({} on channel {}): {} line settings, up to {:.1f} s", port,
                          units.size() == 1 ? "" : "s", unit_text, id, o.channel, settings.size(),
                          worst_ms / 1000.0));
    std::vector<ProbeResult> found;
    for (const LineValues& l : settings) {
        for (int unit : units) {
            if (Interrupted()) break;
            found.push_back(TryUnit(o, port, l, unit, id));
            ShowResult(session.reporter, found.back());
        }
        if (Interrupted()) break;
    }
    const bool given = !o.line.empty() || o.baud || o.data_bits || !o.parity.empty() || !o.stop_bits.empty();
    Conclude(session, found, port, id, units.size(), unit_text, given ? settings.front() : defaults,
             given);
    return session.Finish();
}
