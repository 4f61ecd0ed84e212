// A unit's settings file through the reader that qdxpoll's save, diff and
// restore use (rexf::ParseSettings, bounds first), and its contradictions.
//
// Input: the file's bytes.
// Checks: no crash and no sanitizer finding on any bytes (the parser never
// sees a text beyond the bounds); a text refused is named by the file and
// a line; a text read holds a channel, and every entry is one of the 79
// identifiers on one of the file's channels, from a line of the file, with
// a value within the driver's value text; every contradiction names the
// lines of its two settings.
#include <stddef.h>
#include <stdint.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "fuzz_support.h"
#include "rexf/settings_file.h"
#include "rexf/unit_model.h"

namespace {

const char kName[] = "f.toml";

int LineCount(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1; }

void CheckRead(const rexf::UnitSettings& settings, int lines) {
    FUZZ_CHECK(!settings.channels.empty());
    FUZZ_CHECK(settings.unit >= 0 && settings.unit <= 99);
    for (const rexf::SavedSetting& s : settings.settings) {
        FUZZ_CHECK(rexf::FindIdentifierModel(s.ident) != nullptr);
        FUZZ_CHECK(std::find(settings.channels.begin(), settings.channels.end(), s.channel) !=
                   settings.channels.end());
        FUZZ_CHECK(s.line >= 1 && s.line <= lines);
        if (s.state == rexf::SettingState::kValue)
            FUZZ_CHECK(std::isfinite(s.value) && s.value > -1000.0 && s.value < 10000.0);
    }
    for (const rexf::SettingsContradiction& c : rexf::FindContradictions(settings)) {
        FUZZ_CHECK(c.line >= 1 && c.line <= lines);
        FUZZ_CHECK(c.other_line >= 1 && c.other_line <= lines);
        FUZZ_CHECK(!c.what.empty());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    rexf::UnitSettings settings;
    std::string error;
    if (rexf::ParseSettings(text, kName, &settings, &error)) {
        CheckRead(settings, LineCount(text));
    } else {
        FUZZ_CHECK(error.rfind(std::string(kName) + ":", 0) == 0);
    }
    return 0;
}
