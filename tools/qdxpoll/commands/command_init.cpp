// init: a scan of the line written as a commented configuration file (a
// line in one file, read back with --config).
#include <algorithm>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

#include "base/exit_codes.h"
#include "base/times.h"
#include "commands/commands.h"
#include "commands/scan_units.h"
#include "config/line_file.h"
#include "config/line_settings.h"
#include "rexf/point_address.h"
#include "rexf/toml_text.h"
#include "rexf/unit_model.h"
#include "session/driver_log.h"
#include "session/session.h"

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

// Which of S1 and O1 each unit found has besides M1: one read each, at
// the timeout every answer meets.
std::vector<std::string> InitAddresses(Session& session, const std::vector<int>& units, int channel) {
    const int generous = std::max(session.port.safe_timeout_ms, session.port.timeout_ms);
    session.port.UseReplyTimeout(generous);
    std::vector<std::string> addresses;
    for (int unit : units) {
        addresses.push_back(fmt::format("{:02d}K{}M1", unit, channel));
        for (const char* ident : {"S1", "O1"}) {
            const std::string a = fmt::format("{:02d}K{}{}", unit, channel, ident);
            auto p = session.ParsePoint(a, kTypeFloat);
            if (session.Request(RequestKind::kRead, p.get()).ok()) addresses.push_back(a);
        }
    }
    return addresses;
}

// The [line] table, with a comment for every key.
std::string LineTable(const Session& session, const std::string& path, const std::vector<int>& units, int channel) {
    const Options& o = session.options;
    std::string text;
    text += "# A line in one file: qdxpoll --config " + path + " COMMAND\n";
    std::string found;
    for (int unit : units) found += fmt::format("{}{:02d}", found.empty() ? "" : ", ", unit);
    text += fmt::format("# Written by 'qdxpoll init' at {} from a scan of channel {}: unit{} {} answered M1.\n",
                        IsoTime(WallClock::now()).substr(0, 19) + "Z", channel, units.size() == 1 ? "" : "s", found);
    text += "# Options given on the command line override what this file says.\n\n";
    text += "[line]\n";
    text += "# A name for the line: the history and the MQTT topics use it.\n";
    text += "name = \"line1\"\n";
    text += "# The serial port: a device (/dev/ttyUSB0, COM3), or better a /dev/serial/by-id/ path,\n"
            "# which stays the same whichever socket the adapter is in.\n";
    text += "port = " + rexf::TomlString(o.port) + "\n";
    text += "# Line settings as BAUD,DPS (data bits, parity N/O/E/M/S, stop bits), as --line; or the keys\n"
            "# baud, data_bits, parity (\"none\", \"odd\", ...) and stop_bits instead.\n";
    text += "settings = " + rexf::TomlString(LineText(session.port.line)) + "\n";
    text += "# The reply timeout in ms, as --timeout (default: the one every unit's answer meets).\n";
    // Not the scan's own timeout, which may be a quick one: the one every
    // answer meets at these line settings.
    text += fmt::format("# timeout_ms = {}\n", session.port.safe_timeout_ms);
    text += "# Seconds between poll cycles, as --interval.\n";
    text += fmt::format("interval_s = {:.1f}\n", o.interval_s);
    text += "# The database file that keeps the history (qdxpoll log, watch --db).\n";
    text += "# database = \"line1.db\"\n";
    text += "# Address and port of the page of 'qdxpoll watch', as --listen and --http\n"
            "# (\"0.0.0.0:8080\": every network the machine is on).\n";
    text += "listen = \"127.0.0.1:8080\"\n\n";
    return text;
}

// The commented [mqtt] table, to be taken in by removing the '# '.
std::string MqttTable() {
    std::string text;
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
    return text;
}

}  // namespace

int RunInit(Session& session) {
    Options& o = session.options;
    const std::string path = o.output_file.empty() ? "line.toml" : o.output_file;
    std::error_code ignored;
    if (std::filesystem::exists(path, ignored) && !o.force)
        throw ToolError(kExitUsage, path + " exists: init does not overwrite it without --force",
                        "add --force to replace it, or name another file");
    const int channel = o.channel;
    const ScanTotals totals = ScanUnits(session, "M1", channel);
    if (totals.interrupted) throw ToolError(kExitInterrupted, "interrupted: nothing written");
    if (totals.good.empty()) {
        session.Fail(kExitNoReply, fmt::format("no unit answers M1 on channel {}: nothing written", channel),
                     "check the line settings ('qdxpoll probe'), the channel, the wiring and its termination");
        return session.Finish();
    }
    const std::vector<std::string> addresses = InitAddresses(session, totals.good, channel);
    std::string text = LineTable(session, path, totals.good, channel);
    text += "# The points polled, one [[point]] each: without addresses on the command line, read,\n"
            "# poll and watch take these.\n";
    bool first = true;
    for (const std::string& a : addresses) {
        text += PointToml(a, first);
        first = false;
    }
    text += MqttTable();
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
