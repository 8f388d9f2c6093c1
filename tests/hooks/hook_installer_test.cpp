#include "core/hooks/hook_installer.h"
#include "core/hooks/hook_state.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "support/test_files.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

std::string stub(const TempDir& dir, const std::string& name, const std::string& body, unsigned mode = 0755) {
  test::writeAll(dir.path() / name, "#!/bin/sh\n" + body + "\n");
  fs::permissions(dir.path() / name, fs::perms(mode));
  return dir.file(name);
}

HookSuccess expectSuccess(const HookResult& r) {
  if (const auto* e = std::get_if<HookError>(&r)) ADD_FAILURE() << e->domain << " " << e->code << " " << e->description;
  return r.index() == 0 ? std::get<HookSuccess>(r) : HookSuccess{};
}

HookError expectError(const HookResult& r) {
  EXPECT_EQ(r.index(), 1u) << "unexpected success";
  return r.index() == 1 ? std::get<HookError>(r) : HookError{};
}

TEST(InstallReport, Table) {
  const std::vector<std::pair<std::string, std::vector<InstallReport>>> rows = {
      {"=== claude: /u/s.json ===\naction: installed\nbackup: /u/s.json.bak\nnote:   created hooks section\n\n"
       "=== codex: /u/c.toml ===\n  action: unchanged\n\nNote: restart the\nagent to apply the hooks\n",
       {{"claude", "/u/s.json", "installed", "/u/s.json.bak", {"created hooks section"}},
        {"codex", "/u/c.toml", "unchanged", "", {}}}},
      {"", {}},
      {"action: installed\nnote:   x\n", {}},  // before any header
      {"=== claude ===\naction: x", {{"", "", "x", "", {}}}},
      {"=== codex: /a: b ===", {{"codex", "/a: b", "", "", {}}}},
      {"=== codex: /a ===\r\naction: x\n", {}},  // a carriage return spoils the header
      {"=== ===\n", {InstallReport{}}},          // the markers overlap: empty inner text
      // The ideographic space is trimmed; the no-break space inside is no "backup: " prefix; "\r" is no blank.
      {"=== kimi: /p ===\n\taction: first  value \t\nnote: one space\nnote:   \nnote:   kept\n"
       "\u3000backup:\u00a0b\u2003\nbackup: real\r\naction: second\n",
       {{"kimi", "/p", "second", "real\r", {"kept"}}}},
      {"=== a: p ===\n \t action: inner  spaces\u2002 \n", {{"a", "p", "inner  spaces", "", {}}}},
      // Invalid UTF-8 around a field does not break the trim or the prefix test.
      {"=== a: p ===\n\xff action: x\naction: y\xff", {{"a", "p", "y\xff", "", {}}}},
  };
  for (const auto& [text, want] : rows) EXPECT_EQ(parseReports(text), want) << testing::PrintToString(text);

  const std::vector<std::pair<std::string, std::optional<std::string>>> notes = {
      {"=== c: /p ===\n  action: x\n\nNote: restart the\nagent to apply the hooks\n",
       "restart the agent to apply the hooks"},
      // Without the empty line that ends a section, the note lines belong to it.
      {"=== c: /p ===\n  action: x\nNote: restart the\nagent to apply the hooks\n", std::nullopt},
      {"", std::nullopt},
      {"agent restart\n", std::nullopt},  // an "agent " line needs a note before it
      {"Note:tight\n", "Note:tight"},
      {"Note: a\nNote: b\nagent c\nother\nagent d", "a b agent c agent d"},
      {"=== x: y ===\nNote: inside\n\nNote: after", "after"},
      {"=== open\nNote: hidden\n", std::nullopt},  // only the opening marker counts here
  };
  for (const auto& [text, want] : notes) EXPECT_EQ(extractRestartNote(text), want) << text;
}

// A FIFO planted at the path must not block the app waiting for a writer.
TEST(HookState, FifoAtThePath) {
  TempDir home;
  auto kimi = HookState::configPath(*agentFromRaw("kimi"), home.path());
  fs::create_directories(kimi.parent_path());
  ASSERT_EQ(::mkfifo(kimi.c_str(), 0600), 0);
  EXPECT_FALSE(HookState::isInstalled(*agentFromRaw("kimi"), home.path()));
}

TEST(HookInstaller, ToolPathResolution) {
  TempDir dir;
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), "/usr/bin/env");
  EXPECT_EQ(HookInstaller::resolveToolPath(""), "/usr/bin/env");
  fs::create_directory(dir.path() / "glowticker-cli");  // a folder is not a program
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), "/usr/bin/env");
  fs::remove(dir.path() / "glowticker-cli");
  stub(dir, "glowticker-cli", "exit 0", 0644);
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), "/usr/bin/env");
  fs::permissions(dir.path() / "glowticker-cli", fs::perms(0755));
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), dir.file("glowticker-cli"));
}

TEST(HookInstaller, ExitStatusAndOutputMixes) {
  TempDir dir;
  // Success: the report comes from standard output, standard error is ignored.
  auto ok = expectSuccess(
      HookInstaller(
          stub(dir, "ok", "echo \"=== $3: /f ===\"\necho \"action: $1\"\necho noise >&2\necho\necho 'Note: it'"))
          .setHook(*agentFromRaw("codex"), false));
  EXPECT_EQ(ok.reports, (std::vector<InstallReport>{{"codex", "/f", "uninstall", "", {}}}));
  EXPECT_EQ(ok.note, "it");
  for (const char* body : {"exit 0", "printf '=== a: b ===\\n\\377\\nNote: x\\n'"}) {  // not UTF-8: no text at all
    auto none = expectSuccess(HookInstaller(stub(dir, "none", body)).setHook(*agentFromRaw("claude"), true));
    EXPECT_TRUE(none.reports.empty() && none.note.empty()) << body;
  }
  struct Row {
    std::string body;
    int code;
    std::string description;
  };
  for (const Row& row : std::vector<Row>{{"printf out; printf ' err\\n' >&2; exit 2", 2, " err\n"},  // untrimmed
                                         {"echo 'only out'; exit 1", 1, "only out\n"},
                                         {"echo fallback; printf '\\300' >&2; exit 4", 4, "fallback\n"}}) {
    HookError e = expectError(HookInstaller(stub(dir, "fails", row.body)).setHook(*agentFromRaw("claude"), true));
    EXPECT_EQ(e.domain, "HookInstaller");
    EXPECT_EQ(e.code, row.code);
    EXPECT_EQ(e.description, row.description);
  }
  HookError killed = expectError(HookInstaller(stub(dir, "killed", "kill -9 $$")).setHook(*agentFromRaw("kimi"), true));
  EXPECT_EQ(killed.code, 128 + 9);
  EXPECT_NE(killed.description.find("signal 9"), std::string::npos) << killed.description;

  HookError missing = expectError(HookInstaller(dir.file("nope")).setHook(*agentFromRaw("codex"), true));
  EXPECT_EQ(missing.domain, "POSIX");
  EXPECT_EQ(missing.code, ENOENT);
  EXPECT_NE(missing.description.find("nope"), std::string::npos);
  if (::geteuid() != 0) {  // root may execute what it likes
    EXPECT_EQ(expectError(HookInstaller(stub(dir, "noexec", "exit 0", 0644)).setHook(*agentFromRaw("codex"), true)).code,
              EACCES);
  }
}

TEST(HookInstaller, MegabyteOnEachPipeDoesNotStall) {
  TempDir dir;
  HookInstaller installer(
      stub(dir, "flood", "head -c 1048576 /dev/zero | tr '\\0' o\nhead -c 1048576 /dev/zero | tr '\\0' e >&2\nexit 3"));
  installer.setTimeLimit(std::chrono::seconds(20));
  HookError e = expectError(installer.setHook(*agentFromRaw("codex"), true));
  EXPECT_EQ(e.code, 3);
  EXPECT_EQ(e.description.size(), 1048576u);
  EXPECT_EQ(e.description.find_first_not_of('e'), std::string::npos);
}

TEST(HookInstaller, SearchPathFormRunsGlowtickerThroughEnv) {
  TempDir dir;
  stub(dir, "glowticker", "echo \"=== $3: $1 ===\"");
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir.path().string() + ":" + oldPath).c_str(), 1);
  HookResult r = HookInstaller(std::string("/usr/bin/env")).setHook(*agentFromRaw("kimi"), true);
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(expectSuccess(r).reports, (std::vector<InstallReport>{{"kimi", "install", "", "", {}}}));
}

TEST(HookInstaller, ConcurrentCallsAndTimeLimit) {
  TempDir dir;
  std::string tool = stub(dir, "slow", "sleep 0.3; echo \"=== $3: p ===\"");
  HookResult a, b;
  auto start = std::chrono::steady_clock::now();
  std::thread t1([&] { a = HookInstaller(tool).setHook(*agentFromRaw("codex"), true); });
  std::thread t2([&] { b = HookInstaller(tool).setHook(*agentFromRaw("claude"), true); });
  t1.join();
  t2.join();
  EXPECT_EQ(expectSuccess(a).reports.at(0).agent, "codex");
  EXPECT_EQ(expectSuccess(b).reports.at(0).agent, "claude");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  HookInstaller hung(stub(dir, "hung", "exec sleep 30"));
  hung.setTimeLimit(std::chrono::milliseconds(300));
  HookError e = expectError(hung.setHook(*agentFromRaw("codex"), true));
  EXPECT_EQ(e.code, 128 + 9);
  EXPECT_NE(e.description.find("did not finish"), std::string::npos);
}

// The real companion tool, run the way the app runs it, on a temporary HOME.
TEST(HookInstaller, RealCompanionToolRoundTrip) {
  const fs::path cli = GT_CLI_EXE;
  if (!fs::exists(cli)) GTEST_SKIP() << cli << " is not built; build the glowticker-cli target first";
  ASSERT_EQ(HookInstaller::resolveToolPath(cli.parent_path()), cli.string());
  TempDir home;
  std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.path().c_str(), 1);
  for (AgentID agent : allAgents()) {
    HookInstaller installer(cli.string());
    HookSuccess on = expectSuccess(installer.setHook(agent, true));
    ASSERT_EQ(on.reports.size(), 1u);
    EXPECT_EQ(on.reports[0].agent, rawValue(agent));
    EXPECT_EQ(on.reports[0].path, HookState::configPath(agent, home.path()).string());
    EXPECT_EQ(on.reports[0].action, "created");
    EXPECT_NE(on.note, "");
    EXPECT_TRUE(HookState::isInstalled(agent));
    HookSuccess off = expectSuccess(installer.setHook(agent, false));
    EXPECT_EQ(off.reports.at(0).action, "removed");
    EXPECT_FALSE(off.reports.at(0).backup.empty());
    EXPECT_FALSE(HookState::isInstalled(agent));
  }
  // A refusal reaches the app as the tool's own sentence.
  test::writeAll(HookState::configPath(*agentFromRaw("claude"), home.path()), "{oops");
  HookError e = expectError(HookInstaller(cli.string()).setHook(*agentFromRaw("claude"), true));
  EXPECT_EQ(e.code, 1);
  EXPECT_NE(e.description.find("not valid JSON"), std::string::npos) << e.description;
  ::setenv("HOME", oldHome.c_str(), 1);
}

}  // namespace
}  // namespace gt
