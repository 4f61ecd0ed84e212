#include "rexf/write_order.h"

#include <sstream>

#include "rexf/unit_model.h"

namespace rexf {
namespace {

// Sources: ../shared/controller-model.md and the manuals it cites.
const WriteOrderRule kRules[] = {
    {"XI", "SL SH S1 GB PB A1 A2 A3",
     "the input type sets the input range, which bounds the setting limiters (and within them the set value), "
     "the autotuning bias (within the input span) and the values given in the input's units; a unit may reset "
     "them when its input type changes",
     true, true},
    {"XA", "A1 HA WA NA OA",
     "the alarm 1 type says what its set value is (a deviation from S1 or a process value), and so its range; "
     "the other alarm 1 settings belong to that type",
     true, false},
    {"XB", "A2 HB WB NB OB TG", "the same for alarm 2 (TG delays alarm 2)", true, false},
    {"SR J1", "G1", "autotuning runs only on a unit in RUN and in auto mode", true, false},
};

const LimitPair kPairs[] = {
    {"SL", "SH", "a unit keeps its setting limiters in order, SL at or below SH", true, "S1",
     "the set value must lie within SL..SH (IMR01H02 p.57)"},
    {"OL", "OH", "a unit keeps its output limiters in order, OL at or below OH", true, "", ""},
};

// Stage 0 comes before the settings, stage 2 after them.
struct Operation {
    const char* ident;
    int stage;
    const char* reason;
};
const Operation kOperations[] = {
    {"ZA", 0,
     "memory area transfer: changes the memory area (set value, alarms, PID) the unit works with; when written, "
     "it goes first, so that the settings after it go to that area (assumed)"},
    {"SR", 2, "RUN/STOP: starts or stops control; when written, it goes after the settings (assumed)"},
    {"J1", 2, "auto/manual: changes who sets the output; when written, it goes after the settings (assumed)"},
    {"G1", 2,
     "autotuning: 1 starts it, and it then sets P1, I1 and D1 itself; when written, it goes last (IMR01H02 "
     "p.57)"},
};

std::vector<std::string> Words(const char* text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

const Operation* OperationOf(const std::string& ident) {
    for (const Operation& o : kOperations)
        if (ident == o.ident) return &o;
    return nullptr;
}

size_t TableIndex(const std::string& ident) {
    size_t count = 0;
    const IdentifierModel* models = IdentifierModels(&count);
    for (size_t i = 0; i < count; ++i)
        if (ident == models[i].ident) return i;
    return count;
}

// Whether a write moves its limit outward: a low one down, a high one up.
// An unknown present value counts as moving inward.
bool Widens(const SettingWrite& w, bool low) { return w.now_known && (low ? w.to < w.now : w.to > w.now); }

std::string Names(const std::vector<SettingWrite>& w, const std::vector<size_t>& which) {
    std::string names;
    for (size_t i : which) names += (names.empty() ? "" : ", ") + w[i].ident;
    return names;
}

// Widen first, move the values within, narrow last: the limit that widens
// goes before the one that narrows, and the values within go after every
// widening and before every narrowing. Then no write leaves a value the unit
// holds outside the limits in force, nor the pair inverted.
template <class Position, class Note>
void OrderAroundLimits(const LimitPair& pair, const std::vector<SettingWrite>& w, Position position,
                       std::vector<std::vector<size_t>>* after, Note note) {
    const std::string assumed = pair.assumed ? " (assumed)" : "";
    std::vector<size_t> widen, narrow;
    for (const char* ident : {pair.low, pair.high}) {
        const int i = position(ident);
        if (i < 0) continue;
        const size_t at = static_cast<size_t>(i);
        (Widens(w[at], ident == pair.low) ? widen : narrow).push_back(at);
    }
    const std::string range = std::string(pair.low) + ".." + pair.high;
    for (size_t n : narrow)
        for (size_t first : widen) {
            (*after)[n].push_back(first);
            note(n, "after " + w[first].ident + ", which widens " + range + " first: " + pair.reason + assumed);
        }
    for (const std::string& within : Words(pair.within)) {
        const int j = position(within);
        if (j < 0) continue;
        const size_t v = static_cast<size_t>(j);
        for (size_t first : widen) (*after)[v].push_back(first);
        if (!widen.empty())
            note(v, "after " + Names(w, widen) + ", which widen" + (widen.size() == 1 ? "s " : " ") + range +
                        " first: " + pair.within_reason);
        for (size_t n : narrow) {
            (*after)[n].push_back(v);
            note(n, "after " + within + ": " + range + " narrows last, so that " + within + " stays within it: " +
                        pair.within_reason);
        }
    }
}

}  // namespace

const WriteOrderRule* WriteOrderRules(size_t* count) {
    *count = sizeof kRules / sizeof kRules[0];
    return kRules;
}

const LimitPair* LimitPairs(size_t* count) {
    *count = sizeof kPairs / sizeof kPairs[0];
    return kPairs;
}

std::vector<std::string> ResetBy(const std::string& ident) {
    std::vector<std::string> reset;
    for (const WriteOrderRule& rule : kRules) {
        if (!rule.resets) continue;
        for (const std::string& f : Words(rule.first))
            if (f == ident)
                for (const std::string& t : Words(rule.then)) reset.push_back(t);
    }
    return reset;
}

const char* OperationReason(const std::string& ident) {
    const Operation* o = OperationOf(ident);
    return o != nullptr ? o->reason : nullptr;
}

void OrderWrites(std::vector<SettingWrite>* writes) {
    std::vector<SettingWrite>& w = *writes;
    const size_t n = w.size();
    auto position = [&w](const std::string& ident) {
        for (size_t i = 0; i < w.size(); ++i)
            if (w[i].ident == ident) return static_cast<int>(i);
        return -1;
    };
    std::vector<std::vector<size_t>> after(n);  // after[j]: the writes j waits for
    std::vector<std::string> why(n);
    auto note = [&why](size_t j, const std::string& text) { why[j] += (why[j].empty() ? "" : "; ") + text; };

    for (const WriteOrderRule& rule : kRules) {
        std::vector<size_t> firsts;
        std::string names;
        for (const std::string& f : Words(rule.first)) {
            const int i = position(f);
            if (i < 0) continue;
            firsts.push_back(static_cast<size_t>(i));
            names += (names.empty() ? "" : ", ") + f;
        }
        if (firsts.empty()) continue;
        for (const std::string& t : Words(rule.then)) {
            const int j = position(t);
            if (j < 0) continue;
            for (size_t i : firsts) after[static_cast<size_t>(j)].push_back(i);
            note(static_cast<size_t>(j), "after " + names + ": " + rule.reason + (rule.assumed ? " (assumed)" : ""));
        }
    }
    for (const LimitPair& pair : kPairs) OrderAroundLimits(pair, w, position, &after, note);
    std::vector<int> stage(n, 1);
    for (size_t i = 0; i < n; ++i) {
        if (const Operation* o = OperationOf(w[i].ident)) {
            stage[i] = o->stage;
            if (o->stage == 2) note(i, std::string("after the settings: ") + o->reason);
        }
    }

    // Each time, the write of the earliest stage and table place among those
    // whose predecessors are done (the rules hold no cycle; should one
    // appear, the earliest remaining write goes on regardless).
    std::vector<bool> done(n, false);
    std::vector<SettingWrite> ordered;
    for (size_t round = 0; round < n; ++round) {
        size_t best = n;
        bool best_ready = false;
        for (size_t i = 0; i < n; ++i) {
            if (done[i]) continue;
            bool ready = true;
            for (size_t p : after[i]) ready = ready && done[p];
            auto key = [&](size_t k) { return std::make_pair(stage[k], TableIndex(w[k].ident)); };
            if (best == n || (ready && !best_ready) || (ready == best_ready && key(i) < key(best))) {
                best = i;
                best_ready = ready;
            }
        }
        done[best] = true;
        ordered.push_back(w[best]);
        ordered.back().why = why[best];
    }
    w = std::move(ordered);
}

}  // namespace rexf
