// qdxpoll save (a unit's settings as TOML) and diff (two units' settings,
// each a saved file or a live unit).
#include <cstdio>
#include <fstream>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "base/exit_codes.h"
#include "base/json_text.h"
#include "commands/commands.h"
#include "commands/settings_commands.h"
#include "readings/output.h"
#include "rexf/unit_model.h"
#include "session/driver_log.h"
#include "session/session.h"
#include "settings/session_unit_access.h"
#include "settings/unit_reader.h"
#include "settings/unit_settings.h"

namespace {

int Failed(int code, const std::string& message, const std::string& hint) {
    std::fflush(stdout);
    ErrorLine("qdxpoll: " + message);
    if (!hint.empty()) ErrorLine("  hint: " + hint);
    return code;
}

std::string Join(const std::vector<std::string>& items, size_t most = 8) {
    std::string text;
    for (size_t i = 0; i < items.size() && i < most; ++i) text += (i ? ", " : "") + items[i];
    if (items.size() > most) text += fmt::format(" and {} more", items.size() - most);
    return text;
}

std::string ChannelList(const std::vector<int>& channels) {
    std::string text;
    for (int c : channels) text += (text.empty() ? "" : ", ") + std::to_string(c);
    return text;
}

// Writes the file whole or not at all: a save that fails half-way never
// leaves a broken file in place of a good one.
void WriteFileAtomically(const std::string& path, const std::string& text) {
    const std::string temporary = path + ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << text;
        out.flush();
        if (!out) throw ToolError(kExitSettingsFileUnreadable, "cannot write " + temporary);
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        throw ToolError(kExitSettingsFileUnreadable, "cannot write " + path);
    }
}

void CheckWritable(const std::string& path) {
    const std::string temporary = path + ".partial";
    std::ofstream probe(temporary, std::ios::binary | std::ios::trunc);
    const bool ok = static_cast<bool>(probe);
    probe.close();
    std::remove(temporary.c_str());
    if (!ok) throw ToolError(kExitSettingsFileUnreadable, "cannot write " + path + " (--output)");
}

int ParseUnit(const std::string& text, const char* command) {
    int unit = 0;
    if (!IsUnitArgument(text, &unit))
        throw ToolError(kExitUsage, std::string(command) + " takes a unit address 0-99, e.g. 01 (not " + text + ")");
    return unit;
}

// The failures of a read that ended without settings; the exit code.
int ReadFailed(const UnitRead& r) {
    if (r.interrupted) return Failed(kExitInterrupted, "interrupted: nothing saved", "the port is closed");
    return Failed(kExitNoReply, r.failure, r.hint);
}

// One side of a diff: a file, or a unit read now.
struct Side {
    std::string label;
    rexf::UnitSettings settings;
};

nlohmann::json ValueJson(const rexf::SavedSetting& s) {
    if (s.state != rexf::SettingState::kValue) return SettingText(s);
    if (s.places == 0) return static_cast<long long>(s.value);
    return s.value;
}

// A live side is read for what is compared: the settings, or everything.
std::vector<std::pair<int, std::string>> PointsToRead(const std::vector<int>& channels, bool all_channels,
                                                      bool read_only) {
    std::vector<std::pair<int, std::string>> points;
    if (read_only) return points;  // every identifier
    size_t count = 0;
    const rexf::IdentifierModel* models = rexf::IdentifierModels(&count);
    const std::vector<int> tried = all_channels ? std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8} : channels;
    for (int channel : tried)
        for (size_t i = 0; i < count; ++i)
            if (models[i].access == rexf::Access::kReadWrite) points.emplace_back(channel, models[i].ident);
    return points;
}

}  // namespace

rexf::UnitSettings LoadSettingsForCommand(const std::string& path) {
    rexf::UnitSettings settings;
    std::string error;
    bool unreadable = false;
    if (!rexf::LoadSettingsFile(path, &settings, &error, &unreadable)) {
        if (unreadable)
            throw ToolError(kExitSettingsFileUnreadable, error,
                            "check the path: the file is one 'qdxpoll save' wrote, or one written like it");
        const bool range = error.find(" is outside ") != std::string::npos;
        throw ToolError(kExitBadSettingsFile, error,
                        range ? "the file's value is what to mend: give a value within the range named, at the "
                                "line named, then run this again"
                              : "mend the file at the line named, then run this again");
    }
    return settings;
}

int SaveCommand(const Options& o, UnitAccess& line) {
    if (o.format != OutputFormat::kText) throw ToolError(kExitUsage, "save writes TOML; --json and --csv go with diff");
    const int unit = ParseUnit(o.unit_text, "save");
    std::vector<int> channels;
    bool all = false;
    std::string why;
    if (!ParseChannelOption(o.channels.empty() ? "1" : o.channels, &channels, &all, &why))
        throw ToolError(kExitUsage, why);
    if (!o.output_file.empty()) CheckWritable(o.output_file);

    const UnitRead r = ReadUnitSettings(line, unit, channels, all);
    if (r.interrupted || !r.answered) return ReadFailed(r);
    // A file without a single value would only take the place of a good one.
    if (r.values == 0)
        return Failed(kExitNoReply, fmt::format("nothing saved: no identifier of unit {:02d} gave a value; the first "
                                                "failure: {}",
                                                unit, r.failure),
                      r.hint);
    const std::string text = rexf::SettingsToml(r.settings);
    if (o.output_file.empty()) {
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
    } else {
        WriteFileAtomically(o.output_file, text);
    }
    std::vector<std::string> absent, failed;
    for (const rexf::SavedSetting& s : r.settings.settings) {
        if (s.state == rexf::SettingState::kAbsent) absent.push_back(s.ident);
        if (s.state == rexf::SettingState::kFailed) failed.push_back(s.ident + " " + s.cause);
    }
    ErrorLine(fmt::format("saved unit {:02d} (channel{} {}){}: {} values, {} absent{}, {} failed, in {:.1f} s", unit,
                          r.settings.channels.size() == 1 ? "" : "s", ChannelList(r.settings.channels),
                          o.output_file.empty() ? "" : " to " + o.output_file, r.values, r.absent,
                          absent.empty() ? "" : " (" + Join(absent) + ")", r.failed, r.seconds));
    if (r.failed > 0)
        return Failed(kExitNoReply,
                      fmt::format("partial save of unit {:02d}: {} of {} identifiers failed ({}); the file marks "
                                  "them failed. The first: {}",
                                  unit, r.failed, r.settings.settings.size(), Join(failed), r.failure),
                      r.hint);
    return kExitOk;
}

namespace {

// The differences as JSON lines, then the summary.
void PrintDiffJson(const SettingsComparison& c, const Side (&sides)[2]) {
    for (const SettingDifference& d : c.differ) {
        nlohmann::json j;
        j["action"] = "diff";
        j["channel"] = d.channel;
        j["identifier"] = d.ident;
        j["meaning"] = d.meaning;
        j["a"] = ValueJson(d.a);
        j["b"] = ValueJson(d.b);
        j["a_text"] = SettingText(d.a);
        j["b_text"] = SettingText(d.b);
        std::printf("%s\n", JsonText(j).c_str());
    }
    nlohmann::json summary;
    summary["time"] = IsoTime(WallClock::now());
    summary["action"] = "summary";
    summary["a"] = sides[0].label;
    summary["b"] = sides[1].label;
    summary["channels"] = c.channels;
    summary["compared"] = c.compared;
    summary["differ"] = c.differ.size();
    summary["not_compared"] = c.not_compared;
    summary["equal"] = c.differ.empty() && c.not_compared.empty();
    std::printf("%s\n", JsonText(summary).c_str());
}

// The differences as a table.
void PrintDiffText(const Options& o, const SettingsComparison& c, const Side (&sides)[2]) {
    std::printf("A: %s\nB: %s\n", sides[0].label.c_str(), sides[1].label.c_str());
    if (c.differ.empty()) {
        std::printf("The same: %d %s compared (channel%s %s).\n", c.compared,
                    o.all_identifiers ? "identifiers" : "settings",
                    c.channels.size() == 1 ? "" : "s", ChannelList(c.channels).c_str());
    } else {
        std::printf("%zu of %d %s differ (channel%s %s):\n", c.differ.size(), c.compared,
                    o.all_identifiers ? "identifiers" : "settings",
                    c.channels.size() == 1 ? "" : "s", ChannelList(c.channels).c_str());
        std::printf("  ch  id  %-16s %-16s %s\n", "A", "B", "meaning");
        for (const SettingDifference& d : c.differ)
            std::printf("  %-3d %-3s %-16s %-16s %s\n", d.channel, d.ident.c_str(), SettingText(d.a).c_str(),
                        SettingText(d.b).c_str(), d.meaning.c_str());
    }
    if (!c.not_compared.empty())
        std::printf("Not compared: %s\n", Join(c.not_compared, c.not_compared.size()).c_str());
}

}  // namespace

int DiffCommand(const Options& o, UnitAccess& line) {
    if (o.format == OutputFormat::kCsv) throw ToolError(kExitUsage, "diff prints text or, with --json, JSON lines");
    Side sides[2];
    const std::string* names[2] = {&o.side_a, &o.side_b};
    int units[2] = {-1, -1};
    std::vector<int> file_channels;
    // Files first: a file that does not read fails before the line is used.
    for (int i = 0; i < 2; ++i) {
        if (IsUnitArgument(*names[i], &units[i])) continue;
        sides[i].settings = LoadSettingsForCommand(*names[i]);
        sides[i].label = fmt::format("unit {:02d} as saved in {}{}", sides[i].settings.unit, *names[i],
                                     sides[i].settings.saved.empty() ? "" : " at " + sides[i].settings.saved);
        if (file_channels.empty()) file_channels = sides[i].settings.channels;
    }
    std::vector<int> channels;
    bool all = false;
    std::string why;
    if (!o.channels.empty()) {
        if (!ParseChannelOption(o.channels, &channels, &all, &why)) throw ToolError(kExitUsage, why);
    } else {
        channels = file_channels.empty() ? std::vector<int>{1} : file_channels;
    }
    for (int i = 0; i < 2; ++i) {
        if (units[i] < 0) continue;
        const UnitRead r = ReadUnitSettings(line, units[i], channels, all,
                                            PointsToRead(channels, all, o.all_identifiers));
        if (r.interrupted) return Failed(kExitInterrupted, "interrupted: nothing compared", "the port is closed");
        if (!r.answered) return ReadFailed(r);
        sides[i].settings = r.settings;
        sides[i].label = fmt::format("unit {:02d} read now on {}", units[i], line.Port());
    }

    const SettingsComparison c = CompareSettings(sides[0].settings, sides[1].settings, o.all_identifiers);
    if (o.format == OutputFormat::kJson)
        PrintDiffJson(c, sides);
    else
        PrintDiffText(o, c, sides);
    std::fflush(stdout);
    if (c.channels.empty())
        return Failed(kExitDiffer,
                      fmt::format("A and B have no channel in common (A: {}; B: {})",
                                  ChannelList(sides[0].settings.channels), ChannelList(sides[1].settings.channels)),
                      "give --channel for a live unit");
    if (c.failures)
        return Failed(kExitNoReply,
                      fmt::format("{} identifiers could not be compared: a read of them failed",
                                  c.not_compared.size()),
                      "save or read them again; 'qdxpoll read' names the cause");
    return c.differ.empty() ? kExitOk : kExitDiffer;
}

int RunSave(Session& session) {
    SessionUnitAccess line(session);
    return SaveCommand(session.options, line);
}

int RunDiff(Session& session) {
    SessionUnitAccess line(session);
    return DiffCommand(session.options, line);
}
