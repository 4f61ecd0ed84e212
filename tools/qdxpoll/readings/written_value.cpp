// The grammar of a written value, judged digit by digit: whether a value is
// whole is decided on its digits, never on a rounded double.
#include "readings/written_value.h"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

#include "base/json_text.h"

namespace {

bool Blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool Digit(char c) { return c >= '0' && c <= '9'; }

// A refused text as the message shows it: quoted, control bytes escaped.
std::string Shown(const std::string& text) { return JsonText(nlohmann::json(text)); }

}  // namespace

bool ParseWrittenValue(const std::string& text, WrittenValue* out, std::string* why) {
    size_t b = 0, e = text.size();
    while (b < e && Blank(text[b])) ++b;
    while (e > b && Blank(text[e - 1])) --e;
    const std::string t = text.substr(b, e - b);
    if (t.empty()) {
        *why = "no value given: a value is decimal text such as 180.5";
        return false;
    }
    if (t.size() > kWrittenValueChars) {
        *why = fmt::format("a value is at most {} characters, not {}", kWrittenValueChars, t.size());
        return false;
    }
    size_t i = 0;
    const bool negative = t[i] == '-';
    if (t[i] == '+' || t[i] == '-') ++i;
    std::string digits;
    size_t fraction = 0;
    while (i < t.size() && Digit(t[i])) digits += t[i++];
    if (i < t.size() && t[i] == '.')
        for (++i; i < t.size() && Digit(t[i]); ++fraction) digits += t[i++];
    long exponent = 0;
    bool exponent_ok = true;
    if (!digits.empty() && i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        const bool down = i < t.size() && t[i] == '-';
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        exponent_ok = i < t.size() && Digit(t[i]);
        // The text is short: an exponent held to 99999 still tells every
        // value that fits a type from every one that does not.
        for (; i < t.size() && Digit(t[i]); ++i) exponent = std::min(exponent * 10 + (t[i] - '0'), 99999L);
        if (down) exponent = -exponent;
    }
    if (digits.empty() || !exponent_ok || i != t.size()) {
        *why = "value " + Shown(t) + " is not a decimal number such as 180.5, -1.5 or 1.5e2";
        return false;
    }
    WrittenValue v;
    v.text = t;
    v.number = std::strtod(t.c_str(), nullptr);
    if (negative && v.number == 0) v.number = 0;  // no -0
    // The value is D x 10^shift, D the digits without the point.
    const long shift = exponent - static_cast<long>(fraction);
    const size_t lead = digits.find_first_not_of('0');
    const std::string d = lead == std::string::npos ? std::string() : digits.substr(lead);
    if (shift >= 0 || d.empty()) {
        v.whole = true;
    } else {
        const size_t cut = static_cast<size_t>(-shift);
        v.whole = cut <= d.size() && d.find_first_not_of('0', d.size() - cut) == std::string::npos;
    }
    const long places = d.empty() ? 0 : static_cast<long>(d.size()) + shift;  // digits before the point
    if (v.whole && places <= 18) {
        long long n = 0;
        for (long k = 0; k < places; ++k) n = n * 10 + (k < static_cast<long>(d.size()) ? d[static_cast<size_t>(k)] - '0' : 0);
        v.integer = negative ? -n : n;
        v.integer_fits = true;
    }
    *out = v;
    return true;
}

bool WrittenValueFromJson(const nlohmann::json& value, std::string* text, std::string* why) {
    if (value.is_string()) {
        *text = value.get<std::string>();
        return true;
    }
    if (value.is_number_integer()) {
        *text = value.dump();
        return true;
    }
    if (value.is_number_float() && std::isfinite(value.get<double>())) {
        *text = fmt::format("{}", value.get<double>());
        return true;
    }
    *why = "a value is a number or decimal text, not " + std::string(value.is_number() ? "a number beyond any range"
                                                                                        : value.type_name());
    return false;
}
