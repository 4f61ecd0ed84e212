// Text, JSON-lines and CSV output.
#include "output.h"

#include <cmath>
#include <ctime>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cp437.h"

using nlohmann::json;

namespace {

struct Parts {
    std::tm tm{};
    int ms = 0;
};

Parts Split(WallClock::time_point t, bool utc) {
    const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    long long seconds = since / 1000;
    int ms = static_cast<int>(since % 1000);
    if (ms < 0) {
        ms += 1000;
        --seconds;
    }
    Parts p;
    BreakDownTime(seconds, utc, &p.tm);
    p.ms = ms;
    return p;
}

std::string CsvField(const std::string& s) {
    if (s.find_first_of(",\"\n") == std::string::npos) return s;
    std::string out = "\"";
    for (char c : s) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

json ValueJson(const CellValue& v) {
    if (!v.numeric) return v.text;
    if (v.is_integer) return v.integer;
    return v.number;
}

json ReadingJson(const Reading& r) {
    json j;
    j["time"] = IsoTime(r.time);
    if (r.cycle > 0) j["cycle"] = r.cycle;
    j["action"] = r.action;
    j["address"] = r.address;
    j["unit"] = r.unit;
    j["channel"] = r.channel;
    j["identifier"] = r.identifier;
    j["type"] = r.type;
    if (r.bit) j["bit"] = *r.bit;
    if (r.ok || r.status == "mismatch") {
        j["value"] = ValueJson(r.value);
        j["text"] = r.value.text;
    } else {
        j["value"] = nullptr;
    }
    j["status"] = r.status;
    if (!r.error.empty()) j["error"] = r.error;
    j["latency_ms"] = std::round(r.latency_ms * 10) / 10;
    return j;
}

std::string ReadingText(const Reading& r) {
    std::string where = fmt::format("{}  unit {:02d} ch {} {}", r.address, r.unit, r.channel, r.identifier);
    std::string what = r.bit ? fmt::format("bit {}", *r.bit) : r.type;
    if (r.ok && r.action == "write")
        return fmt::format("{}  {} := {}  {}  ({} ms)", where, what, r.value.text,
                           r.status == "verified" ? "written and read back" : "written", Millis(r.latency_ms));
    if (r.ok) return fmt::format("{}  {} = {}  ({} ms)", where, what, r.value.text, Millis(r.latency_ms));
    return fmt::format("{}  {}: {}", where, r.action, r.error);
}

}  // namespace

void PointStats::Add(const Reading& r, long refused_replies) {
    ++sent;
    refused += refused_replies;
    if (!r.ok) {
        ++no_reply;
        return;
    }
    if (good == 0 || r.latency_ms < min_ms) min_ms = r.latency_ms;
    if (good == 0 || r.latency_ms > max_ms) max_ms = r.latency_ms;
    ++good;
    total_ms += r.latency_ms;
}

std::string IsoTime(WallClock::time_point t) {
    const Parts p = Split(t, true);
    return fmt::format("{:04d}-{:02d}-{:02d}T{:02d}:{:02d}:{:02d}.{:03d}Z", p.tm.tm_year + 1900, p.tm.tm_mon + 1,
                       p.tm.tm_mday, p.tm.tm_hour, p.tm.tm_min, p.tm.tm_sec, p.ms);
}

std::string LocalTime(WallClock::time_point t) {
    const Parts p = Split(t, false);
    return fmt::format("{:04d}-{:02d}-{:02d} {:02d}:{:02d}:{:02d}.{:03d}", p.tm.tm_year + 1900, p.tm.tm_mon + 1,
                       p.tm.tm_mday, p.tm.tm_hour, p.tm.tm_min, p.tm.tm_sec, p.ms);
}

std::string ClockTime(WallClock::time_point t) {
    const Parts p = Split(t, false);
    return fmt::format("{:02d}:{:02d}:{:02d}.{:03d}", p.tm.tm_hour, p.tm.tm_min, p.tm.tm_sec, p.ms);
}

std::string Millis(double ms) { return fmt::format("{:.1f}", ms); }

void Reporter::Line(const std::string& s) {
    std::fputs(s.c_str(), out_);
    std::fputc('\n', out_);
    std::fflush(out_);
}

void Reporter::Text(const std::string& line) {
    if (format_ == OutputFormat::kText) Line(line);
}

void Reporter::CsvHeader() {
    if (csv_header_done_) return;
    csv_header_done_ = true;
    Line("time,cycle,action,address,unit,channel,identifier,type,bit,value,status,latency_ms,error");
}

void Reporter::Emit(const Reading& r, const std::string& text_prefix) {
    switch (format_) {
        case OutputFormat::kText:
            Line(text_prefix + ReadingText(r));
            break;
        case OutputFormat::kJson:
            Line(ReadingJson(r).dump());
            break;
        case OutputFormat::kCsv:
            CsvHeader();
            Line(fmt::format("{},{},{},{},{},{},{},{},{},{},{},{},{}", IsoTime(r.time),
                             r.cycle > 0 ? std::to_string(r.cycle) : "", r.action, CsvField(r.address),
                             r.unit, r.channel, r.identifier, r.type, r.bit ? std::to_string(*r.bit) : "",
                             (r.ok || r.status == "mismatch") ? r.value.text : "", r.status,
                             Millis(r.latency_ms), CsvField(r.error)));
            break;
    }
}

void Reporter::Cycle(const std::vector<Reading>& readings) {
    if (format_ != OutputFormat::kText) {
        for (const Reading& r : readings) Emit(r);
        return;
    }
    if (readings.empty()) return;
    std::string line = LocalTime(readings.front().time);
    for (const Reading& r : readings) {
        if (r.ok)
            line += fmt::format("  {}={} ({} ms)", r.address, r.value.text, Millis(r.latency_ms));
        else
            line += fmt::format("  {}=--- ({})", r.address, r.status == "no_reply" ? "no reply" : r.status);
    }
    Line(line);
}

void Reporter::Stats(const std::vector<PointStats>& stats, double seconds, bool interrupted) {
    if (format_ == OutputFormat::kJson) {
        for (const PointStats& s : stats) {
            json j;
            j["summary"] = true;
            j["address"] = s.address;
            j["sent"] = s.sent;
            j["good"] = s.good;
            j["no_reply"] = s.no_reply;
            j["refused"] = s.refused;
            if (s.good > 0) {
                j["latency_min_ms"] = std::round(s.min_ms * 10) / 10;
                j["latency_avg_ms"] = std::round(s.total_ms / s.good * 10) / 10;
                j["latency_max_ms"] = std::round(s.max_ms * 10) / 10;
            }
            j["seconds"] = std::round(seconds * 10) / 10;
            j["interrupted"] = interrupted;
            Line(j.dump());
        }
        return;
    }
    // Text; with CSV on standard output the table goes to standard error.
    std::FILE* out = format_ == OutputFormat::kCsv ? stderr : out_;
    std::fputs(fmt::format("\n{} after {:.1f} s{}:\n", "Statistics", seconds, interrupted ? " (interrupted)" : "")
                   .c_str(),
               out);
    std::fputs(fmt::format("  {:<10} {:>6} {:>6} {:>9} {:>8} {:>9} {:>9} {:>9}\n", "address", "sent", "good",
                           "no reply", "refused", "min ms", "avg ms", "max ms")
                   .c_str(),
               out);
    for (const PointStats& s : stats) {
        std::string lat = s.good > 0 ? fmt::format("{:>9} {:>9} {:>9}", Millis(s.min_ms),
                                                   Millis(s.total_ms / s.good), Millis(s.max_ms))
                                     : fmt::format("{:>9} {:>9} {:>9}", "-", "-", "-");
        std::fputs(fmt::format("  {:<10} {:>6} {:>6} {:>9} {:>8} {}\n", s.address, s.sent, s.good, s.no_reply,
                               s.refused, lat)
                       .c_str(),
                   out);
    }
    std::fflush(out);
}

void Reporter::Info(const DriverDescription& d, const std::string& module_path) {
    const LineValues& l = d.default_line;
    switch (format_) {
        case OutputFormat::kText:
            Line(fmt::format("Driver:       {}", d.name));
            Line(fmt::format("Module:       {}", module_path));
            Line(fmt::format("Default line: {}", DescribeLine(l)));
            Line(fmt::format("              (codes: baud {}, data bits {}, stop bits {}, parity {})", l.baud_rate,
                             l.data_bits, l.stop_bits, l.parity));
            Line("Banner:" + Cp437ToUtf8(d.banner));
            break;
        case OutputFormat::kJson: {
            json j;
            j["driver"] = d.name;
            j["module"] = module_path;
            j["banner"] = Cp437ToUtf8(d.banner);
            j["default_line"] = {{"baud", l.baud_rate},
                                 {"data_bits", l.data_bits},
                                 {"stop_bits", StopBitsName(l.stop_bits)},
                                 {"stop_bits_code", l.stop_bits},
                                 {"parity", ParityName(l.parity)},
                                 {"parity_code", l.parity}};
            Line(j.dump());
            break;
        }
        case OutputFormat::kCsv:
            Line("driver,module,baud,data_bits,stop_bits,parity");
            Line(fmt::format("{},{},{},{},{},{}", CsvField(d.name), CsvField(module_path), l.baud_rate,
                             l.data_bits, StopBitsName(l.stop_bits), ParityName(l.parity)));
            break;
    }
}

void Reporter::Ports(const std::vector<SerialDevice>& ports) {
    switch (format_) {
        case OutputFormat::kText:
            if (ports.empty()) Line("No serial devices found.");
            for (const SerialDevice& p : ports) {
                Line(fmt::format("{:<16} --port {}{}", p.path, p.module_name,
                                 p.note.empty() ? "" : "   (" + p.note + ")"));
                for (const std::string& a : p.aliases) Line(fmt::format("    also {}", a));
            }
            break;
        case OutputFormat::kJson:
            for (const SerialDevice& p : ports) {
                json j{{"device", p.path}, {"port", p.module_name}, {"aliases", p.aliases}};
                if (!p.note.empty()) j["note"] = p.note;
                Line(j.dump());
            }
            break;
        case OutputFormat::kCsv:
            Line("device,port,aliases,note");
            for (const SerialDevice& p : ports) {
                std::string aliases;
                for (const std::string& a : p.aliases) aliases += (aliases.empty() ? "" : " ") + a;
                Line(fmt::format("{},{},{},{}", CsvField(p.path), CsvField(p.module_name), CsvField(aliases),
                                 CsvField(p.note)));
            }
            break;
    }
}

void Reporter::ScanSummary(const std::string& identifier, int channel, const std::vector<int>& units,
                           int tried) {
    if (format_ == OutputFormat::kJson) {
        Line(json{{"summary", true}, {"identifier", identifier}, {"channel", channel}, {"tried", tried},
                  {"answering", units}}
                 .dump());
        return;
    }
    if (format_ != OutputFormat::kText) return;
    std::string list;
    for (int u : units) list += fmt::format(" {:02d}", u);
    Line(fmt::format("{} of {} unit addresses answer {} on channel {}{}", units.size(), tried, identifier,
                     channel, units.empty() ? "." : ":" + list));
}
