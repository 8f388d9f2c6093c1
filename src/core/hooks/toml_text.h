#pragma once
#include <toml++/toml.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/hooks/config_edit.h"

namespace gt {

// A TOML document as lines, for minimal edits that leave comments and layout alone. The parsed
// table supplies where values sit, so that a line inside a multi-line array or string is never
// mistaken for a table header.
class TomlText {
 public:
  TomlText(std::string_view text, const toml::table& parsed);

  // Parses TOML text; a text that does not parse is malformed, and the detail names the file (`where`),
  // the line and the column.
  static Result<toml::table, Problem<EditProblem>> parse(std::string_view text, std::string_view where);
  // Parses it and asks `check` (given the text's lines too, to tell how values are written) whether our
  // edits can go into it, else why not. The table is the parser's own, so its values still know where
  // they sit in the text (a copy would not).
  static Result<toml::table, Problem<EditProblem>> parseEditable(
      std::string_view text, std::string_view where,
      const std::function<Result<void, Problem<EditProblem>>(const toml::table&, const TomlText&)>& check);

  size_t lineCount() const { return lines_.size(); }
  const std::string& line(size_t i) const { return lines_[i]; }  // with its line ending
  std::string_view content(size_t i) const;                      // without it, trimmed of spaces and tabs
  const std::string& eol() const { return eol_; }

  // Indices of the lines that open a table ("[x]" or "[[x]]"), in order.
  const std::vector<size_t>& headers() const { return headers_; }
  size_t firstHeaderOr(size_t fallback) const { return headers_.empty() ? fallback : headers_.front(); }
  // The first header after line i, or lineCount().
  size_t nextHeaderAfter(size_t i) const;
  bool blank(size_t i) const { return content(i).empty(); }
  bool comment(size_t i) const { return !content(i).empty() && content(i).front() == '#'; }

  // The byte offset in the original text of a parsed position (its columns count characters).
  size_t offset(const toml::source_position& at) const;

  void insert(size_t at, std::string lineText);  // lineText without line ending
  void erase(size_t from, size_t to);            // [from, to)
  void replace(size_t from, size_t to, std::string lineText);
  // Erases the blocks that open at these header lines (the header through the line before the next
  // header, whose own comments and blank lines above it stay), each with the blank line before it.
  // Line numbers are the text's own: call it before any other edit.
  void eraseBlocks(std::vector<size_t> headerLines);
  // Appends lines at the end, after a blank line when the text is not empty; a text that did not end
  // with a line break still does not.
  void appendBlock(const std::vector<std::string>& lineTexts);
  // Makes sure the last line ends with a line feed, so that appended lines start on their own.
  void terminateLastLine();
  // Takes the line ending off the last line: a file that did not end with one stays so.
  void unterminateLastLine();
  std::string join() const;

  // A TOML basic string, escaped by the TOML library itself.
  static std::string quote(std::string_view s);
  static std::string stringArray(const std::vector<std::string>& items);

 private:
  std::vector<std::string> lines_;
  std::string eol_ = "\n";
  std::vector<size_t> headers_;
  std::vector<size_t> starts_;  // where each original line starts
};

// A line edit is kept only when its text parses, `key` then holds what `wanted` accepts (a null node when the
// key must be gone), and nothing else differs from `original`; otherwise it is refused with `byHand` as advice.
EditResult verifiedTomlEdit(const toml::table& original, std::string text, const char* key,
                            const std::function<bool(const toml::node*)>& wanted, const std::string& where,
                            std::string_view byHand);

// The string elements of an array of strings, or nothing when the node is something else.
std::optional<std::vector<std::string>> stringList(const toml::node* node);

}  // namespace gt
