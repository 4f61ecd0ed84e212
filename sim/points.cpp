#include "points.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <unistd.h>

#include "sim/unit_model.h"

namespace rexfsim {

uint8_t BlockCheck(const std::string& s, size_t first, size_t last) {
    uint8_t bcc = 0;
    for (size_t i = first; i <= last && i < s.size(); ++i) bcc ^= static_cast<uint8_t>(s[i]);
    return bcc;
}

namespace {

// Digit k after the point (k >= 1) of a >= 0, cut off, never rounded. A
// single-precision number times 10^k (k <= 5) is exact in double precision.
char Decimal(double a, int k) {
    double scaled = a * std::pow(10.0, k);
    long long whole = static_cast<long long>(scaled);
    return static_cast<char>('0' + whole % 10);
}

// Digit of the integer part of a >= 0 at place p (0 units, 1 tens, ...).
char IntegerDigit(double a, int p) {
    long long whole = static_cast<long long>(a);
    for (int i = 0; i < p; ++i) whole /= 10;
    return static_cast<char>('0' + whole % 10);
}

}  // namespace

std::string FormatValueText(double value) {
    float v = static_cast<float>(value);
    if (std::isnan(v)) return ".00000";
    if (v >= 10000.0f) v = 9999.9f;
    if (v <= -1000.0f) v = -999.9f;
    const double d = v;
    std::string t;
    if (v >= 1000.0f) {
        t = {IntegerDigit(d, 3), IntegerDigit(d, 2), IntegerDigit(d, 1), IntegerDigit(d, 0), '.',
             Decimal(d, 1)};
    } else if (v >= 100.0f) {
        t = {IntegerDigit(d, 2), IntegerDigit(d, 1), IntegerDigit(d, 0), '.', Decimal(d, 1),
             Decimal(d, 2)};
    } else if (v >= 10.0f) {
        t = {IntegerDigit(d, 1), IntegerDigit(d, 0), '.', Decimal(d, 1), Decimal(d, 2),
             Decimal(d, 3)};
    } else if (v >= 1.0f) {
        t = {IntegerDigit(d, 0), '.', Decimal(d, 1), Decimal(d, 2), Decimal(d, 3), Decimal(d, 4)};
    } else if (d >= -0.000001) {
        // Tiny negatives down to -0.000001 read as zero.
        const double a = d < 0 ? 0.0 : d;
        t = {'.', Decimal(a, 1), Decimal(a, 2), Decimal(a, 3), Decimal(a, 4), Decimal(a, 5)};
    } else {
        const double a = std::fabs(d);
        if (v > -1.0f) {
            t = {'-', '.', Decimal(a, 1), Decimal(a, 2), Decimal(a, 3), Decimal(a, 4)};
        } else if (v > -10.0f) {
            t = {'-', IntegerDigit(a, 0), '.', Decimal(a, 1), Decimal(a, 2), Decimal(a, 3)};
        } else if (v > -100.0f) {
            t = {'-', IntegerDigit(a, 1), IntegerDigit(a, 0), '.', Decimal(a, 1), Decimal(a, 2)};
        } else {
            t = {'-', IntegerDigit(a, 2), IntegerDigit(a, 1), IntegerDigit(a, 0), '.',
                 Decimal(a, 1)};
        }
    }
    return t;
}

bool ParseValueText(const std::string& text, double* value) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    const size_t start = i;
    if (i < text.size() && text[i] == '-') ++i;
    int digits = 0, points = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c >= '0' && c <= '9') {
            ++digits;
        } else if (c == '.') {
            if (++points > 1) return false;
        } else {
            return false;
        }
    }
    if (digits == 0) return false;
    *value = std::strtod(text.c_str() + start, nullptr);
    return true;
}

const std::vector<std::string>& AllIdentifiers() {
    static const std::vector<std::string> ids = [] {
        size_t count = 0;
        const rexf::IdentifierModel* models = rexf::IdentifierModels(&count);
        std::vector<std::string> out;
        for (size_t i = 0; i < count; ++i) out.push_back(models[i].ident);
        return out;
    }();
    return ids;
}

namespace {

// Starting values that make a demo look like a heating controller: measured
// value below the set value, PID constants, limits; everything else 0. All
// lie within the unit model's ranges.
double DefaultValue(const std::string& ident, int channel) {
    static const std::map<std::string, double> values = {
        {"M1", 24.0},  {"M2", 5.2},   {"M3", 4.8},   {"MS", 150.0}, {"S1", 150.0}, {"S2", 80.0},
        {"SH", 400.0}, {"SL", 0.0},   {"SR", 1},     {"O1", 35.5},  {"O2", 12.2},  {"OH", 100.0},
        {"OL", 0.0},   {"P1", 30.0},  {"P2", 30.0},  {"I1", 120.0}, {"D1", 30.0},  {"A1", 10.0},
        {"A2", 10.0},  {"A3", 5.0},   {"F1", 1.0},   {"HH", 2.0},   {"HA", 2.0},   {"HB", 2.0},
        {"E1", 1},     {"T1", 20.0},  {"C1", 0.5},   {"V1", 3.0},   {"XA", 1},     {"ZA", 1}};
    auto it = values.find(ident);
    double v = it == values.end() ? 0.0 : it->second;
    // Later channels read a little differently, so channels can be told apart.
    if (ident == "M1" && channel > 1) v += channel - 1;
    return v;
}

bool Contains(const std::vector<int>& list, int value) {
    for (int v : list)
        if (v == value) return true;
    return false;
}

// "LOW..HIGH" as two numbers.
bool ParseRange(const std::string& s, double* low, double* high) {
    const size_t dots = s.find("..");
    if (dots == std::string::npos) return false;
    char* end = nullptr;
    const std::string a = s.substr(0, dots), b = s.substr(dots + 2);
    *low = std::strtod(a.c_str(), &end);
    if (a.empty() || *end != '\0') return false;
    *high = std::strtod(b.c_str(), &end);
    return !b.empty() && *end == '\0' && *low <= *high;
}

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace

PointModel ModelOf(const std::string& ident) {
    PointModel m;
    if (const rexf::IdentifierModel* row = rexf::FindIdentifierModel(ident)) {
        m.read_only = row->access == rexf::Access::kReadOnly;
        m.low = row->low;
        m.high = row->high;
        m.decimals = row->decimals;
        m.within_limits = row->within_limits;
    }
    return m;
}

std::string UnitText(double value, int decimals) {
    for (int d = std::min(std::max(decimals, 0), 5); d >= 0; --d) {
        double held = rexf::CutToDecimals(value, d);
        if (held == 0.0) held = 0.0;  // no "-000.0"
        char text[64];
        std::snprintf(text, sizeof text, "%0*.*f", 6, d, held);
        if (std::strlen(text) == 6) return text;
    }
    return value < 0 ? "-99999" : "999999";
}

void PointTable::FillDefaults(const std::vector<int>& units, const std::vector<int>& channels,
                              const std::vector<int>& option_units) {
    for (int u : units)
        for (int c : channels)
            for (const auto& id : AllIdentifiers()) {
                const rexf::IdentifierModel* row = rexf::FindIdentifierModel(id);
                if (unit_model_ && row && row->option && !Contains(option_units, u)) continue;
                SetValue(PointKey{u, c, id}, DefaultValue(id, c));
            }
}

const char* TableFileHelp() {
    return "Table file: one point a line, UNIT CHANNEL IDENT VALUE [ro|rw] [range=LOW..HIGH]\n"
           "[decimals=N], for example\n"
           "    01 1 M1 24.0\n"
           "    01 1 S1 \"150.00\" range=0..800 decimals=1\n"
           "    02 3 XA \"\\x001.2-+\"\n"
           "  UNIT 0..99, CHANNEL 0..9, IDENT two characters. VALUE is a number, or a\n"
           "  quoted text of exactly 6 characters (escapes \\xHH, \\\\, \\\"): a quoted\n"
           "  number is stored like a written value, any other quoted text is sent\n"
           "  as the reply's data characters exactly. ro/rw, range and decimals say\n"
           "  whether a host may write the point, what it accepts and the places the\n"
           "  unit keeps (0..5); each defaults to the identifier's unit model. A unit\n"
           "  has exactly the points listed for it. A line\n"
           "    process UNIT [gain=4] [tau=600] [dead=60] [ambient=24]\n"
           "  sets the unit's furnace: degrees per % of output, time constant and\n"
           "  dead time in seconds, ambient temperature. '#' starts a comment. The\n"
           "  --state file is written in this format.\n";
}

bool ParseUnit(const std::string& s, int* unit) {
    if (s.empty() || s.size() > 2) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *unit = std::atoi(s.c_str());
    return true;
}

bool ParseChannel(const std::string& s, int* channel) {
    if (s.size() != 1 || s[0] < '0' || s[0] > '9') return false;
    *channel = s[0] - '0';
    return true;
}

bool ParseIdent(const std::string& s, std::string* ident) {
    if (s.size() != 2) return false;
    std::string id = s;
    for (char& c : id) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c <= ' ' || c > '~') return false;
    }
    *ident = id;
    return true;
}

bool SplitWords(const std::string& line, std::vector<std::string>* words,
                std::vector<bool>* quoted, std::string* error) {
    words->clear();
    quoted->clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string w;
            ++i;
            bool closed = false;
            while (i < n) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d != '\\') {
                    w += d;
                    continue;
                }
                if (i >= n) break;
                d = line[i++];
                if (d == '\\' || d == '"') {
                    w += d;
                } else if (d == 'x' && i + 2 <= n && std::isxdigit(static_cast<unsigned char>(line[i])) &&
                           std::isxdigit(static_cast<unsigned char>(line[i + 1]))) {
                    w += static_cast<char>(std::strtol(line.substr(i, 2).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    *error = "bad escape in quoted text";
                    return false;
                }
            }
            if (!closed) {
                *error = "unterminated quote";
                return false;
            }
            words->push_back(w);
            quoted->push_back(true);
        } else {
            size_t j = i;
            while (j < n && line[j] != ' ' && line[j] != '\t' && line[j] != '\r' && line[j] != '\n')
                ++j;
            words->push_back(line.substr(i, j - i));
            quoted->push_back(false);
            i = j;
        }
    }
    return true;
}

std::string Escape(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

void PointTable::LoadProcessLine(const std::vector<std::string>& w, const std::string& where) {
    int unit = 0;
    if (w.size() < 2 || !ParseUnit(w[1], &unit))
        throw std::runtime_error(where + "expected process UNIT [gain=G] [tau=S] [dead=S] [ambient=T]");
    ProcessConstants k = ProcessOf(unit);
    for (size_t i = 2; i < w.size(); ++i) {
        const size_t eq = w[i].find('=');
        char* end = nullptr;
        const std::string name = w[i].substr(0, eq == std::string::npos ? w[i].size() : eq);
        const std::string number = eq == std::string::npos ? "" : w[i].substr(eq + 1);
        const double v = std::strtod(number.c_str(), &end);
        if (number.empty() || *end != '\0' || !std::isfinite(v))
            throw std::runtime_error(where + "bad process constant " + w[i]);
        if (name == "gain") k.gain = v;
        else if (name == "tau" && v > 0) k.time_constant = v;
        else if (name == "dead" && v >= 0 && v <= 3600) k.dead_time = v;
        else if (name == "ambient") k.ambient = v;
        else throw std::runtime_error(where + "bad process constant " + w[i]);
    }
    process_[unit] = k;
}

ProcessConstants PointTable::ProcessOf(int unit) const {
    auto it = process_.find(unit);
    return it == process_.end() ? ProcessConstants{} : it->second;
}

std::vector<std::pair<int, int>> PointTable::Holders(const std::string& ident) const {
    std::vector<std::pair<int, int>> out;
    for (const auto& [key, p] : points_)
        if (key.ident == ident) out.emplace_back(key.unit, key.channel);
    return out;
}

void PointTable::Load(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw std::runtime_error("cannot read table file " + path);
    std::string line, error;
    std::vector<std::string> w;
    std::vector<bool> q;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = path + ":" + std::to_string(number) + ": ";
        if (!SplitWords(line, &w, &q, &error)) throw std::runtime_error(where + error);
        if (w.empty()) continue;
        if (w[0] == "process") {
            LoadProcessLine(w, where);
            continue;
        }
        PointKey key;
        if (w.size() < 4 || !ParseUnit(w[0], &key.unit) || !ParseChannel(w[1], &key.channel) ||
            !ParseIdent(w[2], &key.ident))
            throw std::runtime_error(where + "expected UNIT CHANNEL IDENT VALUE [ro|rw] [range=LOW..HIGH] [decimals=N]");
        PointModel model = Find(key.unit, key.channel, key.ident) ? Find(key.unit, key.channel, key.ident)->model
                                                                   : ModelOf(key.ident);
        for (size_t i = 4; i < w.size(); ++i) {
            const std::string& x = w[i];
            if (x == "ro" || x == "rw") {
                model.read_only = x == "ro";
            } else if (x.rfind("range=", 0) == 0) {
                if (!ParseRange(x.substr(6), &model.low, &model.high))
                    throw std::runtime_error(where + "bad range " + x + " (range=LOW..HIGH)");
            } else if (x.rfind("decimals=", 0) == 0 && x.size() == 10 && x[9] >= '0' && x[9] <= '5') {
                model.decimals = x[9] - '0';
            } else {
                throw std::runtime_error(where + "unknown attribute " + x);
            }
        }
        Insert(key).model = model;
        double v = 0;
        if (q[3]) {
            if (w[3].size() != 6) throw std::runtime_error(where + "quoted value must be 6 characters");
            if (ParseValueText(w[3], &v))
                StoreWritten(key, v, w[3]);
            else
                SetRaw(key, w[3]);
        } else {
            char* end = nullptr;
            v = std::strtod(w[3].c_str(), &end);
            if (end == w[3].c_str() || *end != '\0') throw std::runtime_error(where + "bad value " + w[3]);
            SetValue(key, v);
        }
    }
}

bool PointTable::Save(const std::string& path) const {
    std::ostringstream out;
    out << "# UNIT CHANNEL IDENT \"TEXT\" (the stored text; raw texts marked)\n";
    for (const auto& [unit, k] : process_)
        out << "process " << unit << " gain=" << Number(k.gain) << " tau=" << Number(k.time_constant)
            << " dead=" << Number(k.dead_time) << " ambient=" << Number(k.ambient) << '\n';
    char head[32];
    for (const auto& [key, p] : points_) {
        std::snprintf(head, sizeof head, "%02d %d %s ", key.unit, key.channel, key.ident.c_str());
        out << head << '"' << Escape(p.text) << '"';
        const PointModel m = ModelOf(key.ident);
        if (p.model.read_only != m.read_only) out << (p.model.read_only ? " ro" : " rw");
        if (p.model.low != m.low || p.model.high != m.high)
            out << " range=" << Number(p.model.low) << ".." << Number(p.model.high);
        if (p.model.decimals != m.decimals) out << " decimals=" << p.model.decimals;
        out << (p.raw ? " # raw" : "") << '\n';
    }
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::trunc);
        if (!f) return false;
        f << out.str();
        if (!f.flush()) return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

Point* PointTable::Find(int unit, int channel, const std::string& ident) {
    auto it = points_.find(PointKey{unit, channel, ident});
    return it == points_.end() ? nullptr : &it->second;
}

bool PointTable::HasUnit(int unit) const { return unit_counts_.count(unit) != 0; }

Point& PointTable::Insert(const PointKey& key) {
    auto [it, added] = points_.try_emplace(key);
    if (added) {
        ++unit_counts_[key.unit];
        it->second.model = ModelOf(key.ident);
    }
    return it->second;
}

void PointTable::Hold(Point& p, double value) {
    p.raw = false;
    if (unit_model_) {
        p.value = rexf::CutToDecimals(value, p.model.decimals);
        p.text = UnitText(p.value, p.model.decimals);
    } else {
        p.value = value;
        p.text = FormatValueText(value);
    }
}

void PointTable::FollowSetValue(const PointKey& key) {
    if (!unit_model_ || key.ident != "S1") return;
    const Point* set_value = Find(key.unit, key.channel, "S1");
    if (Point* monitor = Find(key.unit, key.channel, "MS")) Hold(*monitor, set_value->value);
}

void PointTable::SetValue(const PointKey& key, double value) {
    Hold(Insert(key), value);
    FollowSetValue(key);
}

void PointTable::SetRaw(const PointKey& key, const std::string& text) {
    Point& p = Insert(key);
    p.text = text;
    p.raw = true;
}

void PointTable::StoreWritten(const PointKey& key, double value, const std::string& text) {
    Point& p = Insert(key);
    if (unit_model_) {
        Hold(p, value);
        FollowSetValue(key);
        return;
    }
    p.value = value;
    p.text = text;
    p.raw = false;
}

std::string PointTable::RefusalOf(const PointKey& key, double value) {
    const Point* p = Find(key.unit, key.channel, key.ident);
    if (!p) return "no such identifier";
    if (!unit_model_) return "";
    if (p->model.read_only) return "read-only";
    const double held = rexf::CutToDecimals(value, p->model.decimals);
    if (held < p->model.low || held > p->model.high)
        return "outside " + Number(p->model.low) + ".." + Number(p->model.high);
    if (p->model.within_limits) {
        const Point* low = Find(key.unit, key.channel, "SL");
        const Point* high = Find(key.unit, key.channel, "SH");
        if ((low && held < low->value) || (high && held > high->value))
            return "outside SL..SH (" + (low ? Number(low->value) : "") + ".." +
                   (high ? Number(high->value) : "") + ")";
    }
    return "";
}

const std::pair<const PointKey, Point>* PointTable::NextPoint(const PointKey& key) const {
    auto it = points_.upper_bound(key);
    if (it == points_.end() || it->first.unit != key.unit || it->first.channel != key.channel) return nullptr;
    return &*it;
}

bool PointTable::Remove(const PointKey& key) {
    if (points_.erase(key) == 0) return false;
    if (--unit_counts_[key.unit] == 0) unit_counts_.erase(key.unit);
    return true;
}

// A controller holds a written value as the decimal digits it received, so
// its replies carry those digits back: a value stored by a selecting frame is
// answered with its own text, never re-derived from a binary approximation.
std::string PointTable::ReplyText(const Point& p) { return p.text; }

}  // namespace rexfsim
