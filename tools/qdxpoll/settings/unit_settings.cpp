#include "settings/unit_settings.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>
#include <sstream>

#include <fmt/format.h>

#include "rexf/unit_model.h"
#include "rexf/write_order.h"

using rexf::SavedSetting;
using rexf::SettingState;
using rexf::UnitSettings;

namespace {

std::vector<std::string> WordsOf(const char* text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

bool Has(const std::vector<int>& list, int value) { return std::find(list.begin(), list.end(), value) != list.end(); }

bool Writable(const std::string& ident) {
    const rexf::IdentifierModel* m = rexf::FindIdentifierModel(ident);
    return m != nullptr && m->access == rexf::Access::kReadWrite;
}

// The identifiers of one channel of either side, in table order.
std::vector<std::string> IdentifiersOf(const UnitSettings& a, const UnitSettings& b, int channel) {
    std::vector<std::string> ids;
    size_t count = 0;
    const rexf::IdentifierModel* models = rexf::IdentifierModels(&count);
    for (size_t i = 0; i < count; ++i)
        if (a.Find(channel, models[i].ident) || b.Find(channel, models[i].ident)) ids.push_back(models[i].ident);
    return ids;
}

std::vector<std::string> IdentsOf(const std::vector<rexf::SettingWrite>& writes) {
    std::vector<std::string> idents;
    for (const rexf::SettingWrite& w : writes) idents.push_back(w.ident);
    return idents;
}

// The values of one channel as the writes go: the unit's present ones
// (where known), each write applied in turn. After each write, what lies
// outside the limits then in force is the plan's warning: a value written
// outside them is refused by the unit; a limit written past a value the
// unit holds would leave the unit unsound (or make it move the value).
class ChannelAsWritten {
public:
    ChannelAsWritten(const UnitSettings& now, int channel, const std::vector<rexf::SettingWrite>& writes) {
        for (const SavedSetting& s : now.settings)
            if (s.channel == channel && s.state == SettingState::kValue) held_[s.ident] = s.value;
        for (const rexf::SettingWrite& w : writes) planned_.push_back(w.ident);
    }

    void Apply(const rexf::SettingWrite& w, RestoreStep* step) {
        held_[w.ident] = w.to;
        size_t count = 0;
        const rexf::LimitPair* pairs = rexf::LimitPairs(&count);
        for (size_t i = 0; i < count; ++i) {
            const rexf::LimitPair& pair = pairs[i];
            const auto low = Held(pair.low), high = Held(pair.high);
            if (!low || !high) continue;
            const bool limit = w.ident == pair.low || w.ident == pair.high;
            const std::string range = fmt::format("{}..{} ({}..{})", pair.low, pair.high, rexf::ValueText(*low, 1),
                                                  rexf::ValueText(*high, 1));
            for (const std::string& within : WordsOf(pair.within)) {
                const auto v = Held(within);
                if (!v || (*v >= *low && *v <= *high)) continue;
                if (within == w.ident) {
                    step->warning = "outside " + range + " in force then: the unit will refuse it";
                } else if (limit && std::find(planned_.begin(), planned_.end(), within) == planned_.end()) {
                    step->warning = fmt::format("{} = {} (not written) would lie outside {} after it: a unit may "
                                                "refuse the write or move {}",
                                                within, rexf::ValueText(*v, 1), range, within);
                    step->unsound = true;
                }
            }
        }
    }

private:
    std::optional<double> Held(const std::string& ident) const {
        const auto it = held_.find(ident);
        return it == held_.end() ? std::nullopt : std::optional<double>(it->second);
    }
    std::map<std::string, double> held_;
    std::vector<std::string> planned_;  // the plan's writes (the order keeps them within the limits)
};

// The other limit of a limit written, and the values within them, must be
// known, or the plan cannot tell whether the write would pass them: each
// one unread is named.
void NeededForLimits(const UnitSettings& now, int channel, const std::vector<rexf::SettingWrite>& writes,
                     std::vector<std::string>* unknown) {
    for (const std::string& ident : ValuesAroundLimits(IdentsOf(writes))) {
        const SavedSetting* held = now.Find(channel, ident);
        if (held == nullptr || held->state != SettingState::kValue)
            unknown->push_back(SettingName(channel, ident) + " (needed to place the limits written)");
    }
}

}  // namespace

std::vector<std::string> ValuesAroundLimits(const std::vector<std::string>& idents) {
    std::vector<std::string> around;
    auto add = [&](const std::string& ident) {
        if (std::find(idents.begin(), idents.end(), ident) == idents.end() &&
            std::find(around.begin(), around.end(), ident) == around.end())
            around.push_back(ident);
    };
    size_t count = 0;
    const rexf::LimitPair* pairs = rexf::LimitPairs(&count);
    for (size_t i = 0; i < count; ++i) {
        const bool named = std::find(idents.begin(), idents.end(), pairs[i].low) != idents.end() ||
                           std::find(idents.begin(), idents.end(), pairs[i].high) != idents.end();
        if (!named) continue;
        add(pairs[i].low);
        add(pairs[i].high);
        for (const std::string& word : WordsOf(pairs[i].within)) add(word);
    }
    return around;
}

std::string SettingText(const SavedSetting& s) {
    switch (s.state) {
        case SettingState::kValue: return rexf::ValueText(s.value, s.places);
        case SettingState::kAbsent: return "absent";
        case SettingState::kFailed: return "failed (" + s.cause + ")";
    }
    return "?";
}

std::string SettingName(int channel, const std::string& ident) { return fmt::format("ch {} {}", channel, ident); }

SettingsComparison CompareSettings(const UnitSettings& a, const UnitSettings& b, bool read_only) {
    SettingsComparison c;
    for (int channel : a.channels) {
        if (!Has(b.channels, channel) || Has(c.channels, channel)) continue;
        c.channels.push_back(channel);
        for (const std::string& ident : IdentifiersOf(a, b, channel)) {
            if (!read_only && !Writable(ident)) continue;
            const SavedSetting* x = a.Find(channel, ident);
            const SavedSetting* y = b.Find(channel, ident);
            const std::string name = SettingName(channel, ident);
            if (x == nullptr || y == nullptr) {
                c.not_compared.push_back(name + ": only in " + (x ? "A" : "B"));
                continue;
            }
            if (x->state == SettingState::kFailed || y->state == SettingState::kFailed) {
                c.not_compared.push_back(name + ": A " + SettingText(*x) + ", B " + SettingText(*y));
                c.failures = true;
                continue;
            }
            ++c.compared;
            const bool same = x->state == y->state &&
                              (x->state == SettingState::kAbsent ||
                               rexf::SameAtUnitResolution(ident, x->value, x->places, y->value, y->places));
            if (!same) c.differ.push_back({channel, ident, x->meaning.empty() ? y->meaning : x->meaning, *x, *y});
        }
    }
    return c;
}

bool ScopeOfRestore(const UnitSettings& file, const std::vector<std::string>& only, bool undescribed,
                    RestoreScope* scope, std::string* why) {
    RestoreScope out;
    for (const std::string& ident : only) {
        if (!Writable(ident)) {
            *why = "--only " + ident + ": " + ident + " is read-only; restore writes read/write identifiers";
            return false;
        }
        bool held = false;
        for (const SavedSetting& s : file.settings) held = held || (s.ident == ident && s.state == SettingState::kValue);
        if (!held) {
            *why = "--only " + ident + ": the file holds no value of " + ident;
            return false;
        }
    }
    for (const SavedSetting& s : file.settings) {
        const bool named = std::find(only.begin(), only.end(), s.ident) != only.end();
        if (!only.empty() && !named) continue;
        const std::string name = SettingName(s.channel, s.ident);
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(s.ident);
        if (!Writable(s.ident))
            out.read_only.push_back(name);
        else if (!m->documented && !named && !undescribed)
            out.undescribed.push_back(name);
        else if (s.state == SettingState::kAbsent)
            out.absent_in_file.push_back(name);
        else if (s.state == SettingState::kFailed)
            out.failed_in_file.push_back(name + " (" + s.cause + ")");
        else if (rexf::OperationReason(s.ident) != nullptr && !named)
            out.operations.push_back(name);
        else
            out.writes.push_back(s);
    }
    *scope = std::move(out);
    return true;
}

RestorePlan PlanRestore(const RestoreScope& scope, const UnitSettings& now) {
    RestorePlan plan;
    std::map<int, std::vector<rexf::SettingWrite>> by_channel;
    std::map<std::pair<int, std::string>, const SavedSetting*> wanted;
    std::vector<const SavedSetting*> unchanged;
    auto add = [&](const SavedSetting& s, const SavedSetting* held) {
        rexf::SettingWrite w;
        w.ident = s.ident;
        w.to = s.value;
        w.now_known = held != nullptr && held->state == SettingState::kValue;
        if (w.now_known) w.now = held->value;
        by_channel[s.channel].push_back(w);
        wanted[{s.channel, s.ident}] = &s;
    };
    for (const SavedSetting& s : scope.writes) {
        const SavedSetting* held = now.Find(s.channel, s.ident);
        if (held != nullptr && held->state == SettingState::kAbsent)
            plan.absent.push_back(SettingName(s.channel, s.ident));
        else if (held != nullptr && held->state == SettingState::kValue &&
                 rexf::SameAtUnitResolution(s.ident, s.value, s.places, held->value, held->places))
            unchanged.push_back(&s);
        else
            add(s, held);
    }
    // What a write may reset is written again after it.
    std::map<std::pair<int, std::string>, std::string> rewritten;
    for (const SavedSetting* s : unchanged) {
        std::string cause;
        for (const auto& [key, w] : wanted) {
            const std::vector<std::string> reset = rexf::ResetBy(key.second);
            if (key.first == s->channel && std::find(reset.begin(), reset.end(), s->ident) != reset.end())
                cause = key.second;
        }
        if (cause.empty()) {
            plan.unchanged.push_back(SettingName(s->channel, s->ident));
        } else {
            add(*s, now.Find(s->channel, s->ident));
            rewritten[{s->channel, s->ident}] = "written again: writing " + cause + " may reset it (assumed)";
        }
    }
    for (auto& [channel, writes] : by_channel) {
        rexf::OrderWrites(&writes);
        ChannelAsWritten values(now, channel, writes);
        for (const rexf::SettingWrite& w : writes) {
            const SavedSetting& s = *wanted[{channel, w.ident}];
            const SavedSetting* held = now.Find(channel, w.ident);
            RestoreStep step;
            step.channel = channel;
            step.ident = w.ident;
            step.meaning = s.meaning;
            step.from = held != nullptr && held->state == SettingState::kValue ? SettingText(*held) : "?";
            step.to = rexf::ValueText(s.value, s.places);
            step.why = w.why;
            if (rewritten.count({channel, w.ident})) step.why += "; " + rewritten[{channel, w.ident}];
            step.line = s.line;
            values.Apply(w, &step);
            if (step.from == "?") plan.unknown.push_back(SettingName(channel, w.ident));
            plan.steps.push_back(step);
        }
        NeededForLimits(now, channel, writes, &plan.unknown);
    }
    return plan;
}

bool ParseIdentifierList(const std::string& text, std::vector<std::string>* ids, std::string* why) {
    ids->clear();
    std::string word;
    for (size_t i = 0; i <= text.size(); ++i) {
        const char c = i < text.size() ? text[i] : ',';
        if (c != ',' && c != ' ') {
            word += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            continue;
        }
        if (word.empty()) continue;
        if (rexf::FindIdentifierModel(word) == nullptr) {
            *why = "\"" + word + "\" is not an identifier ('qdxpoll identifiers' lists them)";
            return false;
        }
        if (std::find(ids->begin(), ids->end(), word) == ids->end()) ids->push_back(word);
        word.clear();
    }
    if (ids->empty()) {
        *why = "no identifiers given; e.g. S1,P1,I1";
        return false;
    }
    return true;
}

bool IsUnitArgument(const std::string& text, int* unit) {
    if (text.empty() || text.size() > 2) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    *unit = std::stoi(text);
    return true;
}
