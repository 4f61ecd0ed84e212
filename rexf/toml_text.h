// A TOML basic string as the files around a line write it: quotes and
// backslashes escaped, control characters as \uXXXX. Bytes beyond ASCII
// are kept (text the user typed, in UTF-8) or each escaped as the character
// of its value (text from a garbled line, which need not be UTF-8).
#ifndef REXF_TOML_TEXT_H
#define REXF_TOML_TEXT_H

#include <string>

namespace rexf {

enum class NonAscii { kKept, kEscaped };

std::string TomlString(const std::string& text, NonAscii non_ascii = NonAscii::kKept);

}  // namespace rexf

#endif  // REXF_TOML_TEXT_H
