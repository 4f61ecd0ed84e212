// A unit's settings as a file: what qdxpoll saves (every identifier of one
// unit, with its value, raw text, meaning and access), what qdxpoll restores
// and compares, and what rexfsim starts a unit from. The file is TOML:
//
//   [unit]
//   address = 1
//   channels = [1]
//   saved = 2026-12-08T14:05:01Z
//   ...
//   [channel.1]
//   S1 = { value = 150.0, raw = "0150.0", access = "read/write", meaning = "set value (SV), within SL..SH" }
//   M2 = { absent = true, ... }           the unit answered EOT
//   AV = { failed = "silent", ... }       no valid reply, with its cause
//
// Reading checks every entry against the unit model and names the file's
// line of the first one that does not hold.
#ifndef REXF_SETTINGS_FILE_H
#define REXF_SETTINGS_FILE_H

#include <string>
#include <vector>

namespace rexf {

enum class SettingState { kValue, kAbsent, kFailed };

struct SavedSetting {
    int channel = 1;
    std::string ident;
    SettingState state = SettingState::kValue;
    double value = 0;
    int places = 0;        // decimals of the value as the unit sent it (or as the file gives it)
    std::string raw;       // the six characters the unit sent; "" when none
    std::string cause;     // failed: the cause code (silent, nak, bad_bcc, ...)
    std::string meaning;   // from the unit model
    std::string access;    // "read-only" or "read/write"
    int line = 0;          // the file's line it came from; 0 when read from a unit
};

struct UnitSettings {
    int unit = 0;
    std::vector<int> channels;
    std::string saved;  // when, ISO-8601 UTC ("2026-12-08T14:05:01Z")
    std::string port;   // where the unit was read
    std::string line;   // its line settings, "9600,7O2"
    std::string by;     // "qdxpoll 7.0.0.0"
    bool complete = true;  // false: some identifiers failed
    std::vector<SavedSetting> settings;  // by channel, then in the identifier table's order

    const SavedSetting* Find(int channel, const std::string& ident) const;
};

// The value of a unit's six characters of value text ("0150.0", " -24.5")
// and the decimals it carries; false for text that is no number.
bool ValueOfRaw(const std::string& raw, double* value, int* places);

// The value as text with its decimals: "150.0", "120", "-5.25".
std::string ValueText(double value, int places);

// Whether two values are the same at the resolution the unit keeps for the
// identifier: the unit model's decimals; for an identifier the manuals do
// not describe, the finer of those and the values' own decimals.
bool SameAtUnitResolution(const std::string& ident, double a, int a_places, double b, int b_places);

// The meaning and access of an identifier, from the unit model.
SavedSetting DescribedSetting(int channel, const std::string& ident);

// The TOML text of the settings.
std::string SettingsToml(const UnitSettings& settings);

// Reads settings from TOML text; `name` is the file's name for messages.
// False, with *error = "NAME:LINE: what is wrong", for text beyond the
// bounds of a settings file (CheckTomlBounds; "NAME:LINE:COLUMN: ..."), no TOML,
// an entry that is not an identifier's, a value that does not fit the
// driver's six-character value text (-999.9 .. 9999.9), or a value edited by
// hand (not the one its raw text gives) outside the identifier's range.
bool ParseSettings(const std::string& text, const std::string& name, UnitSettings* settings, std::string* error);

// Settings a unit cannot hold together, on one channel: a limiter pair out
// of order (SL above SH, OL above OH), or a set value outside the same
// file's SL..SH. Written as they stand, they would leave a unit unsound or
// be refused part way; a restore refuses such a file before it begins.
struct SettingsContradiction {
    int channel = 1;
    int line = 0;        // the file's line of the setting named first; 0 when not from a file
    int other_line = 0;  // the file's line of the one it contradicts
    std::string what;    // "SL = 300.0 is above SH = 100.0 (line 62): a unit keeps ..."
};

// Every contradiction among the values of the settings, compared at the
// unit's resolution, in the file's line order. Absent and failed entries
// contradict nothing.
std::vector<SettingsContradiction> FindContradictions(const UnitSettings& settings);

// Reads a settings file. False with *error set; *unreadable tells a file
// that cannot be read from one whose content is wrong.
bool LoadSettingsFile(const std::string& path, UnitSettings* settings, std::string* error, bool* unreadable);

}  // namespace rexf

#endif
