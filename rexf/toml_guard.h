// Bounds on a TOML text, checked before the TOML parser sees it. The parser
// recurses for each level of a key path and of nested arrays and inline
// tables, so a short file of deep ones runs it off its stack; and a NUL in a
// string would be cut off in silence wherever the string is taken as C text.
// The check only reads: it follows strings, comments, keys and brackets as
// TOML writes them, builds nothing, and holds for any bytes. Every reader of
// a TOML file calls it first (settings files, rexfsim's unit files, the line
// file).
#ifndef REXF_TOML_GUARD_H
#define REXF_TOML_GUARD_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace rexf {

struct TomlBounds {
    std::size_t max_bytes = 1 << 20;
    // Levels of a key path from the root: a table header's keys, then the
    // dotted keys under it and those of the inline tables in its values.
    int max_key_depth = 8;
    // Arrays and inline tables inside each other.
    int max_nesting = 8;
};

// Where a text is refused and why. Line and column count from 1; columns
// count characters (UTF-8 sequences), as an editor shows them.
struct TomlRefusal {
    int line = 0;
    int column = 0;
    std::string message;
};

// The first place where `text` goes beyond `bounds` or holds a NUL (as a
// byte, or escaped in a string: \u0000, \U00000000, \x00); nothing when it
// keeps within them.
std::optional<TomlRefusal> CheckTomlBounds(std::string_view text, const TomlBounds& bounds = TomlBounds{});

}  // namespace rexf

#endif
