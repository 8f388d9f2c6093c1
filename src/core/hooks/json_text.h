#pragma once
#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "core/hooks/json_document.h"

namespace gt::json_text {

// How the file writes itself: its line ending and one level of indentation.
struct Layout {
  std::string eol = "\n";
  std::string unit = "  ";
};
Layout layoutOf(std::string_view text);

// Where a parsed value's bytes start and end in the whole text.
size_t begin(const JsonDocument& doc, const Json::Value& v);
size_t end(const JsonDocument& doc, const Json::Value& v);
// Where the member whose value starts at `valueBegin` starts: its key's opening quote.
size_t memberBegin(std::string_view text, size_t valueBegin);

// The bytes that removing the element or member at [b, e) from its container takes with it: the
// separator before it (after it when it comes first); for the only one, the line it sits on, so
// that `{\n  "a": 1\n}` becomes `{}`, or when glued to the bracket just its own bytes.
std::pair<size_t, size_t> removalSpan(std::string_view text, size_t b, size_t e);
// Whether the item at [b, e) is the only one in its container.
bool alone(std::string_view text, size_t b, size_t e);

// Whether the item starting at b sits right after its container's opening bracket.
bool glued(std::string_view text, size_t b);

// The text with an item appended to the object or array `container`. `item` receives the item's
// indentation and returns its text, whose own inner lines it indents from there. An empty
// container gets the item glued to its opening bracket (`[{` ... `}]`), which marks it as one that
// was there before; with `glue` false the item goes on a line of its own.
std::string appended(std::string_view text, const JsonDocument& doc, const Json::Value& container, const Layout& layout,
                     const std::function<std::string(const std::string&)>& item, bool glue = true);

// A JSON string literal.
std::string quote(std::string_view s);

}  // namespace gt::json_text
