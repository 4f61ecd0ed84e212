#include "config/line_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include <toml++/toml.h>

#include "base/did_you_mean.h"
#include "base/host_port.h"
#include "config/options.h"
#include "rexf/line_format.h"
#include "rexf/point_address.h"
#include "rexf/text_file.h"
#include "rexf/toml_guard.h"
#include "rexf/unit_model.h"

namespace {

constexpr size_t kMaxFileBytes = 1 << 20;

const std::vector<std::string> kTypes = {"u16", "s16", "bcd", "float", "s32", "u32", "state"};

struct Failure {
    int line, column;
    std::string what, hint;
};

[[noreturn]] void Fail(const toml::source_region& where, const std::string& what, const std::string& hint = "") {
    throw Failure{static_cast<int>(where.begin.line), static_cast<int>(where.begin.column), what, hint};
}

std::string TypeNameOf(const toml::node& node) {
    switch (node.type()) {
        case toml::node_type::string: return "a string";
        case toml::node_type::integer: return "an integer";
        case toml::node_type::floating_point: return "a number";
        case toml::node_type::boolean: return "true or false";
        case toml::node_type::table: return "a table";
        case toml::node_type::array: return "an array";
        default: return "a date or time";
    }
}

// Every key of a table must be one of `keys`: a typo is an error, with the
// nearest key as a hint.
void OnlyKeys(const toml::table& table, const std::string& where, const std::vector<std::string>& keys) {
    for (const auto& [key, node] : table) {
        const std::string k(key.str());
        if (std::find(keys.begin(), keys.end(), k) != keys.end()) continue;
        const std::string near = Nearest(k, keys);
        std::string known;
        for (const std::string& n : keys) known += (known.empty() ? "" : ", ") + n;
        Fail(key.source(), "unknown key '" + k + "' in " + where,
             near.empty() ? "the keys of " + where + " are " + known : "Did you mean '" + near + "'?");
    }
}

std::string GetString(const toml::table& t, const char* key, const std::string& fallback = "") {
    const toml::node* n = t.get(key);
    if (n == nullptr) return fallback;
    if (!n->is_string()) Fail(n->source(), std::string("'") + key + "' must be a string, not " + TypeNameOf(*n));
    return n->as_string()->get();
}

std::optional<double> GetNumber(const toml::table& t, const char* key, double low, double high) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return std::nullopt;
    double v = 0;
    if (n->is_integer()) v = static_cast<double>(n->as_integer()->get());
    else if (n->is_floating_point()) v = n->as_floating_point()->get();
    else Fail(n->source(), std::string("'") + key + "' must be a number, not " + TypeNameOf(*n));
    if (!std::isfinite(v) || v < low || v > high) {
        char text[160];
        std::snprintf(text, sizeof text, "'%s' must lie within %g..%g", key, low, high);
        Fail(n->source(), text);
    }
    return v;
}

std::optional<int> GetInteger(const toml::table& t, const char* key, int low, int high) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return std::nullopt;
    if (!n->is_integer()) Fail(n->source(), std::string("'") + key + "' must be an integer, not " + TypeNameOf(*n));
    const int64_t v = n->as_integer()->get();
    if (v < low || v > high)
        Fail(n->source(), std::string("'") + key + "' must lie within " + std::to_string(low) + ".." +
                              std::to_string(high));
    return static_cast<int>(v);
}

bool GetBool(const toml::table& t, const char* key, bool fallback) {
    const toml::node* n = t.get(key);
    if (n == nullptr) return fallback;
    if (!n->is_boolean()) Fail(n->source(), std::string("'") + key + "' must be true or false, not " + TypeNameOf(*n));
    return n->as_boolean()->get();
}

// One of a few words; the nearest as a hint.
std::string GetWord(const toml::table& t, const char* key, const std::vector<std::string>& words,
                    const std::string& fallback = "") {
    const std::string v = GetString(t, key, fallback);
    if (t.get(key) == nullptr || std::find(words.begin(), words.end(), v) != words.end()) return v;
    std::string list;
    for (const std::string& w : words) list += (list.empty() ? "\"" : ", \"") + w + "\"";
    const std::string near = Nearest(v, words);
    Fail(t.get(key)->source(), "'" + std::string(key) + "' is \"" + v + "\": it must be one of " + list,
         near.empty() ? "" : "Did you mean \"" + near + "\"?");
}

// "HOST:PORT", "[::1]:PORT" or "HOST".
void ReadListen(const toml::table& t, LineConfig* c) {
    const toml::node* n = t.get("listen");
    if (n == nullptr) return;
    const std::string text = GetString(t, "listen");
    HostPort cut;
    switch (CutHostPort(text, &cut)) {
        case HostPortCut::kNoClosingBracket:
            Fail(n->source(), "'listen' is \"" + text + "\": no ']' after the IPv6 address");
        case HostPortCut::kAfterBracket: Fail(n->source(), "'listen' is \"" + text + "\": ':' must follow the ']'");
        case HostPortCut::kCut: break;
    }
    const std::string& host = cut.host;
    const std::string& port = cut.port;
    if (host.empty()) Fail(n->source(), "'listen' is \"" + text + "\": no address", "e.g. listen = \"127.0.0.1:8080\"");
    if (!cut.bracketed && cut.has_port && port.empty())
        Fail(n->source(), "'listen' is \"" + text + "\": no port after ':'", "e.g. listen = \"127.0.0.1:8080\"");
    if (!port.empty()) {
        const bool digits = port.size() <= 5 && std::all_of(port.begin(), port.end(), [](char ch) {
            return std::isdigit(static_cast<unsigned char>(ch)) != 0;
        });
        if (!digits || std::stoi(port) > 65535)
            Fail(n->source(), "'listen' is \"" + text + "\": the port must be a number 0..65535",
                 "e.g. listen = \"127.0.0.1:8080\"");
        c->http_port = std::stoi(port);
    }
    c->listen_address = host;
}

void ReadLine(const toml::table& root, LineConfig* c) {
    const toml::node* node = root.get("line");
    if (node == nullptr) return;
    if (!node->is_table()) Fail(node->source(), "'line' must be a table ([line]), not " + TypeNameOf(*node));
    const toml::table& t = *node->as_table();
    OnlyKeys(t, "[line]", {"name", "port", "settings", "baud", "data_bits", "parity", "stop_bits", "timeout_ms",
                           "interval_s", "database", "listen"});
    c->name = GetString(t, "name", "line1");
    if (c->name.empty()) Fail(t.get("name")->source(), "'name' is empty", "e.g. name = \"line1\"");
    c->port = GetString(t, "port");
    if (const toml::node* n = t.get("port")) {
        c->port_line = static_cast<int>(n->source().begin.line);
        c->port_column = static_cast<int>(n->source().begin.column);
    }
    c->settings = GetString(t, "settings");
    if (const toml::node* s = t.get("settings")) {
        rexf::LineFormat format;
        if (!rexf::ParseLineText(c->settings, &format) || format.baud > 65535)
            Fail(s->source(), "'settings' is \"" + c->settings + "\": not line settings as BAUD,DPS",
                 "e.g. settings = \"9600,7O2\" or \"19200,8N1\"");
        for (const char* k : {"baud", "data_bits", "parity", "stop_bits"})
            if (const toml::node* other = t.get(k))
                Fail(other->source(), std::string("'") + k + "' given with 'settings': give one or the other",
                     "settings = \"9600,7O2\" holds baud, data bits, parity and stop bits");
    }
    c->baud = GetInteger(t, "baud", 1, 65535);
    c->data_bits = GetInteger(t, "data_bits", 5, 8);
    c->parity = GetWord(t, "parity", {"none", "odd", "even", "mark", "space"});
    if (const toml::node* s = t.get("stop_bits")) {
        if (s->is_integer() && (s->as_integer()->get() == 1 || s->as_integer()->get() == 2))
            c->stop_bits = std::to_string(s->as_integer()->get());
        else if (s->is_floating_point() && s->as_floating_point()->get() == 1.5)
            c->stop_bits = "1.5";
        else if (s->is_string())
            c->stop_bits = GetWord(t, "stop_bits", {"1", "1.5", "2"});
        else
            Fail(s->source(), "'stop_bits' must be 1, 1.5 or 2");
    }
    c->timeout_ms = GetInteger(t, "timeout_ms", 10, 655350);
    c->interval_s = GetNumber(t, "interval_s", 0.0, 86400.0);
    if (c->interval_s && !IntervalProblem(*c->interval_s).empty())
        Fail(t.get("interval_s")->source(), "'interval_s': " + IntervalProblem(*c->interval_s));
    c->database = GetString(t, "database");
    ReadListen(t, c);
}

// "01K1M1": unit 00-99, K, channel 0-8, an identifier the driver knows.
std::string CheckAddress(const toml::node& n, std::string a) {
    for (char& ch : a) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const std::string hint = "an address is UUKCII: unit 00-99, the letter K, channel 0-8, identifier; e.g. 01K1M1";
    const auto digit = [](char ch) { return ch >= '0' && ch <= '9'; };
    if (a.size() != 6 || !digit(a[0]) || !digit(a[1]) || a[2] != 'K' || a[3] < '0' || a[3] > '8')
        Fail(n.source(), "invalid address \"" + a + "\"", hint);
    const rexf::PointAddress address = *rexf::PointAddress::Of(a);
    const std::string ident = address.identifier();
    if (rexf::FindIdentifierModel(ident) == nullptr) {
        std::vector<std::string> idents;
        for (const rexf::IdentifierModel& m : rexf::IdentifierList()) idents.push_back(m.ident);
        const std::string near = Nearest(ident, idents);
        Fail(n.source(), "invalid address \"" + a + "\": no identifier " + ident,
             near.empty() ? "'qdxpoll identifiers' lists them" : "Did you mean " + address.With(near).text() + "?");
    }
    return a;
}

void ReadPoints(const toml::table& root, LineConfig* c) {
    const toml::node* node = root.get("point");
    if (node == nullptr) return;
    if (!node->is_array_of_tables())
        Fail(node->source(), "'point' must be tables, each [[point]], not " + TypeNameOf(*node));
    std::set<std::string> seen;
    for (const toml::node& item : *node->as_array()) {
        const toml::table& t = *item.as_table();
        OnlyKeys(t, "[[point]]", {"address", "name", "type", "unit", "scale", "offset", "writable"});
        ConfigPoint p;
        const toml::node* address = t.get("address");
        if (address == nullptr)
            Fail(item.source(), "a [[point]] without 'address'", "e.g. address = \"01K1M1\"");
        p.address = CheckAddress(*address, GetString(t, "address"));
        if (!seen.insert(p.address).second)
            Fail(address->source(), "point " + p.address + " is given twice");
        p.name = GetString(t, "name");
        p.type = GetWord(t, "type", kTypes);
        if (const toml::node* type = t.get("type")) {
            p.type_line = static_cast<int>(type->source().begin.line);
            p.type_column = static_cast<int>(type->source().begin.column);
        }
        p.unit = DefaultEngineeringUnit(rexf::PointAddress::Of(p.address)->identifier());
        if (const toml::node* u = t.get("unit")) {
            p.unit = GetString(t, "unit");
            const auto& known = KnownEngineeringUnits();
            if (std::find(known.begin(), known.end(), p.unit) == known.end()) {
                std::string hint;
                if (p.unit == "C" || p.unit == "degC" || p.unit == "deg C" || p.unit == "℃") hint = "°C";
                else if (p.unit == "F" || p.unit == "degF" || p.unit == "deg F" || p.unit == "℉") hint = "°F";
                else hint = Nearest(p.unit, known);
                std::string list;
                for (const std::string& k : known) list += (list.empty() ? "\"" : ", \"") + k + "\"";
                Fail(u->source(), "unknown unit \"" + p.unit + "\"",
                     hint.empty() ? "the units are " + list : "Did you mean \"" + hint + "\"?");
            }
        }
        p.scale = GetNumber(t, "scale", -1e9, 1e9).value_or(1.0);
        if (p.scale == 0) Fail(t.get("scale")->source(), "'scale' is 0: every value would show as the offset");
        p.offset = GetNumber(t, "offset", -1e9, 1e9).value_or(0.0);
        p.writable = GetBool(t, "writable", false);
        if (p.writable) {
            const rexf::IdentifierModel* m = rexf::FindIdentifierModel(rexf::PointAddress::Of(p.address)->identifier());
            if (m != nullptr && m->access == rexf::Access::kReadOnly)
                Fail(t.get("writable")->source(), "point " + p.address + " is read-only: " + m->ident + " (" +
                                                      m->meaning + ") cannot be written");
        }
        c->points.push_back(p);
    }
}

void ReadMqtt(const toml::table& root, LineConfig* c) {
    const toml::node* node = root.get("mqtt");
    if (node == nullptr) return;
    if (!node->is_table()) Fail(node->source(), "'mqtt' must be a table ([mqtt]), not " + TypeNameOf(*node));
    const toml::table& t = *node->as_table();
    OnlyKeys(t, "[mqtt]", {"broker", "prefix", "client_id", "username", "password", "tls_ca", "publish", "deadband",
                           "max_interval_s", "discovery"});
    MqttConfig& m = c->mqtt;
    m.given = true;
    m.broker = GetString(t, "broker");
    if (const toml::node* b = t.get("broker")) {
        m.broker_line = static_cast<int>(b->source().begin.line);
        m.broker_column = static_cast<int>(b->source().begin.column);
        const bool scheme = m.broker.rfind("mqtt://", 0) == 0 || m.broker.rfind("mqtts://", 0) == 0;
        if (!scheme || m.broker.size() <= m.broker.find("//") + 2)
            Fail(b->source(), "'broker' is \"" + m.broker + "\": it must be mqtt://HOST:PORT or mqtts://HOST:PORT",
                 "e.g. broker = \"mqtt://192.168.1.10:1883\"");
    }
    m.prefix = GetString(t, "prefix", "qdxtlmv");
    if (m.prefix.empty() || m.prefix.find_first_of("#+") != std::string::npos)
        Fail(t.get("prefix")->source(), "'prefix' must be a topic without '#' or '+'");
    m.client_id = GetString(t, "client_id");
    m.username = GetString(t, "username");
    m.password = GetString(t, "password");
    m.tls_ca = GetString(t, "tls_ca");
    m.publish = GetWord(t, "publish", {"every", "change"}, "every");
    m.deadband = GetNumber(t, "deadband", 0.0, 1e9).value_or(0.0);
    m.max_interval_s = GetNumber(t, "max_interval_s", 0.0, 1e9).value_or(0.0);
    m.discovery = GetWord(t, "discovery", {"", "homeassistant"});
}

}  // namespace

std::string LineConfigError::Message() const {
    if (line == 0) return file + ": " + what;
    return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + what;
}

bool ParseLineConfig(const std::string& text, const std::string& file, LineConfig* config, LineConfigError* error) {
    LineConfig c;
    c.file = file;
    // Deep key paths run the parser off its stack, a NUL would cut a string
    // in silence: such a file is refused before the parser sees it.
    if (const auto refusal = rexf::CheckTomlBounds(text)) {
        *error = {file, refusal->line, refusal->column, refusal->message,
                  "a line file holds [line], [[point]] and [mqtt], each a table of plain keys"};
        return false;
    }
    try {
        const toml::table root = toml::parse(text, file);
        for (const auto& [key, node] : root) {
            const std::string k(key.str());
            static const std::vector<std::string> tables = {"line", "point", "mqtt"};
            if (std::find(tables.begin(), tables.end(), k) != tables.end()) continue;
            static const std::vector<std::string> line_keys = {
                "name", "port", "settings", "baud", "data_bits", "parity", "stop_bits", "timeout_ms",
                "interval_s", "database", "listen"};
            if (std::find(line_keys.begin(), line_keys.end(), k) != line_keys.end())
                Fail(key.source(), "'" + k + "' outside [line]", "put it below the line [line]");
            const std::string near = Nearest(k, tables);
            Fail(key.source(), "unknown table or key '" + k + "'",
                 near.empty() ? "the file holds [line], [[point]] and [mqtt]" : "Did you mean '" + near + "'?");
        }
        ReadLine(root, &c);
        ReadPoints(root, &c);
        ReadMqtt(root, &c);
    } catch (const toml::parse_error& e) {
        *error = {file, static_cast<int>(e.source().begin.line), static_cast<int>(e.source().begin.column),
                  "not TOML: " + std::string(e.description()), ""};
        return false;
    } catch (const Failure& f) {
        *error = {file, f.line, f.column, f.what, f.hint};
        return false;
    }
    *config = std::move(c);
    return true;
}

bool LoadLineConfig(const std::string& path, LineConfig* config, LineConfigError* error) {
    *error = {path, 0, 0, "", ""};
    std::string text, why;
    switch (rexf::ReadTextFile(path, kMaxFileBytes, &text, &why)) {
    case rexf::TextFileRead::kFolder:
        error->what = "cannot read it: it is a folder";
        return false;
    case rexf::TextFileRead::kCannotOpen:
        error->what = "cannot read it: " + why;
        error->hint = "qdxpoll init --output " + path + " writes one from a scan of the line";
        return false;
    case rexf::TextFileRead::kTooLarge:
        error->what = "cannot read it: larger than 1 MiB";
        return false;
    case rexf::TextFileRead::kRead:
        break;
    }
    return ParseLineConfig(text, path, config, error);
}

std::string DefaultEngineeringUnit(const std::string& identifier) {
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(identifier);
    return m == nullptr ? "" : rexf::EngineeringUnitText(m->unit);
}

const std::vector<std::string>& KnownEngineeringUnits() {
    static const std::vector<std::string> units = {"",   "°C", "°F", "K",   "%",   "A",   "mA",  "V",
                                                   "mV", "s",  "min", "h",  "bar", "mbar", "Pa", "kPa",
                                                   "W",  "kW", "Hz",  "rpm", "m³/h", "l/min"};
    return units;
}

std::vector<std::string> PageWritable(const std::vector<std::string>& polled,
                                      const std::vector<std::string>& listed) {
    std::vector<std::string> out;
    auto offer = [&out](const std::string& a) {
        const auto address = rexf::PointAddress::Of(a);
        if (!address || std::find(out.begin(), out.end(), a) != out.end()) return;
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(address->identifier());
        if (m == nullptr || m->access != rexf::Access::kReadOnly) out.push_back(a);
    };
    if (!listed.empty()) {
        for (const std::string& a : listed) offer(a);
        return out;
    }
    for (const std::string& a : polled) {
        const auto address = rexf::PointAddress::Of(a);
        if (address && address->identifier() == "S1") offer(a);
    }
    for (const std::string& a : polled)
        if (const auto address = rexf::PointAddress::Of(a)) offer(address->With("S1").text());
    for (const std::string& a : polled) offer(a);
    return out;
}
