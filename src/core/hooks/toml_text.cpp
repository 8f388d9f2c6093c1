#include "core/hooks/toml_text.h"

#include <algorithm>
#include <sstream>

namespace gt {

namespace {

// Marks the lines after the first line of every value that spans several lines.
void markContinuations(const toml::node& node, std::vector<bool>& inside) {
  auto mark = [&](const toml::node& n) {
    const toml::source_region& r = n.source();
    for (auto l = static_cast<size_t>(r.begin.line) + 1; l <= r.end.line && l <= inside.size(); ++l)
      inside[l - 1] = true;
  };
  if (const toml::table* t = node.as_table()) {
    if (t->is_inline()) {
      mark(node);
      return;
    }
    for (auto&& [k, v] : *t) markContinuations(v, inside);
    return;
  }
  if (const toml::array* a = node.as_array()) {
    // An array of tables written as [[x]] headers spans the headers themselves; only its tables' values count.
    bool headerTables = a->is_array_of_tables() && !a->empty() && !(*a)[0].as_table()->is_inline();
    if (headerTables) {
      for (auto&& e : *a) markContinuations(e, inside);
      return;
    }
  }
  mark(node);
}

}  // namespace

TomlText::TomlText(std::string_view text, const toml::table& parsed) {
  size_t start = 0;
  while (start < text.size()) {
    size_t lf = text.find('\n', start);
    size_t end = lf == std::string_view::npos ? text.size() : lf + 1;
    starts_.push_back(start);
    lines_.emplace_back(text.substr(start, end - start));
    start = end;
  }
  if (!lines_.empty() && lines_.front().size() >= 2 && lines_.front().ends_with("\r\n")) eol_ = "\r\n";
  std::vector<bool> inside(lines_.size(), false);
  markContinuations(parsed, inside);
  for (size_t i = 0; i < lines_.size(); ++i)
    if (!inside[i] && !content(i).empty() && content(i).front() == '[') headers_.push_back(i);
}

Result<toml::table, Problem<EditProblem>> TomlText::parse(std::string_view text, std::string_view where) {
  try {
    return toml::parse(text);
  } catch (const toml::parse_error& e) {  // the library reports a syntax error only this way
    std::ostringstream msg;
    msg << where << " is not valid TOML (line " << e.source().begin.line << ", column " << e.source().begin.column
        << ": " << e.description() << "); fix it and try again.";
    return refuseEdit(EditProblem::malformed, msg.str());
  }
}

Result<toml::table, Problem<EditProblem>> TomlText::parseEditable(
    std::string_view text, std::string_view where,
    const std::function<Result<void, Problem<EditProblem>>(const toml::table&, const TomlText&)>& check) {
  auto root = parse(text, where);
  if (!root) return root;
  if (auto editable = check(*root, TomlText(text, *root)); !editable) return fail(editable.error());
  return root;
}

std::string_view TomlText::content(size_t i) const {
  std::string_view s = lines_[i];
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

size_t TomlText::offset(const toml::source_position& at) const {
  if (at.line == 0 || at.line > starts_.size()) return starts_.empty() ? 0 : starts_.back() + lines_.back().size();
  size_t pos = starts_[at.line - 1];
  const std::string& line = lines_[at.line - 1];
  size_t i = 0;
  for (size_t column = 1; column < at.column && i < line.size(); ++column) {
    ++i;  // past the lead byte, then past its continuation bytes
    while (i < line.size() && (static_cast<unsigned char>(line[i]) & 0xC0) == 0x80) ++i;
  }
  return pos + i;
}

size_t TomlText::nextHeaderAfter(size_t i) const {
  for (size_t h : headers_)
    if (h > i) return h;
  return lines_.size();
}

void TomlText::insert(size_t at, std::string lineText) {
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), lineText + eol_);
}

void TomlText::erase(size_t from, size_t to) {
  lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(from), lines_.begin() + static_cast<std::ptrdiff_t>(to));
}

void TomlText::replace(size_t from, size_t to, std::string lineText) {
  // Keep whatever ending the last replaced line had (none at the very end of a file).
  std::string ending = lines_[to - 1].ends_with("\r\n") ? "\r\n" : lines_[to - 1].ends_with("\n") ? "\n" : "";
  erase(from, to);
  lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(from), lineText + ending);
}

void TomlText::eraseBlocks(std::vector<size_t> headerLines) {
  std::vector<std::pair<size_t, size_t>> spans;
  for (size_t begin : headerLines) {
    if (begin >= lines_.size()) continue;
    size_t end = std::min(nextHeaderAfter(begin), lines_.size());
    while (end > begin + 1 && (blank(end - 1) || comment(end - 1))) --end;
    if (begin > 0 && blank(begin - 1)) --begin;
    spans.emplace_back(begin, end);
  }
  std::sort(spans.begin(), spans.end());
  bool unterminated = !lines_.empty() && !lines_.back().ends_with("\n");
  size_t before = lines_.size();
  // From the last block up, so that each one's line numbers still hold; overlaps merge.
  size_t limit = lines_.size();
  for (auto s = spans.rbegin(); s != spans.rend(); ++s) {
    size_t end = std::min(s->second, limit);
    if (s->first < end) erase(s->first, end);
    limit = std::min(limit, s->first);
  }
  if (unterminated && lines_.size() != before) unterminateLastLine();
}

void TomlText::appendBlock(const std::vector<std::string>& lineTexts) {
  bool unterminated = !lines_.empty() && !lines_.back().ends_with("\n");
  terminateLastLine();
  if (!lines_.empty()) insert(lines_.size(), "");
  for (const std::string& l : lineTexts) insert(lines_.size(), l);
  if (unterminated) unterminateLastLine();
}

void TomlText::terminateLastLine() {
  if (!lines_.empty() && !lines_.back().ends_with("\n")) lines_.back() += eol_;
}

void TomlText::unterminateLastLine() {
  if (lines_.empty()) return;
  std::string& last = lines_.back();
  if (last.ends_with("\n")) last.pop_back();
  if (last.ends_with("\r")) last.pop_back();
}

std::string TomlText::join() const {
  std::string out;
  for (const std::string& l : lines_) out += l;
  return out;
}

std::string TomlText::quote(std::string_view s) {
  std::ostringstream out;
  out << toml::toml_formatter{toml::value<std::string>(std::string(s)), toml::format_flags::none};
  return out.str();
}

std::string TomlText::stringArray(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + quote(items[i]);
  return out + "]";
}

EditResult verifiedTomlEdit(const toml::table& original, std::string text, const char* key,
                            const std::function<bool(const toml::node*)>& wanted, const std::string& where,
                            std::string_view byHand) {
  auto after = TomlText::parse(text, where);
  bool ok = after && wanted(after->get(key));
  if (ok) {
    toml::table before = original;
    before.erase(key);
    after->erase(key);
    ok = *after == before;
  }
  if (!ok)
    return refuseEdit(EditProblem::unsafeLayout,
                      where + " has a layout this tool cannot edit safely; " + std::string(byHand));
  return ConfigEdit{std::move(text), true, {}};
}

std::optional<std::vector<std::string>> stringList(const toml::node* node) {
  const toml::array* a = node ? node->as_array() : nullptr;
  if (!a) return std::nullopt;
  std::vector<std::string> items;
  for (auto&& e : *a) {
    const auto* s = e.as_string();
    if (!s) return std::nullopt;
    items.push_back(s->get());
  }
  return items;
}

}  // namespace gt
