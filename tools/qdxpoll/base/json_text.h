// JSON as qdxpoll writes it, one object a line, and as it takes it from
// outside.
#ifndef QDXPOLL_JSON_TEXT_H
#define QDXPOLL_JSON_TEXT_H

#include <string>

#include <nlohmann/json.hpp>

// The text of j; bytes that are not UTF-8 (from a garbled line) become
// U+FFFD instead of an error.
std::string JsonText(const nlohmann::json& j);

// JSON that comes from outside (a write from the page, an MQTT set message):
// false, with *why, for text that is no JSON and for an object that gives a
// key twice, at any depth (which of the two would count is nobody's guess).
bool ParseJsonNoDuplicates(const std::string& text, nlohmann::json* out, std::string* why);

#endif  // QDXPOLL_JSON_TEXT_H
