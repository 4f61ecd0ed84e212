// The one grammar of a value to be written, for every way a write comes in
// (the command line, the page's form, an MQTT set message):
//
//   [blanks] [+|-] (DIGITS [. [DIGITS]] | . DIGITS) [(e|E) [+|-] DIGITS] [blanks]
//
// blanks being spaces, tabs, CR and LF; at most kWrittenValueChars
// characters in all. Nothing else: no hexadecimal, no inf or nan, no comma,
// no separators. Whether the value suits the data type (whole, in range) is
// decided after, on the number (EncodeValue).
#ifndef QDXPOLL_WRITTEN_VALUE_H
#define QDXPOLL_WRITTEN_VALUE_H

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

inline constexpr size_t kWrittenValueChars = 32;

struct WrittenValue {
    std::string text;      // without the blanks around it
    double number = 0;     // the value, perhaps infinite for a huge exponent
    bool whole = false;    // no digit other than 0 after the point, exponent applied
    bool integer_fits = false;  // whole and within +-10^18, in `integer`
    long long integer = 0;
};

// False, with *why, for text the grammar does not take.
bool ParseWrittenValue(const std::string& text, WrittenValue* out, std::string* why);

// The text of a value given in JSON: a string as it is, a number as its
// shortest decimal text (1e2 is "100", 1e-05 stays "1e-05"). False, with
// *why, for anything else (true, null, an array, an object).
bool WrittenValueFromJson(const nlohmann::json& value, std::string* text, std::string* why);

#endif  // QDXPOLL_WRITTEN_VALUE_H
