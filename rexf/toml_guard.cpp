#include "rexf/toml_guard.h"

#include <cstring>

namespace rexf {
namespace {

// The line and column of a byte of the text.
TomlRefusal RefusalAt(std::string_view text, std::size_t index, const std::string& message) {
    TomlRefusal r;
    r.line = 1;
    r.column = 1;
    r.message = message;
    for (std::size_t i = 0; i < index && i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++r.line;
            r.column = 1;
        } else if ((c & 0xC0) != 0x80) {  // not a UTF-8 continuation byte
            ++r.column;
        }
    }
    return r;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads the text once, as the parser will, counting key levels and
// nesting. The first refusal stops it (a thrown TomlRefusal). The nesting
// it recurses through is bounded before each step down.
class Scanner {
public:
    Scanner(std::string_view text, const TomlBounds& bounds) : text_(text), bounds_(bounds) {}

    void Document() {
        int header_depth = 0;
        while (true) {
            SkipBlank(true);
            if (AtEnd()) return;
            const std::size_t before = pos_;
            if (Peek() == '[') {
                header_depth = TableHeader();
            } else {
                KeyValue(header_depth, 0, "=\n");
            }
            if (pos_ == before) TakeBare();  // text that is no TOML: the parser refuses it
        }
    }

private:
    bool AtEnd() const { return pos_ >= text_.size(); }
    char Peek(std::size_t ahead = 0) const { return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0'; }
    bool Starts(const char* s) const { return text_.substr(pos_, std::strlen(s)) == s; }

    [[noreturn]] void Refuse(std::size_t at, const std::string& message) const {
        throw RefusalAt(text_, at, message);
    }

    static bool Ascii(char c) { return static_cast<unsigned char>(c) < 0x80; }

    // One character outside strings and comments, where TOML has ASCII
    // only. (The parser's whitespace test also goes astray on some others,
    // such as '°': it must never see them there.)
    void TakeBare() {
        if (!Ascii(Peek())) Refuse(pos_, "a character beyond ASCII outside a string or a comment");
        ++pos_;
    }

    // Blanks and comments; newlines too where the grammar allows them.
    void SkipBlank(bool newlines) {
        while (!AtEnd()) {
            const char c = Peek();
            if (c == ' ' || c == '\t' || c == '\r' || (newlines && c == '\n')) {
                ++pos_;
            } else if (c == '#') {
                while (!AtEnd() && Peek() != '\n') ++pos_;
            } else {
                return;
            }
        }
    }

    // "[a.b]" or "[[a.b]]": the depth of the keys under it.
    int TableHeader() {
        const std::size_t start = pos_;
        ++pos_;
        if (Peek() == '[') ++pos_;
        const int depth = KeyPath("]\n");
        CheckKeyDepth(start, depth);
        while (Peek() == ']') ++pos_;
        return depth;
    }

    // "a.b.c = value" at `depth` levels below the root.
    void KeyValue(int depth, int nesting, const char* key_ends) {
        const std::size_t start = pos_;
        const int parts = KeyPath(key_ends);
        CheckKeyDepth(start, depth + parts);
        if (Peek() != '=') return;
        ++pos_;
        Value(depth + parts, nesting);
    }

    // The parts of a dotted key, up to one of `ends` (not consumed).
    int KeyPath(const char* ends) {
        int parts = 1;
        while (!AtEnd()) {
            SkipBlank(false);
            const char c = Peek();
            if (c == '\0' || c == '#' || std::strchr(ends, c) != nullptr) break;
            // No key is a multi-line string, but the parser reads one whole
            // before it says so, line-ending backslashes and all.
            if (Starts("\"\"\"") || Starts("'''"))
                Refuse(pos_, "a multi-line string where a key belongs: a key is one line");
            if (c == '"') {
                BasicString(false);
            } else if (c == '\'') {
                LiteralString(false);
            } else {
                if (c == '.') ++parts;
                TakeBare();
            }
        }
        return parts;
    }

    void CheckKeyDepth(std::size_t at, int depth) const {
        if (depth > bounds_.max_key_depth)
            Refuse(at, "a key path of " + std::to_string(depth) + " levels: a file here holds at most " +
                           std::to_string(bounds_.max_key_depth));
    }

    void CheckNesting(int nesting) const {
        if (nesting > bounds_.max_nesting)
            Refuse(pos_, "arrays and inline tables nested more than " + std::to_string(bounds_.max_nesting) +
                             " deep");
    }

    void Value(int depth, int nesting) {
        SkipBlank(false);
        if (Starts("\"\"\"")) return BasicString(true);
        if (Starts("'''")) return LiteralString(true);
        switch (Peek()) {
            case '"': return BasicString(false);
            case '\'': return LiteralString(false);
            case '[': return Container(depth, nesting + 1, ']');
            case '{': return Container(depth, nesting + 1, '}');
            default: break;
        }
        // A number, a date, a boolean: up to what ends a value. A blank
        // between two digits parts a date from its time.
        while (!AtEnd()) {
            const bool date_and_time = Peek() == ' ' && pos_ > 0 && IsDigit(text_[pos_ - 1]) && IsDigit(Peek(1));
            if (!date_and_time && std::strchr(" \t\r\n#,]}", Peek()) != nullptr) break;
            TakeBare();
        }
    }

    // An array (items) or an inline table (key = value pairs), up to `close`.
    // Newlines are followed inside both, so that no nesting goes uncounted.
    void Container(int depth, int nesting, char close) {
        CheckNesting(nesting);
        ++pos_;
        while (true) {
            SkipBlank(true);
            if (AtEnd()) return;
            if (Peek() == close) {
                ++pos_;
                return;
            }
            const std::size_t before = pos_;
            if (Peek() == ',') {
                ++pos_;
            } else if (close == ']') {
                Value(depth, nesting);
            } else {
                KeyValue(depth, nesting, "=,}\n");
            }
            if (pos_ == before) TakeBare();
        }
    }

    // A "..." or """...""" string, from its opening quote. Its escapes are
    // read for an escaped NUL.
    void BasicString(bool multiline) {
        pos_ += multiline ? 3 : 1;
        while (!AtEnd()) {
            const char c = Peek();
            if (c == '\\') {
                Escape(multiline);
            } else if (multiline && Starts("\"\"\"")) {
                for (int i = 0; i < 5 && Peek() == '"'; ++i) ++pos_;  // up to two quotes belong to the text
                return;
            } else if (!multiline && (c == '"' || c == '\n')) {
                if (c == '"') ++pos_;
                return;
            } else {
                ++pos_;
            }
        }
    }

    void Escape(bool multiline) {
        const std::size_t start = pos_;
        ++pos_;
        const char kind = Peek();
        if (!Ascii(kind)) Refuse(pos_, "a character beyond ASCII after a backslash: no escape of TOML");
        if (multiline && (kind == ' ' || kind == '\t' || kind == '\r' || kind == '\n')) return LineEndingBackslash();
        const int digits = kind == 'u' ? 4 : kind == 'U' ? 8 : kind == 'x' ? 2 : 0;
        if (AtEnd()) return;
        ++pos_;  // the escaped character: never a closing quote
        if (digits == 0 || pos_ + static_cast<std::size_t>(digits) > text_.size()) return;
        unsigned long value = 0;
        for (int i = 0; i < digits; ++i) {
            const int h = HexValue(text_[pos_ + static_cast<std::size_t>(i)]);
            if (h < 0) return;  // no escape the parser takes: it refuses it
            value = value * 16 + static_cast<unsigned long>(h);
        }
        if (value == 0)
            Refuse(start, "an escaped NUL (" + std::string(text_.substr(start, 2 + static_cast<std::size_t>(digits))) +
                              ") in a string: no text here holds one");
    }

    // A backslash at the end of a line of a multi-line string: the blanks and
    // line breaks after it are dropped. The parser tests the first other
    // character as whitespace, which goes astray beyond ASCII (a valid text,
    // refused for that alone).
    void LineEndingBackslash() {
        while (!AtEnd() && std::strchr(" \t\r\n", Peek()) != nullptr) ++pos_;
        if (!AtEnd() && !Ascii(Peek()))
            Refuse(pos_, "a character beyond ASCII first after a line-ending backslash: begin the line with an ASCII "
                         "one");
    }

    // A '...' or '''...''' string: no escapes.
    void LiteralString(bool multiline) {
        pos_ += multiline ? 3 : 1;
        while (!AtEnd()) {
            if (multiline && Starts("'''")) {
                for (int i = 0; i < 5 && Peek() == '\''; ++i) ++pos_;
                return;
            }
            const char c = Peek();
            if (!multiline && (c == '\'' || c == '\n')) {
                if (c == '\'') ++pos_;
                return;
            }
            ++pos_;
        }
    }

    std::string_view text_;
    const TomlBounds& bounds_;
    std::size_t pos_ = 0;
};

}  // namespace

std::optional<TomlRefusal> CheckTomlBounds(std::string_view text, const TomlBounds& bounds) {
    if (text.size() > bounds.max_bytes)
        return RefusalAt(text, bounds.max_bytes,
                         "the text goes on beyond " + std::to_string(bounds.max_bytes) + " bytes, more than a file "
                         "here holds");
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) return RefusalAt(text, nul, "a NUL character: no text here holds one");
    try {
        Scanner(text, bounds).Document();
    } catch (const TomlRefusal& refusal) {
        return refusal;
    }
    return std::nullopt;
}

}  // namespace rexf
