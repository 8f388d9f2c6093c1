#include "core/hooks/hook_installer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "core/hooks/hook_state.h"
#include "support/test_files.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using namespace std::string_literals;
const AgentID codex = *agentFromRaw("codex"), claude = *agentFromRaw("claude"), kimi = *agentFromRaw("kimi");

std::string stub(const TempDir& dir, const std::string& name, const std::string& body, unsigned mode = 0755) {
  test::writeAll(dir.path() / name, "#!/bin/sh\n" + body + "\n");
  fs::permissions(dir.path() / name, fs::perms(mode));
  return dir.file(name);
}
HookSuccess ok(const HookResult& r) {
  if (const auto* e = std::get_if<HookError>(&r)) ADD_FAILURE() << e->domain << " " << e->code << " " << e->description;
  return r.index() == 0 ? std::get<HookSuccess>(r) : HookSuccess{};
}
HookError failed(const HookResult& r) {
  EXPECT_EQ(r.index(), 1u) << "unexpected success";
  return r.index() == 1 ? std::get<HookError>(r) : HookError{};
}

// The worked example and the edges of the report format that the writer never produces.
TEST(InstallReport, ParsesOtherProgramsOutput) {
  const std::string text =
      "=== claude: /u/s.json ===\naction: installed\nbackup: /u/s.json.bak\nnote:   created hooks section\n\n"
      "=== codex: /u/c.toml ===\n\t action: first\u2002\n\u3000action: a  b \nnote: one space\nnote:   \n\n"
      "=== codex: /a: b ===\n=== x: y ===\r\n=== ===\n\nNote:tight\nagent c\n=== x\nNote: inside\n\nNote: restart the\nagent d";
  EXPECT_EQ(parseReports(text),
            (std::vector<InstallReport>{{"claude", "/u/s.json", "installed", "/u/s.json.bak", {"created hooks section"}},
                                        {"codex", "/u/c.toml", "a  b", "", {}},
                                        {"codex", "/a: b", "", "", {}}, {}}));
  EXPECT_EQ(extractRestartNote(text), "Note:tight agent c restart the agent d");
  EXPECT_EQ(extractRestartNote("agent x\n"), std::nullopt);
}

TEST(HookInstaller, ToolsThatSucceedFailFloodOrHang) {
  TempDir dir;
  auto resolved = [&] { return HookInstaller::resolveToolPath(dir.path()); };
  EXPECT_EQ(resolved(), "/usr/bin/env");
  fs::create_directory(dir.path() / "glowticker-cli");  // a folder is not a program
  EXPECT_EQ(resolved(), "/usr/bin/env");
  fs::remove(dir.path() / "glowticker-cli");
  stub(dir, "glowticker-cli", "exit 0", 0644);
  EXPECT_EQ(resolved(), "/usr/bin/env");
  fs::permissions(dir.path() / "glowticker-cli", fs::perms(0755));
  EXPECT_EQ(resolved(), dir.file("glowticker-cli"));

  auto good = ok(HookInstaller(stub(dir, "ok", "printf '=== %s: /f ===\\nnote:   %s\\n' $3 $1; echo x >&2; echo; echo 'Note: n'"))
                     .setHook(codex, false));
  EXPECT_EQ(good.reports, (std::vector<InstallReport>{{"codex", "/f", "", "", {"uninstall"}}}));
  EXPECT_EQ(good.note, "n");
  auto garbled = ok(HookInstaller(stub(dir, "bad", "printf '=== a: b ===\\n\\377\\nNote: x\\n'")).setHook(kimi, true));
  EXPECT_TRUE(garbled.reports.empty() && garbled.note.empty());  // not UTF-8: no text at all
  HookError e = failed(HookInstaller(stub(dir, "e", "printf out; printf ' err\\n' >&2; exit 2")).setHook(claude, true));
  EXPECT_EQ(std::tuple(e.domain, e.code, e.description), std::tuple("HookInstaller"s, 2, " err\n"s));
  e = failed(HookInstaller(stub(dir, "o", "echo out; printf '\\300' >&2; exit 4")).setHook(claude, true));
  EXPECT_EQ(std::tuple(e.code, e.description), std::tuple(4, "out\n"s));
  e = failed(HookInstaller(stub(dir, "k", "kill -9 $$")).setHook(kimi, true));
  EXPECT_EQ(e.code, 128 + 9);
  EXPECT_NE(e.description.find("signal 9"), std::string::npos) << e.description;
  e = failed(HookInstaller(dir.file("nope")).setHook(codex, true));
  EXPECT_EQ(std::tuple(e.domain, e.code), std::tuple("POSIX"s, ENOENT));

  // A megabyte on each pipe does not stall; two slow calls at once finish together; a hung tool is killed.
  HookInstaller flood(stub(dir, "flood", "head -c 1048576 /dev/zero | tr '\\0' o\nhead -c 1048576 /dev/zero >&2\nexit 3"));
  flood.setTimeLimit(std::chrono::seconds(20));
  EXPECT_EQ(failed(flood.setHook(codex, true)).description.size(), 1048576u);
  std::string slow = stub(dir, "slow", "sleep 0.3; echo \"=== $3: p ===\"");
  HookResult a, b;
  auto start = std::chrono::steady_clock::now();
  std::thread t1([&] { a = HookInstaller(slow).setHook(codex, true); }), t2([&] { b = HookInstaller(slow).setHook(claude, true); });
  t1.join(), t2.join();
  EXPECT_EQ(ok(a).reports.at(0).agent + ok(b).reports.at(0).agent, "codexclaude");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  HookInstaller hung(stub(dir, "hung", "exec sleep 30"));
  hung.setTimeLimit(std::chrono::milliseconds(300));
  EXPECT_NE(failed(hung.setHook(codex, true)).description.find("did not finish"), std::string::npos);

  // Without a tool beside the app, env finds glowticker on the search path.
  stub(dir, "glowticker", "echo \"=== $3: $1 ===\"");
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir.path().string() + ":" + oldPath).c_str(), 1);
  HookResult r = HookInstaller(std::string("/usr/bin/env")).setHook(kimi, true);
  ::setenv("PATH", oldPath.c_str(), 1);
  EXPECT_EQ(ok(r).reports, (std::vector<InstallReport>{{"kimi", "install", "", "", {}}}));
}

// The real companion tool, run the way the app runs it, on a temporary HOME.
TEST(HookInstaller, RealCompanionToolRoundTrip) {
  const fs::path cli = GT_CLI_EXE;
  ASSERT_EQ(HookInstaller::resolveToolPath(cli.parent_path()), cli.string());
  TempDir home;
  std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.path().c_str(), 1);
  HookInstaller installer(cli.string());
  for (AgentID agent : allAgents()) {
    HookSuccess on = ok(installer.setHook(agent, true));
    ASSERT_EQ(on.reports.size(), 1u);
    EXPECT_EQ(std::tuple(on.reports[0].agent, on.reports[0].path, on.reports[0].action),
              std::tuple(std::string(rawValue(agent)), HookState::configPath(agent, home.path()).string(), "created"s));
    EXPECT_EQ(on.note, "restart " + std::string(rawValue(agent)) + " so that running sessions pick up the change.");
    EXPECT_TRUE(HookState::isInstalled(agent));
    HookSuccess off = ok(installer.setHook(agent, false));
    EXPECT_EQ(off.reports.at(0).action, "removed");
    EXPECT_NE(test::readAll(off.reports.at(0).backup).find("glowticker-hook"), std::string::npos);
    EXPECT_FALSE(HookState::isInstalled(agent));
  }
  ::setenv("HOME", oldHome.c_str(), 1);
}

}  // namespace
}  // namespace gt
