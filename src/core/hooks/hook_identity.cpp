#include "core/hooks/hook_identity.h"

#include <algorithm>
#include <cctype>

namespace gt::hook_identity {

namespace {

bool isOperator(char c) { return std::string_view("|&;<>()`\n").find(c) != std::string_view::npos; }

bool isAssignment(std::string_view word) {
  size_t eq = word.find('=');
  if (eq == 0 || eq == std::string_view::npos || (word[0] >= '0' && word[0] <= '9')) return false;
  return std::all_of(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(eq),
                     [](char c) { return c == '_' || std::isalnum(static_cast<unsigned char>(c)); });
}

std::string_view fileName(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::optional<std::vector<std::string>> shellWords(std::string_view s) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else if (c == '#' && !inWord) {
      break;  // a comment runs to the end of the line, and a newline already stops us
    } else if (isOperator(c) || (c == '$' && i + 1 < s.size() && s[i + 1] == '(')) {
      return std::nullopt;
    } else if (c == '\\') {
      if (++i == s.size()) return std::nullopt;
      if (s[i] != '\n') word += s[i];  // backslash-newline joins lines
      inWord = true;
    } else if (c == '\'') {
      size_t close = s.find('\'', i + 1);
      if (close == std::string_view::npos) return std::nullopt;
      word.append(s.substr(i + 1, close - i - 1));
      i = close;
      inWord = true;
    } else if (c == '"') {
      for (++i;; ++i) {
        if (i == s.size()) return std::nullopt;
        if (s[i] == '"') break;
        if (s[i] == '`' || (s[i] == '$' && i + 1 < s.size() && s[i + 1] == '(')) return std::nullopt;
        if (s[i] == '\\' && i + 1 < s.size() && std::string_view("$`\"\\\n").find(s[i + 1]) != std::string_view::npos) {
          if (s[++i] != '\n') word += s[i];
        } else {
          word += s[i];
        }
      }
      inWord = true;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

bool isOurArgv(std::string_view agent, const std::vector<std::string>& argv) {
  size_t i = 0;
  while (i < argv.size() && isAssignment(argv[i])) ++i;
  if (i == argv.size()) return false;
  std::string_view program = fileName(argv[i++]);
  if (program == "glowticker" || program == "glowticker-cli") {
    if (i == argv.size() || argv[i] != "hook") return false;
    ++i;
  } else if (program != "glowticker-hook") {
    return false;
  }
  // Read the agent as the hook does: the last --agent before a chained command.
  std::optional<std::string_view> named;
  for (; i < argv.size(); ++i) {
    std::string_view w = argv[i];
    if (w == "--agent" && i + 1 < argv.size())
      named = argv[++i];
    else if (w.starts_with("--agent="))
      named = w.substr(8);
    else if (w == "--chain" && i + 1 < argv.size() && argv[i + 1] == "--")
      break;
  }
  return named == agent;
}

bool isOurCommand(std::string_view agent, std::string_view shellCommand) {
  std::optional<std::vector<std::string>> words = shellWords(shellCommand);
  return words && isOurArgv(agent, *words);
}

bool isOurEntry(std::string_view agent, std::span<const std::string_view> events, std::string_view event,
                std::string_view command) {
  return std::find(events.begin(), events.end(), event) != events.end() && isOurCommand(agent, command);
}

}  // namespace gt::hook_identity
