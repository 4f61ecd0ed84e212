// Text, JSON-lines and CSV output.
#include "output.h"

#include <cmath>
#include <ctime>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "cp437.h"
#include "rexf/unit_model.h"

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

}  // namespace

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
    if (r.has_value) {
        j["value"] = ValueJson(r.value);
        j["text"] = r.value.text;
    } else {
        j["value"] = nullptr;
    }
    if (!r.raw.empty()) j["raw"] = r.raw;
    j["status"] = r.status;
    if (!r.error.empty()) j["error"] = r.error;
    j["latency_ms"] = std::round(r.latency_ms * 10) / 10;
    if (r.attempts > 0) j["attempts"] = r.attempts;
    return j;
}

std::string JsonText(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json StatsJson(const PointStats& s) {
    auto latency = [](double ms) { return std::round(ms * 10) / 10; };
    json j;
    j["address"] = s.address;
    j["requests"] = s.requests;
    j["attempts"] = s.attempts;
    j["good"] = s.good;
    j["retried"] = s.retried;
    j["no_answer"] = s.no_answer;
    j["eot"] = s.eot;
    j["nak"] = s.nak;
    j["refused"] = s.refused;
    j["late"] = s.late;
    j["interrupted"] = s.interrupted;
    if (s.good > 0) {
        j["latency_min_ms"] = latency(s.min_ms);
        j["latency_avg_ms"] = latency(s.total_ms / s.good);
        j["latency_max_ms"] = latency(s.max_ms);
    }
    return j;
}

namespace {

std::string RawText(const Reading& r) { return r.raw.empty() ? "" : "  [" + r.raw + "]"; }

std::string ReadingText(const Reading& r) {
    std::string where = fmt::format("{}  unit {:02d} ch {} {}", r.address, r.unit, r.channel, r.identifier);
    std::string what = r.bit ? fmt::format("bit {}", *r.bit) : r.type;
    if (r.ok && r.action == "write")
        return fmt::format("{}  {} := {}  {}  ({} ms)", where, what, r.value.text,
                           r.status == "verified" ? "written and read back" : "written", Millis(r.latency_ms));
    if (r.ok)
        return fmt::format("{}  {} = {}{}  ({} ms{}{})", where, what, r.value.text, RawText(r), Millis(r.latency_ms),
                           r.attempts > 1 ? fmt::format(", {} attempts", r.attempts) : "",
                           r.status == "late" ? ", late" : "");
    return fmt::format("{}  {}: {}", where, r.action, r.error);
}

// Reading rows and summary rows share one table.
const char kCsvHeader[] =
    "time,cycle,action,address,unit,channel,identifier,type,bit,value,raw,status,latency_ms,attempts,error,"
    "requests,good,retried,no_answer,eot,nak,refused,late,interrupted,latency_min_ms,latency_avg_ms,"
    "latency_max_ms,seconds";

}  // namespace

void PointStats::Add(const Reading& r) {
    ++requests;
    attempts += r.attempts;
    switch (r.tally) {
        case Tally::kGood:
            ++good;
            if (r.attempts > 1) ++retried;
            if (good == 1 || r.latency_ms < min_ms) min_ms = r.latency_ms;
            if (good == 1 || r.latency_ms > max_ms) max_ms = r.latency_ms;
            total_ms += r.latency_ms;
            break;
        case Tally::kNoAnswer: ++no_answer; break;
        case Tally::kEot: ++eot; break;
        case Tally::kNak: ++nak; break;
        case Tally::kRefused: ++refused; break;
        case Tally::kLate: ++late; break;
        case Tally::kInterrupted: ++interrupted; break;
    }
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
    Line(kCsvHeader);
}

void Reporter::Emit(const Reading& r, const std::string& text_prefix) {
    switch (format_) {
        case OutputFormat::kText:
            Line(text_prefix + ReadingText(r));
            break;
        case OutputFormat::kJson:
            Line(JsonText(ReadingJson(r)));
            break;
        case OutputFormat::kCsv:
            CsvHeader();
            Line(fmt::format("{},{},{},{},{},{},{},{},{},{},{},{},{},{},{},,,,,,,,,,,,,", IsoTime(r.time),
                             r.cycle > 0 ? std::to_string(r.cycle) : "", r.action, CsvField(r.address), r.unit,
                             r.channel, r.identifier, r.type, r.bit ? std::to_string(*r.bit) : "",
                             r.has_value ? r.value.text : "", CsvField(r.raw), r.status, Millis(r.latency_ms),
                             r.attempts, CsvField(r.error)));
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
            line += fmt::format("  {}={} ({} ms{})", r.address, r.value.text, Millis(r.latency_ms),
                                r.status == "late" ? ", late" : "");
        else
            line += fmt::format("  {}=--- ({})", r.address, r.status);
    }
    Line(line);
}

void Reporter::Stats(const std::vector<PointStats>& stats, double seconds, bool interrupted) {
    const auto now = WallClock::now();
    if (format_ == OutputFormat::kJson) {
        for (const PointStats& s : stats) {
            json j = StatsJson(s);
            j["time"] = IsoTime(now);
            j["action"] = "summary";
            j["seconds"] = std::round(seconds * 10) / 10;
            j["ended_by_interrupt"] = interrupted;
            Line(j.dump());
        }
        return;
    }
    if (format_ == OutputFormat::kCsv) {
        CsvHeader();
        for (const PointStats& s : stats) {
            const bool any = s.good > 0;
            Line(fmt::format("{},,summary,{},,,,,,,,{},,{},,{},{},{},{},{},{},{},{},{},{},{},{},{:.1f}", IsoTime(now),
                             CsvField(s.address), interrupted ? "interrupted" : "ended", s.attempts, s.requests,
                             s.good, s.retried, s.no_answer, s.eot, s.nak, s.refused, s.late, s.interrupted,
                             any ? Millis(s.min_ms) : "", any ? Millis(s.total_ms / s.good) : "",
                             any ? Millis(s.max_ms) : "", seconds));
        }
        return;
    }
    Line(fmt::format("\nStatistics after {:.1f} s{} (requests; attempts = frames sent):", seconds,
                     interrupted ? ", ended by Ctrl-C" : ""));
    Line(fmt::format("  {:<8} {:>8} {:>8} {:>6} {:>7} {:>9} {:>5} {:>5} {:>7} {:>5} {:>11} {:>7} {:>7} {:>7}",
                     "address", "requests", "attempts", "good", "retried", "no answer", "EOT", "NAK", "refused",
                     "late", "interrupted", "min ms", "avg ms", "max ms"));
    for (const PointStats& s : stats) {
        const std::string lat =
            s.good > 0 ? fmt::format("{:>7} {:>7} {:>7}", Millis(s.min_ms), Millis(s.total_ms / s.good),
                                     Millis(s.max_ms))
                       : fmt::format("{:>7} {:>7} {:>7}", "-", "-", "-");
        Line(fmt::format("  {:<8} {:>8} {:>8} {:>6} {:>7} {:>9} {:>5} {:>5} {:>7} {:>5} {:>11} {}", s.address,
                         s.requests, s.attempts, s.good, s.retried, s.no_answer, s.eot, s.nak, s.refused, s.late,
                         s.interrupted, lat));
    }
}

void Reporter::Info(const DriverDescription& d, const std::string& module_path) {
    const LineValues& l = d.default_line;
    switch (format_) {
        case OutputFormat::kText:
            Line(fmt::format("Driver:       {}", d.name));
            Line(fmt::format("Module:       {}", module_path));
            Line(fmt::format("Default line: {} (--line {})", DescribeLine(l), LineText(l)));
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
                                 {"parity_code", l.parity},
                                 {"line", LineText(l)}};
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
                std::string usb;
                if (!p.usb_id.empty())
                    usb = "   " + (p.description.empty() ? std::string("USB") : p.description) + " [" + p.usb_id +
                          "]" + (p.serial_number.empty() ? "" : " serial " + p.serial_number);
                Line(fmt::format("{:<16} --port {}{}{}", p.path, p.module_name, usb,
                                 p.note.empty() ? "" : "   (" + p.note + ")"));
                for (const std::string& a : p.aliases) Line(fmt::format("    also {}", a));
            }
            break;
        case OutputFormat::kJson:
            for (const SerialDevice& p : ports) {
                json j{{"device", p.path}, {"port", p.module_name}, {"aliases", p.aliases}};
                if (!p.note.empty()) j["note"] = p.note;
                if (!p.usb_id.empty()) {
                    j["usb_id"] = p.usb_id;
                    j["description"] = p.description;
                    j["serial_number"] = p.serial_number;
                }
                Line(j.dump());
            }
            break;
        case OutputFormat::kCsv:
            Line("device,port,aliases,note,description,usb_id,serial_number");
            for (const SerialDevice& p : ports) {
                std::string aliases;
                for (const std::string& a : p.aliases) aliases += (aliases.empty() ? "" : " ") + a;
                Line(fmt::format("{},{},{},{},{},{},{}", CsvField(p.path), CsvField(p.module_name), CsvField(aliases),
                                 CsvField(p.note), CsvField(p.description), p.usb_id, CsvField(p.serial_number)));
            }
            break;
    }
}

void Reporter::Identifiers() {
    size_t count = 0;
    const rexf::IdentifierModel* models = rexf::IdentifierModels(&count);
    auto range = [](const rexf::IdentifierModel& m) {
        return fmt::format("{:.{}f}..{:.{}f}", m.low, m.decimals, m.high, m.decimals);
    };
    if (format_ == OutputFormat::kText) {
        Line(fmt::format("{:<4} {:<10} {:<16} {:<8}  {}", "id", "access", "range", "decimals", "meaning"));
        for (size_t i = 0; i < count; ++i) {
            const rexf::IdentifierModel& m = models[i];
            Line(fmt::format("{:<4} {:<10} {:<16} {:<8}  {}{}", m.ident, rexf::AccessName(m.access), range(m),
                             m.decimals, m.meaning, m.option ? "; an option, not on every unit" : ""));
        }
        Line("\nRead-only identifiers answer a write with NAK; a write outside the range is refused with NAK.");
        Line("A unit without an identifier (or without the option behind it) answers its poll with EOT.");
        return;
    }
    if (format_ == OutputFormat::kCsv) Line("identifier,access,low,high,decimals,option,documented,meaning");
    for (size_t i = 0; i < count; ++i) {
        const rexf::IdentifierModel& m = models[i];
        if (format_ == OutputFormat::kJson)
            Line(json{{"identifier", m.ident},
                      {"access", rexf::AccessName(m.access)},
                      {"low", m.low},
                      {"high", m.high},
                      {"decimals", m.decimals},
                      {"option", m.option},
                      {"documented", m.documented},
                      {"meaning", m.meaning}}
                     .dump());
        else
            Line(fmt::format("{},{},{},{},{},{},{},{}", m.ident, rexf::AccessName(m.access), m.low, m.high,
                             m.decimals, m.option ? 1 : 0, m.documented ? 1 : 0, CsvField(m.meaning)));
    }
}

void Reporter::ScanSummary(const ScanTotals& t) {
    std::string bad_list;
    for (const auto& b : t.bad) bad_list += fmt::format("{}{:02d} ({})", bad_list.empty() ? "" : ", ", b.first, b.second);
    auto units = [](const std::vector<int>& list) {
        std::string text;
        for (int u : list) text += fmt::format(" {:02d}", u);
        return text;
    };
    if (format_ == OutputFormat::kJson) {
        json bad = json::array();
        for (const auto& b : t.bad) bad.push_back({{"unit", b.first}, {"cause", b.second}});
        Line(json{{"time", IsoTime(WallClock::now())},
                  {"action", "summary"},
                  {"identifier", t.identifier},
                  {"channel", t.channel},
                  {"tried", t.tried},
                  {"answering", t.good},
                  {"answering_eot", t.eot},
                  {"answering_badly", bad},
                  {"silent", t.silent},
                  {"seconds", std::round(t.seconds * 10) / 10},
                  {"ended_by_interrupt", t.interrupted}}
                 .dump());
        return;
    }
    if (format_ == OutputFormat::kCsv) {
        CsvHeader();
        Line(fmt::format("{},,summary,,,{},{},,,,,{},,,{},{},{},,{},{},,{},,,,,,{:.1f}", IsoTime(WallClock::now()),
                         t.channel, t.identifier, t.interrupted ? "interrupted" : "ended", CsvField(bad_list),
                         t.tried, t.good.size(), t.silent, t.eot.size(), t.bad.size(), t.seconds));
        return;
    }
    Line(fmt::format("\n{} of {} unit addresses answer {} on channel {}{}", t.good.size(), t.tried, t.identifier,
                     t.channel, t.good.empty() ? "." : ":" + units(t.good)));
    if (!t.eot.empty())
        Line(fmt::format("{} answer{} EOT (the unit lacks {}, or its option):{}", t.eot.size(),
                         t.eot.size() == 1 ? "s" : "", t.identifier, units(t.eot)));
    if (!t.bad.empty())
        Line(fmt::format("{} answer{} badly: {}", t.bad.size(), t.bad.size() == 1 ? "s" : "", bad_list));
    Line(fmt::format("{} silent{}, in {:.1f} s", t.silent, t.interrupted ? " (ended by Ctrl-C)" : "", t.seconds));
}
