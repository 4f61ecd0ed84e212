// scan: which unit addresses answer an identifier, and how.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "base/exit_codes.h"
#include "base/times.h"
#include "commands/commands.h"
#include "config/line_config.h"
#include "config/line_settings.h"
#include "platform/platform.h"
#include "rexf/line_timing.h"
#include "rexf/point_address.h"
#include "rexf/toml_text.h"
#include "rexf/unit_list.h"
#include "rexf/unit_model.h"
#include "rexf/wire.h"
#include "session/driver_log.h"
#include "session/session.h"

// The quiet a confirmation waits for at least: the end of the hit's answer.
constexpr int kShortestPauseMs = 30;

// What a scan found.
struct ScanTotals {
    std::string bad_hint;  // the next step for the first address that answers badly
    std::string identifier;
    int channel = 1;
    int tried = 0;
    std::vector<int> good;
    std::vector<int> eot;                          // answer EOT: no such identifier
    std::vector<std::pair<int, std::string>> bad;  // answer badly, and how
    int silent = 0;
    bool interrupted = false;
    double seconds = 0;
    size_t tried_points = 0;  // the addresses the scan meant to try
};

namespace {

// An address that answers badly: the cause in a few words.
std::string ScanWords(const Diagnosis& d) {
    const CauseInfo& info = InfoOf(d.cause);
    if (*info.scan_words == '\0') return info.code;
    return fmt::format(fmt::runtime(info.scan_words), d.late_ms);
}

std::string BadList(const ScanTotals& t) {
    std::string list;
    for (const auto& b : t.bad) list += fmt::format("{}{:02d} ({})", list.empty() ? "" : ", ", b.first, b.second);
    return list;
}

void Summary(Reporter& out, const ScanTotals& t) {
    auto units = [](const std::vector<int>& list) {
        std::string text;
        for (int u : list) text += fmt::format(" {:02d}", u);
        return text;
    };
    const auto now = WallClock::now();
    nlohmann::json bad = nlohmann::json::array();
    for (const auto& b : t.bad) bad.push_back({{"unit", b.first}, {"cause", b.second}});
    out.Json({{"time", IsoTime(now)},
              {"action", "summary"},
              {"identifier", t.identifier},
              {"channel", t.channel},
              {"tried", t.tried},
              {"answering", t.good},
              {"answering_eot", t.eot},
              {"answering_badly", bad},
              {"silent", t.silent},
              {"seconds", std::round(t.seconds * 10) / 10},
              {"ended_by_interrupt", t.interrupted}});
    // A row of the readings' table: the counts in the summary's columns.
    out.Csv(ReadingsTable(), {{"time", IsoTime(now)},
                              {"action", "summary"},
                              {"channel", std::to_string(t.channel)},
                              {"identifier", t.identifier},
                              {"status", t.interrupted ? "interrupted" : "ended"},
                              {"error", BadList(t)},
                              {"requests", std::to_string(t.tried)},
                              {"good", std::to_string(t.good.size())},
                              {"no_answer", std::to_string(t.silent)},
                              {"eot", std::to_string(t.eot.size())},
                              {"refused", std::to_string(t.bad.size())},
                              {"seconds", fmt::format("{:.1f}", t.seconds)}});
    out.Text(fmt::format("\n{} of {} unit addresses answer {} on channel {}{}", t.good.size(), t.tried, t.identifier,
                         t.channel, t.good.empty() ? "." : ":" + units(t.good)));
    if (!t.eot.empty())
        out.Text(fmt::format("{} answer{} EOT (the unit lacks {}, or its option):{}", t.eot.size(),
                             t.eot.size() == 1 ? "s" : "", t.identifier, units(t.eot)));
    if (!t.bad.empty())
        out.Text(fmt::format("{} answer{} badly: {}", t.bad.size(), t.bad.size() == 1 ? "s" : "", BadList(t)));
    out.Text(fmt::format("{} silent{}, in {:.1f} s", t.silent, t.interrupted ? " (ended by Ctrl-C)" : "", t.seconds));
}

}  // namespace

void AddScanOptions(CLI::App* scan, Options* o) {
    scan->add_option("IDENTIFIER", o->identifier, "Parameter identifier, e.g. M1")->required();
    scan->add_option("-c,--channel", o->channel, "Channel 0..8")->check(CLI::Range(0, 8))->capture_default_str();
    scan->add_option("--units", o->units, "Unit addresses to try, e.g. 0-99 or 1,3,5-9 (default 0-99)");
    AddTypeOption(scan, o);
}

ScanTotals ScanUnits(Session& session, const std::string& id, int channel) {
    std::vector<int> units;
    std::string why;
    if (!rexf::ParseUnitList(session.options.units.empty() ? "0-99" : session.options.units, &units, &why))
        throw ToolError(kExitUsage, "--units: " + why);
    session.Load();
    session.OpenPort(session.RequirePort(), rexf::kFactoryIntervalTimeMs);
    // The driver checks the identifier when it parses the first address.
    PointList points;
    for (int unit : units) {
        const std::string address = fmt::format("{:02d}K{}{}", unit, channel, id);
        try {
            points.push_back(session.ParsePoint(address, session.Type()));
        } catch (const ToolError&) {
            throw ToolError(kExitBadAddress, "invalid identifier \"" + id + "\" (the driver refuses " + address +
                                                 "); identifiers are two characters such as M1, S1, SL "
                                                 "('qdxpoll identifiers' lists them)");
        }
    }
    const int quick = session.timeout_ms, generous = std::max(session.safe_timeout_ms, session.timeout_ms);
    // Watching the wire, qdxpoll polls each address once itself; without a
    // view of the wire the driver does, with its three attempts.
    const bool raw = session.relay.running();
    ErrorLine(fmt::format("Scanning {} unit address{} for {} on channel {} at a {} ms reply timeout: up to {:.1f} s "
                          "when none answers ({} each); every hit is confirmed at {} ms after a quiet pause",
                          units.size(), units.size() == 1 ? "" : "es", id, channel, quick,
                          units.size() * (raw ? 1.0 : 3.0) * quick / 1000.0, raw ? "one poll" : "3 attempts",
                          generous));
    const bool progress = StderrIsTerminal();
    const auto start = std::chrono::steady_clock::now();
    ScanTotals totals;
    std::string& bad_hint = totals.bad_hint;
    totals.identifier = id;
    totals.channel = channel;
    auto clear_progress = [&] {
        if (progress) std::fprintf(stderr, "\r%*s\r", 60, "");
    };
    // Confirms a hit through the driver, as a host meets the unit: after a
    // quiet pause, a read at the generous timeout. A late answer from an
    // address polled before is met by no confirming read.
    auto confirm = [&](Point* p, int quiet_ms) {
        session.relay.ListenQuiet(quiet_ms, 4 * generous);
        session.driver->SetReplyTimeout(session.module_port, TimeoutUnits(generous));
        const int saved = session.timeout_ms;
        session.timeout_ms = generous;
        Done c = session.Request(RequestKind::kRead, p);
        session.timeout_ms = saved;
        session.driver->SetReplyTimeout(session.module_port, TimeoutUnits(quick));
        return c;
    };
    std::vector<bool> settled(points.size(), false);  // found answering (well, EOT or badly)
    auto record = [&](size_t i, const Done& c) {
        Point* p = points[i].get();
        const Diagnosis& d = c.diagnosis;
        if (d.cause == Cause::kGood) {
            totals.good.push_back(p->unit());
        } else if (d.cause == Cause::kEot) {
            totals.eot.push_back(p->unit());
        } else if (d.cause == Cause::kSilent || d.cause == Cause::kNoValidReply) {
            return false;
        } else {
            totals.bad.emplace_back(p->unit(), ScanWords(d));
            if (bad_hint.empty()) bad_hint = d.hint;
        }
        settled[i] = true;
        clear_progress();
        Reading r = session.MakeReading(*p, c, false, "read");
        if (d.cause == Cause::kEot) r.error = "answers EOT: the unit lacks " + p->identifier() + ", or its option";
        session.reporter.Emit(r);
        return true;
    };
    // When the addresses were polled, for answers that came too late to be
    // told apart.
    std::vector<SteadyClock::time_point> polled(points.size());
    // An answer that belongs to no confirmed address came at `when`: it is a
    // late one from an address polled before, which is looked for among the
    // unsettled ones polled shortly before it (latest first) and confirmed.
    auto trace_late_answer = [&](size_t upto, SteadyClock::time_point when) {
        const auto window = std::chrono::milliseconds(4 * generous);
        for (size_t j = upto; j-- > 0;) {
            if (when - polled[j] > window) break;
            if (settled[j] || Interrupted()) continue;
            const Done b = confirm(points[j].get(), generous);
            if (record(j, b)) return;
        }
    };
    auto first_from_unit = [](const std::vector<WireChunk>& wire, SteadyClock::time_point* when) {
        for (const WireChunk& c : wire)
            if (c.direction == Direction::kFromUnit && !c.bytes.empty()) {
                *when = c.time;
                return true;
            }
        return false;
    };
    for (size_t i = 0; i < points.size(); ++i) {
        Point* p = points[i].get();
        if (Interrupted()) break;
        if (progress)
            std::fprintf(stderr, "\rscanning unit %02d (%zu of %zu), %zu answered ", p->unit(), i + 1, points.size(),
                         totals.good.size());
        polled[i] = SteadyClock::now();
        bool hit = false;
        SteadyClock::time_point answered = polled[i];
        if (raw) {
            const auto wire = session.relay.Poll(rexf::PollFrame(p->unit(), channel, id), rexf::kReplyBytes, quick);
            hit = first_from_unit(wire, &answered);
        } else {
            const Done first = session.Request(RequestKind::kRead, p, "", false);
            if (first.diagnosis.cause == Cause::kInterrupted) break;
            hit = first.diagnosis.cause != Cause::kSilent &&
                  !(first.diagnosis.cause == Cause::kNoValidReply && !first.outcome.ok());
        }
        ++totals.tried;
        if (Interrupted()) break;
        if (!hit) continue;
        // A late answer to an earlier poll comes at the latest the generous
        // timeout after the poll before this one: the pause lasts until then.
        const int since_before =
            i == 0 ? generous
                   : static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() -
                                                                                           polled[i - 1])
                                          .count());
        const Done c = confirm(p, std::max(kShortestPauseMs, generous - since_before));
        if (c.diagnosis.cause == Cause::kInterrupted) break;
        if (!record(i, c)) trace_late_answer(i, answered);
    }
    // An answer still on its way after the last poll.
    if (raw && !Interrupted() && totals.tried > 0) {
        session.relay.ListenQuiet(generous, 4 * generous);
        SteadyClock::time_point when;
        if (first_from_unit(session.relay.Take(), &when)) trace_late_answer(totals.tried, when);
    }
    totals.silent = totals.tried - static_cast<int>(totals.good.size() + totals.eot.size() + totals.bad.size());
    clear_progress();
    totals.interrupted = Interrupted();
    totals.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    totals.tried_points = points.size();
    return totals;
}

int RunScan(Session& session) {
    const std::string& id = session.options.identifier;
    const int channel = session.options.channel;
    const ScanTotals totals = ScanUnits(session, id, channel);
    const std::string& bad_hint = totals.bad_hint;
    const int quick = session.timeout_ms;
    Summary(session.reporter, totals);
    const std::string bad_list = BadList(totals);
    const std::string tried = fmt::format("{} addresses at {} ms", totals.tried, quick);
    if (totals.interrupted)
        session.Fail(kExitInterrupted, fmt::format("interrupted: the scan ended after {} of {} addresses", totals.tried,
                                               totals.tried_points),
                 "the port is closed");
    else if (totals.good.empty() && !totals.bad.empty())
        session.Fail(kExitNoReply,
                 fmt::format("no unit answers {} properly on channel {}, but {} address{} answer{} badly: {}", id,
                             channel, totals.bad.size(), totals.bad.size() == 1 ? "" : "es",
                             totals.bad.size() == 1 ? "s" : "", bad_list),
                 "units are there, but their answers fail; " + bad_hint);
    else if (!totals.bad.empty())
        session.Fail(kExitNoReply, fmt::format("{} address{} answer{} {} badly: {}", totals.bad.size(),
                                           totals.bad.size() == 1 ? "" : "es", totals.bad.size() == 1 ? "s" : "", id,
                                           bad_list),
                 bad_hint);
    else if (totals.good.empty() && !totals.eot.empty())
        session.Fail(kExitNoReply,
                 fmt::format("no unit has {} on channel {}: {} answer EOT", id, channel, totals.eot.size()),
                 "the units are there: scan an identifier every unit has, such as M1");
    else if (totals.good.empty())
        session.Fail(kExitNoReply, fmt::format("no unit answers {} on channel {} ({})", id, channel, tried),
                 "check the line settings ('qdxpoll probe'), the channel, the wiring and its termination");
    return session.Finish();
}

// init: a scan of the line written as a commented configuration file (a
// line in one file, read back with --config).
void AddInitOptions(CLI::App* init, Options* o) {
    init->add_option("-o,--output", o->output_file, "The file to write (default line.toml)");
    init->add_flag("--force", o->force, "Overwrite the file if it exists");
    init->add_option("-c,--channel", o->channel, "Channel 0..8 to scan")->check(CLI::Range(0, 8))->capture_default_str();
    init->add_option("--units", o->units, "Unit addresses to try, e.g. 0-99 or 1,3,5-9 (default 0-99)");
}

namespace {

// One [[point]] of the file.
std::string PointToml(const std::string& address, bool first) {
    const rexf::PointAddress parts = *rexf::PointAddress::Of(address);
    const std::string ident = parts.identifier();
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(ident);
    std::string meaning = m != nullptr ? m->meaning : ident;
    meaning = meaning.substr(0, meaning.find(','));  // "measured value (PV)"
    const std::string unit = DefaultEngineeringUnit(ident);
    std::string text = "[[point]]\n";
    if (first) text += "# The six-character address: unit 00-99, K, channel 0-8, identifier ('qdxpoll identifiers').\n";
    text += "address = " + rexf::TomlString(address) + "\n";
    if (first) text += "# A name for people: the page, the history and MQTT show it.\n";
    text += "name = " + rexf::TomlString(fmt::format("Unit {} channel {} {}", parts.unit_text(), parts.channel_digit(), meaning)) +
            "\n";
    if (first)
        text += "# The engineering unit: \"°C\", \"°F\", \"%\", \"A\", \"s\", ... (default: what the unit model "
                "knows of the identifier).\n";
    text += "unit = " + rexf::TomlString(unit) + "\n";
    if (first) {
        text += "# The data type, as --type: u16 s16 bcd float s32 u32 state (default float).\n";
        text += "# type = \"float\"\n";
        text += "# Shown value = scale * the unit's value + offset (default 1 and 0).\n";
        text += "# scale = 1.0\n# offset = 0.0\n";
        text += "# true: 'watch --allow-writes' (and MQTT) may write it; once any point is writable, only\n"
                "# the writable points may be written (default false).\n";
    }
    text += std::string("writable = false\n\n");
    return text;
}

}  // namespace

int RunInit(Session& session) {
    Options& o = session.options;
    const std::string path = o.output_file.empty() ? "line.toml" : o.output_file;
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored) && !o.force)
        throw ToolError(kExitUsage, path + " exists: init does not overwrite it without --force");
    const int channel = o.channel;
    const ScanTotals totals = ScanUnits(session, "M1", channel);
    if (totals.interrupted) throw ToolError(kExitInterrupted, "interrupted: nothing written");
    if (totals.good.empty()) {
        session.Fail(kExitNoReply, fmt::format("no unit answers M1 on channel {}: nothing written", channel),
                     "check the line settings ('qdxpoll probe'), the channel, the wiring and its termination");
        return session.Finish();
    }
    // Which of S1 and O1 each unit has: one read each, at the timeout every
    // answer meets.
    const int generous = std::max(session.safe_timeout_ms, session.timeout_ms);
    session.driver->SetReplyTimeout(session.module_port, TimeoutUnits(generous));
    session.timeout_ms = generous;
    std::vector<std::string> addresses;
    for (int unit : totals.good) {
        addresses.push_back(fmt::format("{:02d}K{}M1", unit, channel));
        for (const char* ident : {"S1", "O1"}) {
            const std::string a = fmt::format("{:02d}K{}{}", unit, channel, ident);
            auto p = session.ParsePoint(a, kTypeFloat);
            if (session.Request(RequestKind::kRead, p.get()).ok()) addresses.push_back(a);
        }
    }
    std::string text;
    text += "# A line in one file: qdxpoll --config " + path + " COMMAND\n";
    std::string found;
    for (int unit : totals.good) found += fmt::format("{}{:02d}", found.empty() ? "" : ", ", unit);
    text += fmt::format("# Written by 'qdxpoll init' at {} from a scan of channel {}: unit{} {} answered M1.\n",
                        IsoTime(WallClock::now()).substr(0, 19) + "Z", channel, totals.good.size() == 1 ? "" : "s",
                        found);
    text += "# Options given on the command line override what this file says.\n\n";
    text += "[line]\n";
    text += "# A name for the line: the history and the MQTT topics use it.\n";
    text += "name = \"line1\"\n";
    text += "# The serial port: a device (/dev/ttyUSB0, COM3), or better a /dev/serial/by-id/ path,\n"
            "# which stays the same whichever socket the adapter is in.\n";
    text += "port = " + rexf::TomlString(o.port) + "\n";
    text += "# Line settings as BAUD,DPS (data bits, parity N/O/E/M/S, stop bits), as --line; or the keys\n"
            "# baud, data_bits, parity (\"none\", \"odd\", ...) and stop_bits instead.\n";
    text += "settings = " + rexf::TomlString(LineText(session.line)) + "\n";
    text += "# The reply timeout in ms, as --timeout (default: the one every unit's answer meets).\n";
    // Not the scan's own timeout, which may be a quick one: the one every
    // answer meets at these line settings.
    text += fmt::format("# timeout_ms = {}\n", session.safe_timeout_ms);
    text += "# Seconds between poll cycles, as --interval.\n";
    text += fmt::format("interval_s = {:.1f}\n", o.interval_s);
    text += "# The database file that keeps the history (qdxpoll log, watch --db).\n";
    text += "# database = \"line1.db\"\n";
    text += "# Address and port of the page of 'qdxpoll watch', as --listen and --http\n"
            "# (\"0.0.0.0:8080\": every network the machine is on).\n";
    text += "listen = \"127.0.0.1:8080\"\n\n";
    text += "# The points polled, one [[point]] each: without addresses on the command line, read,\n"
            "# poll and watch take these.\n";
    bool first = true;
    for (const std::string& a : addresses) {
        text += PointToml(a, first);
        first = false;
    }
    text += "# Publishing to an MQTT broker (qdxpoll mqtt): remove the '# ' to use it.\n";
    text += "# [mqtt]\n";
    text += "# broker = \"mqtt://127.0.0.1:1883\"   # or mqtts://HOST:8883 with tls_ca\n";
    text += "# prefix = \"qdxtlmv\"                 # topics: PREFIX/LINE/UNIT/CHANNEL/ID\n";
    text += "# client_id = \"qdxpoll-line1\"\n";
    text += "# username = \"\"\n# password = \"\"\n";
    text += "# tls_ca = \"ca.pem\"                  # the CA certificate file for mqtts://\n";
    text += "# publish = \"every\"                  # every cycle, or \"change\"\n";
    text += "# deadband = 0.0                     # publish = \"change\": the least change published\n";
    text += "# max_interval_s = 60                # publish at least this often\n";
    text += "# discovery = \"homeassistant\"        # or \"\": no discovery messages\n";
    // The file must read back.
    LineConfig check;
    LineConfigError error;
    if (!ParseLineConfig(text, path, &check, &error))
        throw ToolError(kExitInternal, "init wrote a file that does not read back: " + error.Message());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out || !out.write(text.data(), static_cast<std::streamsize>(text.size())) || !out.flush())
        throw ToolError(kExitSettingsFileUnreadable, "cannot write " + path);
    ErrorLine(fmt::format("Wrote {}: {} unit{}, {} points. Try: qdxpoll --config {} poll", path, totals.good.size(),
                          totals.good.size() == 1 ? "" : "s", addresses.size(), path));
    return session.Finish();
}
