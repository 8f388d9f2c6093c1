#include "core/hooks/json_document.h"

#include <json/reader.h>

#include <memory>

#include "core/common/utf8.h"

namespace gt {

Result<JsonDocument, Problem<JsonProblem>> parseJsonDocument(std::string_view text) {
  JsonDocument doc;
  if (text.starts_with("\xEF\xBB\xBF")) doc.base = 3;
  std::string_view body = text.substr(doc.base);
  if (body.find_first_not_of(" \t\r\n") == std::string_view::npos) return fail(JsonProblem::blank, "it is empty");
  if (!isValidUtf8(body)) return fail(JsonProblem::notUtf8, "it is not UTF-8 text");
  Json::CharReaderBuilder builder;
  builder["allowComments"] = false;
  builder["strictRoot"] = false;
  builder["allowDroppedNullPlaceholders"] = false;
  builder["allowNumericKeys"] = false;
  builder["allowSingleQuotes"] = false;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = false;
  builder["allowSpecialFloats"] = false;
  builder["skipBom"] = false;
  builder["allowTrailingCommas"] = false;
  builder["stackLimit"] = 256;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  std::string why;
  bool parsed = false;
  try {
    parsed = reader->parse(body.data(), body.data() + body.size(), &doc.root, &why);
  } catch (const std::exception& e) {  // the library throws for nesting deeper than the stack limit
    why = e.what();
  }
  if (!parsed) {
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) why.pop_back();
    for (char& c : why)
      if (c == '\n') c = ' ';
    return fail(JsonProblem::syntax, why.starts_with("* ") ? why.substr(2) : why);
  }
  return doc;
}

}  // namespace gt
