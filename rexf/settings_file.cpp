#include "rexf/settings_file.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <toml++/toml.h>

#include "rexf/text_file.h"
#include "rexf/toml_guard.h"
#include "rexf/toml_text.h"
#include "rexf/unit_model.h"
#include "rexf/write_order.h"

namespace rexf {
namespace {

constexpr size_t kMaxFileBytes = 1 << 20;

// A saved unit's file is three key levels deep ([channel.1], S1, value) and
// nests one inline table: anything far beyond is no settings file.
TomlBounds SettingsFileBounds() {
    TomlBounds bounds;
    bounds.max_bytes = kMaxFileBytes;
    return bounds;
}

// What the driver's six-character value text carries: four integer digits
// for a positive value, three after a minus sign (as a float, as the driver
// takes it).
bool FitsValueText(double v) {
    const float f = static_cast<float>(v);
    return f > -1000.0f && f < 10000.0f;
}

// Bytes beyond ASCII come from a garbled line and need not be UTF-8: each
// is kept as the character of its value.
std::string Quoted(const std::string& s) { return TomlString(s, NonAscii::kEscaped); }

// Decimals of the shortest text that reads back as v: 150.25 -> 2.
int PlacesOf(double v) {
    char text[64];
    const auto r = std::to_chars(text, text + sizeof text, v, std::chars_format::fixed);
    if (r.ec != std::errc()) return 0;
    const std::string s(text, r.ptr);
    const size_t point = s.find('.');
    return point == std::string::npos ? 0 : static_cast<int>(s.size() - point - 1);
}

int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

struct Failure {
    int line;
    std::string what;
};

void Fail(const toml::node& node, const std::string& what) { throw Failure{LineOf(node), what}; }

SavedSetting ReadEntry(int channel, const std::string& ident, const toml::node& node) {
    const toml::table* entry = node.as_table();
    if (entry == nullptr)
        Fail(node, ident + " takes a table such as { value = 150.0 }, { absent = true } or { failed = \"silent\" }");
    SavedSetting s = DescribedSetting(channel, ident);
    s.line = LineOf(node);
    if (const toml::node* raw = entry->get("raw")) {
        if (!raw->is_string()) Fail(*raw, "raw of " + ident + " is the unit's text, in quotes");
        s.raw = raw->as_string()->get();
    }
    if (const toml::node* value = entry->get("value")) {
        if (value->is_integer()) {
            s.value = static_cast<double>(value->as_integer()->get());
            s.places = 0;
        } else if (value->is_floating_point()) {
            s.value = value->as_floating_point()->get();
            s.places = std::max(1, PlacesOf(s.value));
        } else {
            Fail(*value, "the value of " + ident + " is not a number");
        }
        if (!std::isfinite(s.value) || !FitsValueText(s.value))
            Fail(*value, ident + " = " + ValueText(s.value, s.places) +
                             " does not fit the driver's six-character value text (-999.9 .. 9999.9)");
        double unit_value = 0;
        int unit_places = 0;
        const bool from_unit = ValueOfRaw(s.raw, &unit_value, &unit_places) &&
                               SameAtUnitResolution(ident, s.value, s.places, unit_value, unit_places);
        if (from_unit) {
            s.places = std::max(s.places, unit_places);
        } else if (const IdentifierModel* m = FindIdentifierModel(ident)) {
            // A value the unit did not send itself was edited by hand: it
            // must lie within what the unit takes.
            const double held = CutToDecimals(s.value, m->decimals);
            if (held < m->low || held > m->high)
                Fail(*value, ident + " = " + ValueText(s.value, s.places) + " is outside " + ident + "'s range " +
                                 ValueText(m->low, m->decimals) + ".." + ValueText(m->high, m->decimals) + " (" +
                                 m->meaning + ")");
        }
        return s;
    }
    if (const toml::node* absent = entry->get("absent")) {
        if (!absent->is_boolean() || !absent->as_boolean()->get())
            Fail(*absent, "absent of " + ident + " is true or left out");
        s.state = SettingState::kAbsent;
        return s;
    }
    if (const toml::node* failed = entry->get("failed")) {
        if (!failed->is_string()) Fail(*failed, "failed of " + ident + " is the cause, in quotes");
        s.state = SettingState::kFailed;
        s.cause = failed->as_string()->get();
        return s;
    }
    Fail(node, ident + " has no value (nor absent = true or failed = \"cause\")");
    return s;
}

void ReadUnit(const toml::table& root, UnitSettings* out) {
    const toml::node* unit_node = root.get("unit");
    if (unit_node == nullptr || !unit_node->is_table()) throw Failure{1, "no [unit] table with the unit's address"};
    const toml::table& unit = *unit_node->as_table();
    const toml::node* address = unit.get("address");
    if (address == nullptr) Fail(*unit_node, "[unit] has no address (address = 1, for unit 01)");
    if (!address->is_integer() || address->as_integer()->get() < 0 || address->as_integer()->get() > 99)
        Fail(*address, "the unit's address is a number 0..99 (address = 1, for unit 01)");
    out->unit = static_cast<int>(address->as_integer()->get());
    auto text = [&unit](const char* key) -> std::string {
        const toml::node* n = unit.get(key);
        if (n == nullptr) return "";
        if (n->is_string()) return n->as_string()->get();
        std::ostringstream s;
        if (n->is_date_time()) s << n->as_date_time()->get();
        return s.str();
    };
    out->saved = text("saved");
    out->port = text("port");
    out->line = text("line");
    out->by = text("by");
    if (const toml::node* complete = unit.get("complete")) out->complete = complete->value_or(true);
}

void ReadChannels(const toml::table& root, UnitSettings* out) {
    const toml::node* channels_node = root.get("channel");
    if (channels_node == nullptr) return;
    if (!channels_node->is_table()) Fail(*channels_node, "channel holds one table a channel, such as [channel.1]");
    for (auto&& [key, node] : *channels_node->as_table()) {
        const std::string name(key.str());
        if (name.size() != 1 || name[0] < '0' || name[0] > '8')
            throw Failure{static_cast<int>(key.source().begin.line),
                          "[channel." + name + "]: a channel is one digit 0..8"};
        const int channel = name[0] - '0';
        const toml::table* identifiers = node.as_table();
        if (identifiers == nullptr) Fail(node, "channel." + name + " is a table of identifiers");
        out->channels.push_back(channel);
        for (auto&& [ident_key, entry] : *identifiers) {
            const std::string ident(ident_key.str());
            if (FindIdentifierModel(ident) == nullptr)
                throw Failure{static_cast<int>(ident_key.source().begin.line),
                              "\"" + ident + "\" is not one of the driver's 79 identifiers"};
            out->settings.push_back(ReadEntry(channel, ident, entry));
        }
    }
}

// A setting the file gives a value, or nullptr.
const SavedSetting* ValueSetting(const UnitSettings& u, int channel, const char* ident) {
    const SavedSetting* s = u.Find(channel, ident);
    return s != nullptr && s->state == SettingState::kValue ? s : nullptr;
}

// The value as the unit would hold it (cut to the decimals it keeps).
double HeldValue(const SavedSetting& s) {
    const IdentifierModel* m = FindIdentifierModel(s.ident);
    return m != nullptr ? CutToDecimals(s.value, m->decimals) : s.value;
}

std::string Shown(const SavedSetting& s) { return s.ident + " = " + ValueText(s.value, s.places); }

// "SH = 100.0 (line 62)": the other side of a contradiction.
std::string ShownWithLine(const SavedSetting& s) {
    return Shown(s) + (s.line > 0 ? " (line " + std::to_string(s.line) + ")" : "");
}

SettingsContradiction Contradiction(const SavedSetting& first, const char* relation, const SavedSetting& other,
                                    const std::string& reason) {
    return {first.channel, first.line, other.line, Shown(first) + relation + ShownWithLine(other) + ": " + reason};
}

void FindInvertedPairs(const UnitSettings& u, int channel, std::vector<SettingsContradiction>* found) {
    size_t count = 0;
    const LimitPair* pairs = LimitPairs(&count);
    for (size_t i = 0; i < count; ++i) {
        const SavedSetting* low = ValueSetting(u, channel, pairs[i].low);
        const SavedSetting* high = ValueSetting(u, channel, pairs[i].high);
        if (low != nullptr && high != nullptr && HeldValue(*low) > HeldValue(*high))
            found->push_back(Contradiction(*low, " is above ", *high,
                                           std::string(pairs[i].reason) + (pairs[i].assumed ? " (assumed)" : "")));
    }
}

// The set value (the identifiers the model keeps within SL..SH).
void FindValuesOutsideLimits(const UnitSettings& u, int channel, std::vector<SettingsContradiction>* found) {
    const SavedSetting* low = ValueSetting(u, channel, "SL");
    const SavedSetting* high = ValueSetting(u, channel, "SH");
    for (const IdentifierModel& m : IdentifierList()) {
        const SavedSetting* s = m.within_limits ? ValueSetting(u, channel, m.ident) : nullptr;
        if (s == nullptr) continue;
        const std::string reason = "a unit takes " + s->ident + " only within SL..SH";
        if (low != nullptr && HeldValue(*s) < HeldValue(*low))
            found->push_back(Contradiction(*s, " is below ", *low, reason));
        if (high != nullptr && HeldValue(*s) > HeldValue(*high))
            found->push_back(Contradiction(*s, " is above ", *high, reason));
    }
}

}  // namespace

const SavedSetting* UnitSettings::Find(int channel, const std::string& ident) const {
    for (const SavedSetting& s : settings)
        if (s.channel == channel && s.ident == ident) return &s;
    return nullptr;
}

bool ValueOfRaw(const std::string& raw, double* value, int* places) {
    size_t i = raw.find_first_not_of(' ');
    if (i == std::string::npos) return false;
    const size_t start = i;
    if (raw[i] == '-') ++i;
    int digits = 0, after_point = -1;
    for (; i < raw.size(); ++i) {
        const char c = raw[i];
        if (c >= '0' && c <= '9') {
            ++digits;
            if (after_point >= 0) ++after_point;
        } else if (c == '.' && after_point < 0) {
            after_point = 0;
        } else {
            return false;
        }
    }
    if (digits == 0) return false;
    *value = std::strtod(raw.c_str() + start, nullptr);
    *places = std::max(after_point, 0);
    return true;
}

std::string ValueText(double value, int places) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", std::clamp(places, 0, 9), value);
    std::string s = text;
    // No "-0.0".
    if (s[0] == '-' && s.find_first_of("123456789") == std::string::npos) s.erase(0, 1);
    return s;
}

bool SameAtUnitResolution(const std::string& ident, double a, int a_places, double b, int b_places) {
    const IdentifierModel* m = FindIdentifierModel(ident);
    int places = std::max(a_places, b_places);
    if (m != nullptr) places = m->documented ? m->decimals : std::max(m->decimals, places);
    const double x = CutToDecimals(a, places), y = CutToDecimals(b, places);
    return std::fabs(x - y) < 0.5 * std::pow(10.0, -places);
}

SavedSetting DescribedSetting(int channel, const std::string& ident) {
    SavedSetting s;
    s.channel = channel;
    s.ident = ident;
    if (const IdentifierModel* m = FindIdentifierModel(ident)) {
        s.meaning = m->meaning;
        s.access = AccessName(m->access);
    }
    return s;
}

std::string SettingsToml(const UnitSettings& u) {
    std::ostringstream out;
    char address[8];
    std::snprintf(address, sizeof address, "%02d", u.unit);
    out << "# The settings of unit " << address << (u.by.empty() ? "" : ", saved by " + u.by) << ".\n"
        << "# value: what the unit holds, at its resolution (raw: the characters it sent);\n"
        << "# absent: the unit answered EOT (it lacks the identifier, or its option);\n"
        << "# failed: no valid reply, with its cause. A restore writes the read/write values.\n\n";
    out << "[unit]\naddress = " << u.unit << "\nchannels = [";
    for (size_t i = 0; i < u.channels.size(); ++i) out << (i ? ", " : "") << u.channels[i];
    out << "]\n";
    if (!u.saved.empty()) out << "saved = " << u.saved << "\n";
    if (!u.port.empty()) out << "port = " << Quoted(u.port) << "\n";
    if (!u.line.empty()) out << "line = " << Quoted(u.line) << "\n";
    out << "complete = " << (u.complete ? "true" : "false") << "\n";
    if (!u.by.empty()) out << "by = " << Quoted(u.by) << "\n";
    for (int channel : u.channels) {
        out << "\n[channel." << channel << "]\n";
        for (const SavedSetting& s : u.settings) {
            if (s.channel != channel) continue;
            out << s.ident << " = { ";
            switch (s.state) {
                case SettingState::kValue:
                    out << "value = " << ValueText(s.value, s.places);
                    if (!s.raw.empty()) out << ", raw = " << Quoted(s.raw);
                    break;
                case SettingState::kAbsent: out << "absent = true"; break;
                case SettingState::kFailed: out << "failed = " << Quoted(s.cause); break;
            }
            out << ", access = " << Quoted(s.access) << ", meaning = " << Quoted(s.meaning) << " }\n";
        }
    }
    return out.str();
}

bool ParseSettings(const std::string& text, const std::string& name, UnitSettings* settings, std::string* error) {
    UnitSettings out;
    if (const std::optional<TomlRefusal> refused = CheckTomlBounds(text, SettingsFileBounds())) {
        *error = name + ":" + std::to_string(refused->line) + ":" + std::to_string(refused->column) + ": " +
                 refused->message;
        return false;
    }
    try {
        const toml::table root = toml::parse(text, name);
        ReadUnit(root, &out);
        ReadChannels(root, &out);
    } catch (const toml::parse_error& e) {
        *error = name + ":" + std::to_string(e.source().begin.line) + ": " + std::string(e.description());
        return false;
    } catch (const Failure& f) {
        *error = name + ":" + std::to_string(f.line) + ": " + f.what;
        return false;
    }
    if (out.channels.empty()) {
        *error = name + ": no [channel.N] table: the file holds no identifiers";
        return false;
    }
    *settings = std::move(out);
    return true;
}

std::vector<SettingsContradiction> FindContradictions(const UnitSettings& settings) {
    std::vector<SettingsContradiction> found;
    for (int channel : settings.channels) {
        FindInvertedPairs(settings, channel, &found);
        FindValuesOutsideLimits(settings, channel, &found);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const SettingsContradiction& a, const SettingsContradiction& b) { return a.line < b.line; });
    return found;
}

bool LoadSettingsFile(const std::string& path, UnitSettings* settings, std::string* error, bool* unreadable) {
    *unreadable = true;
    std::string text, why;
    switch (ReadTextFile(path, kMaxFileBytes, &text, &why)) {
    case TextFileRead::kFolder:
        *error = "cannot read " + path + ": it is a folder";
        return false;
    case TextFileRead::kCannotOpen:
        *error = "cannot read " + path + ": " + why;
        return false;
    case TextFileRead::kTooLarge:
        *error = path + " is larger than any settings file (over 1 MiB)";
        return false;
    case TextFileRead::kRead:
        break;
    }
    *unreadable = false;
    return ParseSettings(text, path, settings, error);
}

}  // namespace rexf
