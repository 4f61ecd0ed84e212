// TOML basic strings.
#include "rexf/toml_text.h"

#include <cstdio>

namespace rexf {

std::string TomlString(const std::string& text, NonAscii non_ascii) {
    std::string out = "\"";
    for (unsigned char ch : text) {
        const bool beyond_ascii = ch >= 0x80;
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch < 0x20 || ch == 0x7F || (beyond_ascii && non_ascii == NonAscii::kEscaped)) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", ch);
            out += escape;
        } else {
            out += static_cast<char>(ch);
        }
    }
    return out + "\"";
}

}  // namespace rexf
