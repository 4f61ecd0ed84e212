#include "unit_file.h"

#include <stdexcept>

#include "rexf/settings_file.h"
#include "rexf/unit_model.h"
#include "words.h"

namespace rexfsim {

bool ParseUnitFileOption(const std::string& text, UnitFileRequest* request, std::string* error) {
    const size_t equals = text.find('=');
    request->unit = -1;
    request->path = text;
    if (equals == std::string::npos) return true;
    if (!ParseUnit(text.substr(0, equals), &request->unit)) {
        *error = "--unit-file takes FILE or UNIT=FILE (UNIT 0..99), not " + text;
        return false;
    }
    request->path = text.substr(equals + 1);
    return true;
}

std::vector<std::string> LoadUnitFile(const UnitFileRequest& request, PointTable* table, int* started,
                                      std::vector<std::string>* contradictions) {
    rexf::UnitSettings file;
    std::string error;
    bool unreadable = false;
    if (!rexf::LoadSettingsFile(request.path, &file, &error, &unreadable)) throw std::runtime_error(error);
    // A unit keeps its limiters in order and its set value within them; a
    // file that says otherwise is still taken, as a test may want such a
    // unit, but said so.
    for (const rexf::SettingsContradiction& c : rexf::FindContradictions(file))
        contradictions->push_back(request.path + ":" + std::to_string(c.line) + ": " + c.what);
    const int unit = request.unit >= 0 ? request.unit : file.unit;
    *started = unit;
    // Every point of the file's channels, options fitted; the file then says
    // which the unit lacks.
    PointTable factory;
    factory.FillDefaults({unit}, file.channels, {unit});
    table->FillDefaults({unit}, file.channels, {unit});
    std::vector<std::string> differ;
    for (const rexf::SavedSetting& s : file.settings) {
        const PointKey key{unit, s.channel, s.ident};
        const Point* before = factory.Find(unit, s.channel, s.ident);
        const rexf::IdentifierModel* m = rexf::FindIdentifierModel(s.ident);
        const bool setting = m != nullptr && m->access == rexf::Access::kReadWrite;
        const std::string factory_text =
            before != nullptr ? rexf::ValueText(before->value, before->model.decimals) : "none";
        const std::string where = "ch " + std::to_string(s.channel) + " " + s.ident;
        if (s.state == rexf::SettingState::kAbsent) {
            table->Remove(key);
            if (setting) differ.push_back(where + " absent (factory " + factory_text + "): " + s.meaning);
        } else if (s.state == rexf::SettingState::kValue) {
            table->SetValue(key, s.value);
            if (setting && (before == nullptr || !rexf::SameAtUnitResolution(s.ident, s.value, s.places, before->value,
                                                                             before->model.decimals)))
                differ.push_back(where + " = " + rexf::ValueText(s.value, s.places) + " (factory " + factory_text +
                                 "): " + s.meaning);
        }
    }
    return differ;
}

}  // namespace rexfsim
