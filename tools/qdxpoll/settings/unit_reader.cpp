#include "settings/unit_reader.h"

#include <chrono>
#include <cstdio>
#include <map>

#include <fmt/format.h>

#include "platform/platform.h"
#include "rexf/unit_model.h"

namespace {

// Identifiers in a row without a valid reply (an EOT is one): the unit has
// gone (unplugged, powered off) or its line is broken, and waiting out every
// identifier left would take minutes.
constexpr int kFailedInARow = 3;

bool Silent(const Reading& r) { return r.status == "silent" || r.status == "no_reply"; }

rexf::SavedSetting FromReading(int channel, const std::string& ident, const Reading& r) {
    rexf::SavedSetting s = rexf::DescribedSetting(channel, ident);
    if (r.ok) {
        s.raw = r.raw;
        if (!rexf::ValueOfRaw(r.raw, &s.value, &s.places)) {
            // Text the driver reads but the unit model does not (or no view
            // of the wire): the driver's value at the model's decimals.
            const rexf::IdentifierModel* m = rexf::FindIdentifierModel(ident);
            s.places = m != nullptr ? m->decimals : 1;
            s.value = rexf::CutToDecimals(r.value.number, s.places);
        }
    } else if (r.status == "eot") {
        s.state = rexf::SettingState::kAbsent;
    } else {
        s.state = rexf::SettingState::kFailed;
        s.cause = r.status;
    }
    return s;
}

}  // namespace

bool ParseChannelOption(const std::string& text, std::vector<int>* channels, bool* all, std::string* why) {
    channels->clear();
    *all = text == "all";
    if (*all) return true;
    if (text.size() == 1 && text[0] >= '0' && text[0] <= '8') {
        channels->push_back(text[0] - '0');
        return true;
    }
    *why = "--channel takes a channel 0-8, or all (every channel that answers M1)";
    return false;
}

namespace {

// M1, which every unit has, first: is the unit there, on which channels.
// Its readings are kept in *first. False when the read ends here (Ctrl-C,
// or the unit not there), with *out saying why.
bool FindChannels(UnitAccess& line, int unit, const std::vector<int>& channels, bool all_channels, UnitRead* out,
                  std::map<int, Reading>* first) {
    rexf::UnitSettings& s = out->settings;
    for (int channel : channels) {
        const Reading r = line.Read(unit, channel, "M1");
        if (r.status == "interrupted" || Interrupted()) {
            out->interrupted = true;
            return false;
        }
        if (!Silent(r) && r.status != "eot") {
            s.channels.push_back(channel);
            (*first)[channel] = r;
        } else if (!all_channels) {
            out->answered = false;
            out->failure = r.status == "eot"
                               ? fmt::format("unit {:02d} has no channel {}: it answers EOT to M1", unit, channel)
                               : r.error;
            out->hint = r.status == "eot" ? "give another --channel, or --channel all" : r.hint;
            return false;
        }
    }
    if (!s.channels.empty()) return true;
    out->answered = false;
    out->failure = fmt::format("unit {:02d} answers M1 on none of the channels 0-8", unit);
    out->hint = "check the unit address ('qdxpoll scan M1') and the line settings ('qdxpoll probe')";
    return false;
}

// Every identifier of the channels found, or those of `only` there.
std::vector<std::pair<int, std::string>> PointsOfChannels(const std::vector<int>& channels,
                                                          const std::vector<std::pair<int, std::string>>& only) {
    std::vector<std::pair<int, std::string>> points;
    size_t count = 0;
    const rexf::IdentifierModel* models = rexf::IdentifierModels(&count);
    for (int channel : channels) {
        if (only.empty()) {
            for (size_t i = 0; i < count; ++i) points.emplace_back(channel, models[i].ident);
        } else {
            for (const auto& p : only)
                if (p.first == channel) points.push_back(p);
        }
    }
    return points;
}

// A unit that stopped answering well, or a port lost (`lost` its cause):
// the points after `last` are marked failed, not read.
void GiveUp(int unit, const std::vector<std::pair<int, std::string>>& points, size_t last, const Reading& r,
            const std::string& lost, UnitRead* out) {
    out->failure = lost.empty() ? fmt::format("unit {:02d} stopped answering well: {} identifiers in a row failed, "
                                              "up to {} ({}); the {} after it were not read",
                                              unit, kFailedInARow, points[last].second, r.status,
                                              points.size() - last - 1)
                                : fmt::format("the port was lost ({}) at {} of unit {:02d}; the {} after it were not "
                                              "read",
                                              lost, points[last].second, unit, points.size() - last - 1);
    out->hint = !lost.empty() || Silent(r) ? "check the unit's power and the wiring, then save again" : r.hint;
    for (size_t j = last + 1; j < points.size(); ++j) {
        rexf::SavedSetting rest = rexf::DescribedSetting(points[j].first, points[j].second);
        rest.state = rexf::SettingState::kFailed;
        rest.cause = "not_read";
        out->settings.settings.push_back(rest);
        ++out->failed;
    }
}

// Reads each point once (M1 as found already), counting what it gave.
void ReadPoints(UnitAccess& line, int unit, const std::vector<std::pair<int, std::string>>& points,
                std::map<int, Reading>& first, UnitRead* out) {
    const bool progress = StderrIsTerminal();
    int failed_in_a_row = 0;
    for (size_t i = 0; i < points.size(); ++i) {
        const auto& [channel, ident] = points[i];
        if (progress) std::fprintf(stderr, "\rreading unit %02d: %zu of %zu ", unit, i + 1, points.size());
        const bool known = ident == "M1" && first.count(channel) != 0;
        const Reading r = known ? first[channel] : line.Read(unit, channel, ident);
        if (r.status == "interrupted" || Interrupted()) {
            out->interrupted = true;
            break;
        }
        const rexf::SavedSetting setting = FromReading(channel, ident, r);
        out->settings.settings.push_back(setting);
        if (setting.state == rexf::SettingState::kValue) ++out->values;
        if (setting.state == rexf::SettingState::kAbsent) ++out->absent;
        if (setting.state == rexf::SettingState::kFailed && out->failed++ == 0) {
            out->failure = r.error;
            out->hint = r.hint;
        }
        failed_in_a_row = setting.state == rexf::SettingState::kFailed ? failed_in_a_row + 1 : 0;
        // A port that has gone answers nothing more: no further read waits on it.
        std::string lost;
        if (setting.state == rexf::SettingState::kFailed && line.Lost(&lost)) {
            if (i + 1 < points.size()) GiveUp(unit, points, i, r, lost, out);
            out->lost = true;
            break;
        }
        if (failed_in_a_row >= kFailedInARow && i + 1 < points.size()) {
            GiveUp(unit, points, i, r, "", out);
            break;
        }
    }
    if (progress) std::fprintf(stderr, "\r%*s\r", 40, "");
}

}  // namespace

UnitRead ReadUnitSettings(UnitAccess& line, int unit, std::vector<int> channels, bool all_channels,
                          const std::vector<std::pair<int, std::string>>& only) {
    UnitRead out;
    const auto start = std::chrono::steady_clock::now();
    line.Open();
    rexf::UnitSettings& s = out.settings;
    s.unit = unit;
    s.saved = IsoTime(WallClock::now());
    s.port = line.Port();
    s.line = line.Line();
    s.by = "qdxpoll " QDXPOLL_VERSION;
    if (all_channels) channels = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    std::map<int, Reading> first;
    if (FindChannels(line, unit, channels, all_channels, &out, &first))
        ReadPoints(line, unit, PointsOfChannels(s.channels, only), first, &out);
    out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    s.complete = out.failed == 0 && !out.interrupted;
    return out;
}
