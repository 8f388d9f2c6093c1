#include "core/hooks/json_text.h"

#include <json/writer.h>

#include <algorithm>

namespace gt::json_text {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

size_t skipBack(std::string_view text, size_t pos) {
  while (pos > 0 && isSpace(text[pos - 1])) --pos;
  return pos;
}

size_t skipForward(std::string_view text, size_t pos) {
  while (pos < text.size() && isSpace(text[pos])) ++pos;
  return pos;
}

// The leading blanks of the line that holds `pos`.
std::string lineIndent(std::string_view text, size_t pos) {
  size_t start = text.rfind('\n', pos == 0 ? 0 : pos - 1);
  start = (start == std::string_view::npos || (pos == 0 && text[0] != '\n')) ? 0 : start + 1;
  size_t stop = start;
  while (stop < text.size() && (text[stop] == ' ' || text[stop] == '\t')) ++stop;
  return std::string(text.substr(start, stop - start));
}

}  // namespace

Layout layoutOf(std::string_view text) {
  Layout layout;
  if (size_t lf = text.find('\n'); lf != std::string_view::npos && lf > 0 && text[lf - 1] == '\r') layout.eol = "\r\n";
  // The first indented line that starts a key or value tells the indentation step.
  for (size_t lf = text.find('\n'); lf != std::string_view::npos; lf = text.find('\n', lf + 1)) {
    size_t i = lf + 1;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i > lf + 1 && i < text.size() && !isSpace(text[i])) {
      std::string_view indent = text.substr(lf + 1, i - lf - 1);
      if (indent.find('\t') != std::string_view::npos)
        layout.unit = "\t";
      else if (indent.size() <= 8)
        layout.unit = std::string(indent);
      break;
    }
  }
  return layout;
}

size_t begin(const JsonDocument& doc, const Json::Value& v) {
  return doc.base + static_cast<size_t>(v.getOffsetStart());
}
size_t end(const JsonDocument& doc, const Json::Value& v) { return doc.base + static_cast<size_t>(v.getOffsetLimit()); }

size_t memberBegin(std::string_view text, size_t valueBegin) {
  size_t p = skipBack(text, valueBegin);  // now just after the colon
  p = skipBack(text, p - 1);              // just after the key's closing quote
  // A key holds no unescaped quote, so the first one before its closing quote opens it.
  for (size_t q = p - 1; q-- > 0;) {
    if (text[q] != '"') continue;
    size_t backslashes = 0;
    while (q > backslashes && text[q - 1 - backslashes] == '\\') ++backslashes;
    if (backslashes % 2 == 0) return q;
  }
  return 0;
}

bool glued(std::string_view text, size_t b) { return b > 0 && (text[b - 1] == '[' || text[b - 1] == '{'); }

bool alone(std::string_view text, size_t b, size_t e) {
  size_t before = skipBack(text, b);
  size_t after = skipForward(text, e);
  return before > 0 && (text[before - 1] == '[' || text[before - 1] == '{') && after < text.size() &&
         (text[after] == ']' || text[after] == '}');
}

std::pair<size_t, size_t> removalSpan(std::string_view text, size_t b, size_t e) {
  size_t before = skipBack(text, b);
  size_t after = skipForward(text, e);
  bool first = text[before - 1] == '[' || text[before - 1] == '{';
  bool last = text[after] == ']' || text[after] == '}';
  if (!first) return {skipBack(text, before - 1), e};   // ", item"
  if (!last) return {b, skipForward(text, after + 1)};  // "item, "
  // The only one, glued to the opening bracket: it went into a container that was there before it,
  // and what followed it inside that container stays.
  if (before == b) return {b, e};
  // The only one on a line of its own: from the last line break before it to the closing bracket.
  size_t from = before;
  std::string_view gap = text.substr(before, b - before);
  if (size_t lf = gap.rfind('\n'); lf != std::string_view::npos) {
    from = before + lf;
    if (from > before && text[from - 1] == '\r') --from;
  }
  return {from, after};
}

std::string appended(std::string_view text, const JsonDocument& doc, const Json::Value& container, const Layout& layout,
                     const std::function<std::string(const std::string&)>& item, bool glue) {
  size_t open = begin(doc, container);
  size_t close = end(doc, container) - 1;
  std::string outer = lineIndent(text, open);
  std::string out(text.substr(0, close));
  size_t lastEnd = skipBack(text, close);
  if (lastEnd == open + 1 && glue) {
    // Empty: the item right after the opening bracket, so that taking it out again leaves the
    // container as it was (see removalSpan).
    out.resize(open + 1);
    out += item(outer);
    out.append(text.substr(open + 1, close - open - 1));
  } else if (lastEnd == open + 1) {
    std::string indent = outer + layout.unit;
    out += layout.eol + indent + item(indent) + layout.eol + outer;
  } else {
    // After the last item, at its indentation when it starts a line of its own.
    size_t lastBegin = 0;
    for (const Json::Value& v : container) {
      size_t b = begin(doc, v);
      if (container.isObject()) b = memberBegin(text, b);
      lastBegin = std::max(lastBegin, b);
    }
    size_t lineStart = skipBack(text, lastBegin);
    bool ownLine =
        lineStart < lastBegin && text.substr(lineStart, lastBegin - lineStart).find('\n') != std::string_view::npos;
    std::string indent = ownLine ? lineIndent(text, lastBegin) : outer + layout.unit;
    out.resize(lastEnd);
    out += "," + layout.eol + indent + item(indent);
    out.append(text.substr(lastEnd, close - lastEnd));
  }
  out.append(text.substr(close));
  return out;
}

std::string quote(std::string_view s) {
  Json::StreamWriterBuilder builder;
  builder["emitUTF8"] = true;
  builder["indentation"] = "";
  return Json::writeString(builder, Json::Value(std::string(s)));
}

}  // namespace gt::json_text
