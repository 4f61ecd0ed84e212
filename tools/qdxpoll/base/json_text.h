// JSON as qdxpoll writes it, one object a line.
#ifndef QDXPOLL_JSON_TEXT_H
#define QDXPOLL_JSON_TEXT_H

#include <string>

#include <nlohmann/json.hpp>

// The text of j; bytes that are not UTF-8 (from a garbled line) become
// U+FFFD instead of an error.
std::string JsonText(const nlohmann::json& j);

#endif  // QDXPOLL_JSON_TEXT_H
