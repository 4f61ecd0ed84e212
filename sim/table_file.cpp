// The table file: the points of a line, one a line of text, read at the
// start and written after every change (--state).
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "point_table.h"
#include "rexf/value_text.h"
#include "words.h"

namespace rexfsim {
namespace {

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

}  // namespace

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
            if (rexf::ParseValueText(w[3], &v))
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
    // Over the old file in one step, on Windows too (where std::rename
    // refuses an existing target).
    std::error_code error;
    std::filesystem::rename(tmp, path, error);
    return !error;
}

}  // namespace rexfsim
