#include <gtest/gtest.h>

#include "core/hooks/hook_installer.h"

namespace gt {
namespace {

TEST(InstallReport, WorkedExampleGivesTwoRecordsAndTheRestartNote) {
  const std::string text =
      "=== claude: /Users/u/.claude/settings.json ===\n"
      "action: installed\n"
      "backup: /Users/u/.claude/settings.json.bak\n"
      "note:   created hooks section\n"
      "\n"
      "=== codex: /Users/u/.codex/config.toml ===\n"
      "  action: unchanged\n"
      "\n"
      "Note: restart the\n"
      "agent to apply the hooks\n";
  std::vector<InstallReport> reports = parseReports(text);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0], (InstallReport{"claude",
                                       "/Users/u/.claude/settings.json",
                                       "installed",
                                       "/Users/u/.claude/settings.json.bak",
                                       {"created hooks section"}}));
  EXPECT_EQ(reports[1], (InstallReport{"codex", "/Users/u/.codex/config.toml", "unchanged", "", {}}));
  EXPECT_EQ(extractRestartNote(text), "restart the agent to apply the hooks");

  // Without the empty line that ends the codex section, the note lines belong to it.
  std::string noGap = text;
  noGap.replace(noGap.find("unchanged\n\n"), 11, "unchanged\n");
  EXPECT_EQ(extractRestartNote(noGap), std::nullopt);
}

TEST(InstallReport, HeaderShapes) {
  EXPECT_TRUE(parseReports("").empty());
  EXPECT_TRUE(parseReports("action: installed\nnote:   x\n").empty());  // before any header

  auto r = parseReports("=== claude ===\naction: x");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].agent, "");
  EXPECT_EQ(r[0].path, "");
  EXPECT_EQ(r[0].action, "x");

  r = parseReports("=== codex: /a: b ===");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].agent, "codex");
  EXPECT_EQ(r[0].path, "/a: b");

  EXPECT_TRUE(parseReports("=== codex: /a ===\r\naction: x\n").empty());  // a carriage return spoils the header
  r = parseReports("=== ===\n");                                          // the markers overlap: empty inner text
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0], InstallReport{});
}

TEST(InstallReport, FieldLines) {
  auto r = parseReports(
      "=== kimi: /p ===\n"
      "\taction: first  value \t\n"
      "note: one space\n"
      "note:   \n"
      "note:   kept\n"
      "\u3000backup:\u00a0b\u2003\n"  // ideographic space trimmed; the no-break space inside is no "backup: " prefix
      "backup: real\r\n"
      "action: second\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].action, "second");
  EXPECT_EQ(r[0].notes, std::vector<std::string>{"kept"});
  EXPECT_EQ(r[0].backup, "real\r");  // carriage returns are not blanks

  r = parseReports("=== a: p ===\n \t action: inner  spaces\u2002 \n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].action, "inner  spaces");

  // Invalid UTF-8 around a field does not break the trim or the prefix test.
  r = parseReports("=== a: p ===\n\xff action: x\naction: y\xff");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].action, "y\xff");
}

TEST(InstallReport, RestartNoteLines) {
  EXPECT_EQ(extractRestartNote(""), std::nullopt);
  EXPECT_EQ(extractRestartNote("agent restart\n"), std::nullopt);  // an "agent " line needs a note before it
  EXPECT_EQ(extractRestartNote("Note:tight\n"), "Note:tight");
  EXPECT_EQ(extractRestartNote("Note: a\nNote: b\nagent c\nother\nagent d"), "a b agent c agent d");
  EXPECT_EQ(extractRestartNote("=== x: y ===\nNote: inside\n\nNote: after"), "after");
  // Only the opening marker counts here, unlike in parseReports.
  EXPECT_EQ(extractRestartNote("=== open\nNote: hidden\n"), std::nullopt);
}

}  // namespace
}  // namespace gt
