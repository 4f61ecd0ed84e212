// info, identifiers and list-ports: what qdxpoll knows without a line.
#include <fmt/format.h>

#include "base/cp437.h"
#include "base/exit_codes.h"
#include "commands/commands.h"
#include "config/line_settings.h"
#include "platform/platform.h"
#include "rexf/unit_model.h"
#include "session/session.h"

using nlohmann::json;

int RunInfo(Session& session) {
    session.Load();
    const DriverDescription& d = session.description;
    const std::string& module_path = session.module.path;
    const LineValues& l = d.default_line;
    Reporter& out = session.reporter;
    out.Text(fmt::format("Driver:       {}", d.name));
    out.Text(fmt::format("Module:       {}", module_path));
    out.Text(fmt::format("Default line: {} (--line {})", DescribeLine(l), LineText(l)));
    out.Text(fmt::format("              (codes: baud {}, data bits {}, stop bits {}, parity {})", l.baud_rate,
                         l.data_bits, l.stop_bits, l.parity));
    out.Text("Banner:" + Cp437ToUtf8(d.banner));
    out.Json({{"driver", d.name},
              {"module", module_path},
              {"banner", Cp437ToUtf8(d.banner)},
              {"default_line",
               {{"baud", l.baud_rate},
                {"data_bits", l.data_bits},
                {"stop_bits", rexf::StopBitsName(l.stop_bits)},
                {"stop_bits_code", l.stop_bits},
                {"parity", rexf::ParityName(l.parity)},
                {"parity_code", l.parity},
                {"line", LineText(l)}}}});
    static const CsvTable table({"driver", "module", "baud", "data_bits", "stop_bits", "parity"});
    out.Csv(table, {{"driver", d.name},
                    {"module", module_path},
                    {"baud", std::to_string(l.baud_rate)},
                    {"data_bits", std::to_string(l.data_bits)},
                    {"stop_bits", rexf::StopBitsName(l.stop_bits)},
                    {"parity", rexf::ParityName(l.parity)}});
    return kExitOk;
}

int RunListPorts(Session& session) {
    Reporter& out = session.reporter;
    const std::vector<SerialDevice> ports = ListSerialDevices();
    static const CsvTable table({"device", "port", "aliases", "note", "description", "usb_id", "serial_number"});
    out.CsvHeader(table);
    if (ports.empty()) out.Text("No serial devices found.");
    for (const SerialDevice& p : ports) {
        std::string usb;
        if (!p.usb_id.empty())
            usb = "   " + (p.description.empty() ? std::string("USB") : p.description) + " [" + p.usb_id + "]" +
                  (p.serial_number.empty() ? "" : " serial " + p.serial_number);
        out.Text(fmt::format("{:<16} --port {}{}{}", p.path, p.module_name, usb,
                             p.note.empty() ? "" : "   (" + p.note + ")"));
        for (const std::string& a : p.aliases) out.Text(fmt::format("    also {}", a));

        json j{{"device", p.path}, {"port", p.module_name}, {"aliases", p.aliases}};
        if (!p.note.empty()) j["note"] = p.note;
        if (!p.usb_id.empty()) {
            j["usb_id"] = p.usb_id;
            j["description"] = p.description;
            j["serial_number"] = p.serial_number;
        }
        out.Json(j);

        std::string aliases;
        for (const std::string& a : p.aliases) aliases += (aliases.empty() ? "" : " ") + a;
        out.Csv(table, {{"device", p.path},
                        {"port", p.module_name},
                        {"aliases", aliases},
                        {"note", p.note},
                        {"description", p.description},
                        {"usb_id", p.usb_id},
                        {"serial_number", p.serial_number}});
    }
    return kExitOk;
}

int RunIdentifiers(Session& session) {
    Reporter& out = session.reporter;
    auto range = [](const rexf::IdentifierModel& m) {
        return fmt::format("{:.{}f}..{:.{}f}", m.low, m.decimals, m.high, m.decimals);
    };
    out.Text(fmt::format("{:<4} {:<10} {:<16} {:<8}  {}", "id", "access", "range", "decimals", "meaning"));
    static const CsvTable table({"identifier", "access", "low", "high", "decimals", "option", "documented", "meaning"});
    out.CsvHeader(table);
    for (const rexf::IdentifierModel& m : rexf::IdentifierList()) {
        out.Text(fmt::format("{:<4} {:<10} {:<16} {:<8}  {}{}", m.ident, rexf::AccessName(m.access), range(m),
                             m.decimals, m.meaning, m.option ? "; an option, not on every unit" : ""));
        out.Json({{"identifier", m.ident},
                  {"access", rexf::AccessName(m.access)},
                  {"low", m.low},
                  {"high", m.high},
                  {"decimals", m.decimals},
                  {"option", m.option},
                  {"documented", m.documented},
                  {"meaning", m.meaning}});
        out.Csv(table, {{"identifier", m.ident},
                        {"access", rexf::AccessName(m.access)},
                        {"low", fmt::format("{}", m.low)},
                        {"high", fmt::format("{}", m.high)},
                        {"decimals", std::to_string(m.decimals)},
                        {"option", m.option ? "1" : "0"},
                        {"documented", m.documented ? "1" : "0"},
                        {"meaning", m.meaning}});
    }
    out.Text("\nRead-only identifiers answer a write with NAK; a write outside the range is refused with NAK.");
    out.Text("A unit without an identifier (or without the option behind it) answers its poll with EOT.");
    return kExitOk;
}
