#include "words.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace rexfsim {

bool ParseUnit(const std::string& s, int* unit) {
    if (s.empty() || s.size() > 2) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    *unit = std::atoi(s.c_str());
    return true;
}

bool ParseChannel(const std::string& s, int* channel) {
    if (s.size() != 1 || s[0] < '0' || s[0] > '9') return false;
    *channel = s[0] - '0';
    return true;
}

bool ParseIdent(const std::string& s, std::string* ident) {
    if (s.size() != 2) return false;
    std::string id = s;
    for (char& c : id) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
        if (c <= ' ' || c > '~') return false;
    }
    *ident = id;
    return true;
}

bool SplitWords(const std::string& line, std::vector<std::string>* words,
                std::vector<bool>* quoted, std::string* error) {
    words->clear();
    quoted->clear();
    size_t i = 0;
    const size_t n = line.size();
    while (i < n) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
        } else if (c == '#') {
            break;
        } else if (c == '"') {
            std::string w;
            ++i;
            bool closed = false;
            while (i < n) {
                char d = line[i++];
                if (d == '"') {
                    closed = true;
                    break;
                }
                if (d != '\\') {
                    w += d;
                    continue;
                }
                if (i >= n) break;
                d = line[i++];
                if (d == '\\' || d == '"') {
                    w += d;
                } else if (d == 'x' && i + 2 <= n && std::isxdigit(static_cast<unsigned char>(line[i])) &&
                           std::isxdigit(static_cast<unsigned char>(line[i + 1]))) {
                    w += static_cast<char>(std::strtol(line.substr(i, 2).c_str(), nullptr, 16));
                    i += 2;
                } else {
                    *error = "bad escape in quoted text";
                    return false;
                }
            }
            if (!closed) {
                *error = "unterminated quote";
                return false;
            }
            words->push_back(w);
            quoted->push_back(true);
        } else {
            size_t j = i;
            while (j < n && line[j] != ' ' && line[j] != '\t' && line[j] != '\r' && line[j] != '\n')
                ++j;
            words->push_back(line.substr(i, j - i));
            quoted->push_back(false);
            i = j;
        }
    }
    return true;
}

std::string Escape(const std::string& bytes) {
    std::string out;
    char hex[8];
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            out += static_cast<char>(c);
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else {
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string Number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

}  // namespace rexfsim
