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
    {"SL SH", "S1", "the set value must lie within SL..SH (IMR01H02 p.57)", false, false},
    {"XA", "A1 HA WA NA OA",
     "the alarm 1 type says what its set value is (a deviation from S1 or a process value), and so its range; "
     "the other alarm 1 settings belong to that type",
     true, false},
    {"XB", "A2 HB WB NB OB TG", "the same for alarm 2 (TG delays alarm 2)", true, false},
    {"SR J1", "G1", "autotuning runs only on a unit in RUN and in auto mode", true, false},
};

const LimitPair kPairs[] = {
    {"SL", "SH", "a unit keeps its setting limiters in order, SL at or below SH", true},
    {"OL", "OH", "a unit keeps its output limiters in order, OL at or below OH", true},
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
    for (const LimitPair& pair : kPairs) {
        const int low = position(pair.low), high = position(pair.high);
        if (low < 0 || high < 0) continue;
        // Raising the low limit above the high one in force would be refused:
        // then the high limit goes first.
        const SettingWrite& h = w[static_cast<size_t>(high)];
        const bool low_first = !h.now_known || w[static_cast<size_t>(low)].to <= h.now;
        const size_t first = static_cast<size_t>(low_first ? low : high);
        const size_t second = static_cast<size_t>(low_first ? high : low);
        after[second].push_back(first);
        note(second, "after " + w[first].ident + ", which widens the range first: " + pair.reason +
                         (pair.assumed ? " (assumed)" : ""));
    }
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
