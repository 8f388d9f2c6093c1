#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <utility>

#include "core/hooks/install_report.h"

namespace gt {

namespace {

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  for (;;) {
    size_t lf = text.find('\n', start);
    if (lf == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, lf - start));
    start = lf + 1;
  }
}

// Blanks are the tab and the space separators (Zs); line breaks and carriage returns are kept.
bool isBlank(UChar32 c) { return c == '\t' || (c >= 0 && u_charType(c) == U_SPACE_SEPARATOR); }

std::string_view trimBlanks(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  int32_t len = static_cast<int32_t>(s.size());
  int32_t begin = 0;
  while (begin < len) {
    int32_t next = begin;
    UChar32 c;
    U8_NEXT(p, next, len, c);
    if (!isBlank(c)) break;
    begin = next;
  }
  int32_t end = len;
  while (end > begin) {
    int32_t prev = end;
    UChar32 c;
    U8_PREV(p, begin, prev, c);
    if (!isBlank(c)) break;
    end = prev;
  }
  return s.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

// The value as one line: line feeds become spaces.
std::string oneLine(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c == '\n') c = ' ';
  return out;
}

// A field value as it reads back: one line, without the blanks that trimming would take off its end.
std::string fieldValue(std::string_view s) {
  std::string shielded = "x" + oneLine(s);  // the "x" shields the leading blanks, which do read back
  return std::string(trimBlanks(shielded).substr(1));
}

bool startsWith(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::vector<InstallReport> parseReports(std::string_view text) {
  std::vector<InstallReport> result;
  std::optional<InstallReport> current;
  for (std::string_view line : splitLines(text)) {
    if (startsWith(line, "=== ") && endsWith(line, " ===")) {
      if (current) result.push_back(std::move(*current));
      current.emplace();
      std::string_view inner = line.size() >= 8 ? line.substr(4, line.size() - 8) : std::string_view{};
      // Splitting at every ": " and joining all but the first piece again is a split at the first one.
      if (size_t sep = inner.find(": "); sep != std::string_view::npos) {
        current->agent = std::string(inner.substr(0, sep));
        current->path = std::string(inner.substr(sep + 2));
      }
      continue;
    }
    if (!current) continue;
    std::string_view field = trimBlanks(line);
    if (startsWith(field, "action: ")) {
      current->action = std::string(field.substr(8));
    } else if (startsWith(field, "backup: ")) {
      current->backup = std::string(field.substr(8));
    } else if (startsWith(field, "note:   ")) {
      current->notes.emplace_back(field.substr(8));
    }
  }
  if (current) result.push_back(std::move(*current));
  return result;
}

std::optional<std::string> extractRestartNote(std::string_view text) {
  bool inSection = false;
  std::vector<std::string_view> pieces;
  for (std::string_view line : splitLines(text)) {
    if (startsWith(line, "=== ")) {
      inSection = true;
    } else if (!inSection && (startsWith(line, "Note:") || (!pieces.empty() && startsWith(line, "agent ")))) {
      pieces.push_back(startsWith(line, "Note: ") ? line.substr(6) : line);
    }
    if (line.empty()) inSection = false;
  }
  if (pieces.empty()) return std::nullopt;
  std::string note;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i) note += ' ';
    note += pieces[i];
  }
  return note;
}

std::string writeReport(const std::vector<InstallReport>& reports, std::string_view restartNote) {
  std::string out;
  for (const InstallReport& r : reports) {
    std::string agent = oneLine(r.agent);
    for (size_t at; (at = agent.find(": ")) != std::string::npos;) agent.erase(at + 1, 1);
    out += "=== " + agent + ": " + oneLine(r.path) + " ===\n";
    if (std::string action = fieldValue(r.action); !action.empty()) out += "action: " + action + "\n";
    if (std::string backup = fieldValue(r.backup); !backup.empty()) out += "backup: " + backup + "\n";
    for (const std::string& n : r.notes)
      if (std::string note = fieldValue(n); !note.empty()) out += "note:   " + note + "\n";
    out += "\n";
  }
  if (std::string note = oneLine(restartNote); !note.empty()) out += "Note: " + note + "\n";
  return out;
}

namespace ReportWords {

namespace {
constexpr std::string_view kRestartBefore = "restart ";
constexpr std::string_view kRestartAfter = " so that running sessions pick up the change.";
// Codex's words ("Hooks need review") so that the user knows the screen when it comes.
constexpr std::string_view kReview =
    " Its next interactive session asks once to review the new hooks (\"Hooks need review\"): trust them, or "
    "they do not run (exec skips them until then).";
}  // namespace

std::string restartNote(std::string_view agent, bool review) {
  return std::string(kRestartBefore) + std::string(agent) + std::string(kRestartAfter) +
         std::string(review ? kReview : "");
}

std::string panelAction(std::string_view action) {
  static constexpr std::pair<std::string_view, std::string_view> kWords[] = {
      {"installed", "已安装"}, {"updated", "已更新"},   {"created", "已创建并安装"},
      {"removed", "已移除"},   {"unchanged", "未改动"},
  };
  for (const auto& [tool, panel] : kWords)
    if (action == tool) return std::string(panel);
  return std::string(action);
}

std::string panelNote(std::string_view note) {
  if (note == kAlreadyInstalled) return "无需改动：hook 已经装好。";
  if (note == kNothingInstalled) return "无需改动：没有装过 hook。";
  bool review = note.ends_with(kReview);
  std::string_view restart = note.substr(0, note.size() - (review ? kReview.size() : 0));
  if (restart.size() > kRestartBefore.size() + kRestartAfter.size() && restart.starts_with(kRestartBefore) &&
      restart.ends_with(kRestartAfter)) {
    std::string agent(
        restart.substr(kRestartBefore.size(), restart.size() - kRestartBefore.size() - kRestartAfter.size()));
    std::string panel = "请重启正在运行的 " + agent + " 会话，改动才会生效。";
    if (review)
      panel += "下次打开 " + agent + " 的交互界面时，它会请你审核一次新的 hook（“Hooks need review”）：选择信任，" +
               "否则这些 hook 不会运行（在此之前 " + agent + " exec 会跳过它们）。";
    return panel;
  }
  return std::string(note);
}

}  // namespace ReportWords

}  // namespace gt
