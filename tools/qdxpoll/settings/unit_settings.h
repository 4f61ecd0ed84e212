// What save, diff and restore work out without the line: the differences
// between two units' settings, what a restore takes from its file, and the
// plan of a restore to one unit (what changes, from what to what, in which
// order).
#ifndef QDXPOLL_UNIT_SETTINGS_H
#define QDXPOLL_UNIT_SETTINGS_H

#include <string>
#include <vector>

#include "rexf/settings_file.h"

// "150.0", "absent" or "failed (silent)".
std::string SettingText(const rexf::SavedSetting& s);
// "ch 1 S1"
std::string SettingName(int channel, const std::string& ident);

// An identifier two units' settings do not agree on.
struct SettingDifference {
    int channel = 1;
    std::string ident, meaning;
    rexf::SavedSetting a, b;
};

struct SettingsComparison {
    std::vector<SettingDifference> differ;
    int compared = 0;
    // Identifiers of the channels both sides have that could not be
    // compared: a failed read on either side, or one side without them.
    std::vector<std::string> not_compared;
    bool failures = false;  // some of them because a read failed
    std::vector<int> channels;  // the channels compared
};

// Compares the channels both sides have, identifier by identifier, at the
// unit's resolution; an identifier one unit lacks (absent) differs from any
// value. Only the settings (read/write identifiers) unless read_only too:
// measured values, states and monitors differ between any two live units.
SettingsComparison CompareSettings(const rexf::UnitSettings& a, const rexf::UnitSettings& b, bool read_only);

// What a restore takes from its file before any unit is read.
struct RestoreScope {
    std::vector<rexf::SavedSetting> writes;  // writable values, within --only
    std::vector<std::string> read_only;      // not written: read-only
    std::vector<std::string> operations;     // not written: they operate the unit (unless --only names them)
    // Not written: the manuals at hand do not describe them, so nothing says
    // what writing them does (unless --only names them, or --all).
    std::vector<std::string> undescribed;
    std::vector<std::string> absent_in_file, failed_in_file;  // no value to write
};

// The restore's part of the file; `only` (identifiers, empty for all) must
// name writable identifiers the file holds values of; `undescribed`: the
// identifiers the manuals at hand do not describe too (--all). False with
// *why set.
bool ScopeOfRestore(const rexf::UnitSettings& file, const std::vector<std::string>& only, bool undescribed,
                    RestoreScope* scope, std::string* why);

struct RestoreStep {
    int channel = 1;
    std::string ident, meaning;
    std::string from;      // the unit's value now, or "?" when it could not be read
    std::string to;        // the value to write, as text
    std::string why;       // the order rule that places it after others
    std::string warning;   // a refusal foreseen, or a value the write would leave outside its limits
    bool unsound = false;  // the latter: the plan is not carried out
    int line = 0;          // in the file
};

struct RestorePlan {
    std::vector<RestoreStep> steps;      // in writing order
    std::vector<std::string> unchanged;  // "ch 1 P1"
    std::vector<std::string> absent;     // the unit lacks them (EOT)
    // Present values the plan needs but could not read ("ch 1 S1"): such a
    // plan is not carried out, as its order and its checks rest on them.
    std::vector<std::string> unknown;
};

// The plan for a unit whose values now are `now` (as read: values, absent
// or failed): every write whose value differs at the unit's resolution, in
// the unit model's write order, channel by channel.
RestorePlan PlanRestore(const RestoreScope& scope, const rexf::UnitSettings& now);

// What a limit among idents is placed by, beyond idents: the other limit of
// its pair and the values the unit keeps within them (SH and S1 for SL). A
// restore of a limit reads them too, to plan around them.
std::vector<std::string> ValuesAroundLimits(const std::vector<std::string>& idents);

// "S1,P1, sl": identifiers of the unit model, upper-cased; false with *why.
bool ParseIdentifierList(const std::string& text, std::vector<std::string>* ids, std::string* why);

// Whether a diff side names a live unit ("01", "2") rather than a file.
bool IsUnitArgument(const std::string& text, int* unit);

#endif  // QDXPOLL_UNIT_SETTINGS_H
