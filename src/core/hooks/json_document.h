#pragma once
#include <json/value.h>

#include <string>
#include <string_view>

#include "core/common/result.h"

namespace gt {

// A JSON text read as JavaScript's JSON.parse reads it (what the agents use): strict syntax, no
// comments, the last of duplicate keys wins. Every value keeps where it sits in the text.
struct JsonDocument {
  Json::Value root;
  size_t base = 0;  // bytes before the parsed text (a UTF-8 byte order mark); add to every offset
};

// Why a text is no JSON document; the detail says so in a few words ("it is empty", the parser's message).
enum class JsonProblem { blank, notUtf8, syntax };

Result<JsonDocument, Problem<JsonProblem>> parseJsonDocument(std::string_view text);

}  // namespace gt
