#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace gt {

// One per-file section of the companion tool's report.
struct InstallReport {
  std::string agent;
  std::string path;
  std::string action;
  std::string backup;
  std::vector<std::string> notes;
  bool operator==(const InstallReport&) const = default;
};

// The companion tool's report: written by the tool, read back by the app from the tool's output.
//
// Per file a section: "=== agent: path ===", then "action: ", "backup: " and "note:   " lines, then an
// empty line; after the sections one "Note: " line with the restart note.
std::vector<InstallReport> parseReports(std::string_view text);
std::optional<std::string> extractRestartNote(std::string_view text);

// Writes the report so that parseReports and extractRestartNote give back exactly the values, when
// they are writable: no line feed anywhere, no ": " in an agent, no blank (tab or space separator) at
// the end of action, backup or a note, and no empty note. Other values are written as the closest
// writable ones: line feeds become spaces, an agent loses the space of each ": ", trailing blanks are
// dropped, and so are empty notes. An empty action or backup is left out; so is an empty restart note,
// which reads back as none.
std::string writeReport(const std::vector<InstallReport>& reports, std::string_view restartNote);

// The tool's words (its report stays English, for the terminal) and the panel's Chinese for them.
namespace ReportWords {

// The restart note the tool writes after a change (with `review`, also that the agent asks once to
// trust the new hooks), and the two it writes when nothing had to change.
std::string restartNote(std::string_view agent, bool review = false);
inline constexpr std::string_view kAlreadyInstalled = "nothing to do; the hook is already installed.";
inline constexpr std::string_view kNothingInstalled = "nothing to do; no hook was installed.";

// The panel's text for an action word or a restart note of the tool's; words it does not know (from
// another version of the tool) come back unchanged.
std::string panelAction(std::string_view action);
std::string panelNote(std::string_view note);

}  // namespace ReportWords

}  // namespace gt
