#include "core/hooks/hook_installer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <thread>

#include "test_support.h"

namespace gt {
namespace {

using test::TempDir;
using test::writeFile;

std::string stub(const TempDir& dir, const std::string& name, const std::string& body, unsigned mode = 0755) {
  std::filesystem::path p = dir.path() / name;
  writeFile(p, "#!/bin/sh\n" + body + "\n", mode);
  return p.string();
}

HookSuccess expectSuccess(const HookResult& r) {
  if (const auto* e = std::get_if<HookError>(&r)) {
    ADD_FAILURE() << "failed: " << e->domain << " " << e->code << " " << e->description;
    return {};
  }
  return std::get<HookSuccess>(r);
}

HookError expectError(const HookResult& r) {
  if (!std::holds_alternative<HookError>(r)) {
    ADD_FAILURE() << "unexpected success";
    return {};
  }
  return std::get<HookError>(r);
}

TEST(HookInstaller, ToolPathResolution) {
  TempDir dir;
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), "/usr/bin/env");
  EXPECT_EQ(HookInstaller::resolveToolPath(""), "/usr/bin/env");
  std::filesystem::create_directory(dir.path() / "glowticker-cli");  // a folder is not a program
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), "/usr/bin/env");
  std::filesystem::remove(dir.path() / "glowticker-cli");
  stub(dir, "glowticker-cli", "exit 0", 0644);
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), "/usr/bin/env");
  std::filesystem::permissions(dir.path() / "glowticker-cli", std::filesystem::perms(0755));
  EXPECT_EQ(HookInstaller::resolveToolPath(dir.path()), (dir.path() / "glowticker-cli").string());
}

TEST(HookInstaller, CommandLines) {
  HookInstaller viaEnv(std::string("/usr/bin/env"));
  EXPECT_EQ(viaEnv.commandLine(AgentID::claude, true),
            (std::vector<std::string>{"/usr/bin/env", "glowticker", "install", "--agent", "claude"}));
  EXPECT_EQ(viaEnv.commandLine(AgentID::claude, false),
            (std::vector<std::string>{"/usr/bin/env", "glowticker", "uninstall", "--agent", "claude"}));
  HookInstaller direct(std::string("/opt/g/glowticker-cli"));
  EXPECT_EQ(direct.commandLine(AgentID::kimi, true),
            (std::vector<std::string>{"/opt/g/glowticker-cli", "install", "--agent", "kimi"}));
}

TEST(HookInstaller, ExitStatusAndOutputMixes) {
  TempDir dir;
  // Success: the report comes from standard output, standard error is ignored.
  auto ok = expectSuccess(HookInstaller(stub(dir, "ok",
                                             "echo \"=== $3: /home/u/f ===\"\necho \"action: $1\"\n"
                                             "echo noise >&2\necho\necho 'Note: restart it'"))
                              .setHook(AgentID::codex, false));
  ASSERT_EQ(ok.reports.size(), 1u);
  EXPECT_EQ(ok.reports[0].agent, "codex");
  EXPECT_EQ(ok.reports[0].action, "uninstall");
  EXPECT_EQ(ok.note, "restart it");

  auto empty = expectSuccess(HookInstaller(stub(dir, "empty", "exit 0")).setHook(AgentID::claude, true));
  EXPECT_TRUE(empty.reports.empty());
  EXPECT_EQ(empty.note, "");

  auto binary = expectSuccess(
      HookInstaller(stub(dir, "binary", "printf '=== a: b ===\\n\\377\\nNote: x\\n'")).setHook(AgentID::claude, true));
  EXPECT_TRUE(binary.reports.empty());  // not UTF-8: treated as no text at all
  EXPECT_EQ(binary.note, "");

  HookError both = expectError(
      HookInstaller(stub(dir, "both", "printf out; printf ' err\\n' >&2; exit 2")).setHook(AgentID::claude, true));
  EXPECT_EQ(both.domain, "HookInstaller");
  EXPECT_EQ(both.code, 2);
  EXPECT_EQ(both.description, " err\n");  // untrimmed

  HookError outOnly =
      expectError(HookInstaller(stub(dir, "outonly", "echo 'only out'; exit 1")).setHook(AgentID::claude, true));
  EXPECT_EQ(outOnly.code, 1);
  EXPECT_EQ(outOnly.description, "only out\n");

  HookError badErr = expectError(
      HookInstaller(stub(dir, "baderr", "echo fallback; printf '\\300' >&2; exit 4")).setHook(AgentID::kimi, true));
  EXPECT_EQ(badErr.description, "fallback\n");  // invalid standard error counts as empty

  HookError killed = expectError(HookInstaller(stub(dir, "killed", "kill -9 $$")).setHook(AgentID::kimi, true));
  EXPECT_EQ(killed.code, 128 + 9);
  EXPECT_NE(killed.description.find("signal 9"), std::string::npos) << killed.description;
}

TEST(HookInstaller, MegabyteOnEachPipeDoesNotStall) {
  TempDir dir;
  std::string tool = stub(dir, "flood",
                          "head -c 1048576 /dev/zero | tr '\\0' o\n"
                          "head -c 1048576 /dev/zero | tr '\\0' e >&2\n"
                          "exit 3");
  HookInstaller installer(tool);
  installer.setTimeLimit(std::chrono::seconds(20));
  HookError e = expectError(installer.setHook(AgentID::codex, true));
  EXPECT_EQ(e.code, 3);
  EXPECT_EQ(e.description.size(), 1048576u);
  EXPECT_EQ(e.description.find_first_not_of('e'), std::string::npos);
}

TEST(HookInstaller, LaunchFailures) {
  TempDir dir;
  HookError missing = expectError(HookInstaller((dir.path() / "nope").string()).setHook(AgentID::codex, true));
  EXPECT_EQ(missing.domain, "POSIX");
  EXPECT_EQ(missing.code, ENOENT);
  EXPECT_NE(missing.description.find("nope"), std::string::npos);

  if (::geteuid() != 0) {  // root may execute what it likes
    HookError denied = expectError(HookInstaller(stub(dir, "noexec", "exit 0", 0644)).setHook(AgentID::codex, true));
    EXPECT_EQ(denied.code, EACCES);
  }
}

TEST(HookInstaller, SearchPathFormRunsGlowtickerThroughEnv) {
  TempDir dir;
  stub(dir, "glowticker", "echo \"=== $3: $1 ===\"");
  std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
  ::setenv("PATH", (dir.path().string() + ":" + oldPath).c_str(), 1);
  HookResult r = HookInstaller(std::string("/usr/bin/env")).setHook(AgentID::kimi, true);
  ::setenv("PATH", oldPath.c_str(), 1);
  auto ok = expectSuccess(r);
  ASSERT_EQ(ok.reports.size(), 1u);
  EXPECT_EQ(ok.reports[0].agent, "kimi");
  EXPECT_EQ(ok.reports[0].path, "install");
}

TEST(HookInstaller, ConcurrentCallsAndTimeLimit) {
  TempDir dir;
  std::string tool = stub(dir, "slow", "sleep 0.3; echo \"=== $3: p ===\"");
  HookResult a, b;
  auto start = std::chrono::steady_clock::now();
  std::thread t1([&] { a = HookInstaller(tool).setHook(AgentID::codex, true); });
  std::thread t2([&] { b = HookInstaller(tool).setHook(AgentID::claude, true); });
  t1.join();
  t2.join();
  EXPECT_EQ(expectSuccess(a).reports.at(0).agent, "codex");
  EXPECT_EQ(expectSuccess(b).reports.at(0).agent, "claude");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  HookInstaller hung(stub(dir, "hung", "exec sleep 30"));
  hung.setTimeLimit(std::chrono::milliseconds(300));
  HookError e = expectError(hung.setHook(AgentID::codex, true));
  EXPECT_EQ(e.code, 128 + 9);
  EXPECT_NE(e.description.find("did not finish"), std::string::npos);
}

}  // namespace
}  // namespace gt

namespace gt {
namespace {

// The real companion tool, run the way the app runs it, on a temporary HOME.
TEST(HookInstaller, RealCompanionToolRoundTrip) {
  const std::filesystem::path cli = GT_CLI_EXE;
  if (!std::filesystem::exists(cli)) GTEST_SKIP() << cli << " is not built; build the glowticker-cli target first";
  ASSERT_EQ(HookInstaller::resolveToolPath(cli.parent_path()), cli.string());
  TempDir home;
  std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
  ::setenv("HOME", home.path().c_str(), 1);
  for (AgentID agent : kAllAgents) {
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
  writeFile(HookState::configPath(AgentID::claude, home.path()), "{oops");
  HookError e = expectError(HookInstaller(cli.string()).setHook(AgentID::claude, true));
  EXPECT_EQ(e.code, 1);
  EXPECT_NE(e.description.find("not valid JSON"), std::string::npos) << e.description;
  ::setenv("HOME", oldHome.c_str(), 1);
}

}  // namespace
}  // namespace gt
