#include "point_table.h"

#include <map>

#include "rexf/unit_model.h"
#include "rexf/value_text.h"
#include "rexf/write_order.h"
#include "words.h"

namespace rexfsim {

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

void PointTable::FillDefaults(const std::vector<int>& units, const std::vector<int>& channels,
                              const std::vector<int>& option_units) {
    for (int u : units)
        for (int c : channels)
            for (const rexf::IdentifierModel& row : rexf::IdentifierList()) {
                if (unit_model_ && row.option && !Contains(option_units, u)) continue;
                SetValue(PointKey{u, c, row.ident}, DefaultValue(row.ident, c));
            }
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
        p.text = rexf::UnitText(p.value, p.model.decimals);
    } else {
        p.value = value;
        p.text = rexf::FormatValueText(value);
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
    const std::string inverted = InversionOf(key, held);
    if (!inverted.empty()) return inverted;
    if (p->model.within_limits) {
        const Point* low = Find(key.unit, key.channel, "SL");
        const Point* high = Find(key.unit, key.channel, "SH");
        if ((low && held < low->value) || (high && held > high->value))
            return "outside SL..SH (" + (low ? Number(low->value) : "") + ".." +
                   (high ? Number(high->value) : "") + ")";
    }
    return "";
}

// A unit keeps each limiter pair in order, low at or below high. What it
// does with a write that would invert a pair the manuals at hand do not
// say; it is assumed to refuse it (NAK) as a value outside its range.
std::string PointTable::InversionOf(const PointKey& key, double held) {
    size_t count = 0;
    const rexf::LimitPair* pairs = rexf::LimitPairs(&count);
    for (size_t i = 0; i < count; ++i) {
        const bool low = key.ident == pairs[i].low;
        if (!low && key.ident != pairs[i].high) continue;
        const char* other_ident = low ? pairs[i].high : pairs[i].low;
        const Point* other = Find(key.unit, key.channel, other_ident);
        if (other != nullptr && (low ? held > other->value : held < other->value))
            return std::string(low ? "above " : "below ") + other_ident + " (" + Number(other->value) +
                   "): the limiters would be inverted (assumed refused)";
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
