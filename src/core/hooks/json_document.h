#pragma once
#include <json/value.h>

#include <optional>
#include <string>
#include <string_view>

namespace gt {

// A JSON text read as JavaScript's JSON.parse reads it (what the agents use): strict syntax, no
// comments, the last of duplicate keys wins. Every value keeps where it sits in the text.
struct JsonDocument {
  Json::Value root;
  size_t base = 0;  // bytes before the parsed text (a UTF-8 byte order mark); add to every offset
};

// Nothing for text that is blank, not UTF-8 or not valid JSON; `error` then says why when given.
std::optional<JsonDocument> parseJsonDocument(std::string_view text, std::string* error = nullptr);

}  // namespace gt
