// Agent configuration files that are not what they should be: huge, unreadable, a directory, a
// symlink, invalid UTF-8. Hook state reads them without harm and the companion tool either edits
// them correctly or refuses, never destroying what was there.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "cli/companion/companion_tool.h"
#include "core/hooks/hook_installer.h"
#include "stress_support.h"

namespace gt {
namespace {

namespace fs = std::filesystem;

using test::readAll;
using test::writeAll;

class AgentFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.ok()); }
  fs::path file(AgentID a) { return HookState::configPath(a, home_.path()); }
  int install(AgentID a, std::string* err = nullptr) {
    std::ostringstream out, e;
    int rc = CompanionTool::install(a, {home_.path(), GT_HOOK_EXE}, out, e);
    if (err) *err = e.str();
    return rc;
  }
  int uninstall(AgentID a) {
    std::ostringstream out, e;
    return CompanionTool::uninstall(a, {home_.path(), GT_HOOK_EXE}, out, e);
  }
  stress::TempDir home_;
};

TEST_F(AgentFiles, HugeFilesAreNotReadAsInstalledAndAreLeftAlone) {
  for (AgentID a : kAllAgents) {
    // Over 16 MiB, the marker included: too large to be an agent configuration.
    std::string huge = "# glowticker-hook\n" + std::string(17 * 1024 * 1024, '#') + "\n";
    writeAll(file(a), huge);
    EXPECT_FALSE(HookState::isInstalled(a, home_.path())) << rawValue(a);
    std::string err;
    EXPECT_EQ(install(a, &err), 1) << rawValue(a);
    EXPECT_EQ(uninstall(a), 1) << rawValue(a);
    EXPECT_EQ(fs::file_size(file(a)), huge.size());
    EXPECT_EQ(readAll(file(a)), huge);
  }
}

TEST_F(AgentFiles, LargeButAcceptableFilesAreEditedAndKeepTheirContent) {
  std::string big = "{\n  \"model\": \"opus\",\n  \"padding\": \"" + std::string(4 * 1024 * 1024, 'p') + "\"\n}\n";
  writeAll(file(AgentID::claude), big);
  std::string err;
  EXPECT_EQ(install(AgentID::claude, &err), 0) << err;
  EXPECT_TRUE(HookState::isInstalled(AgentID::claude, home_.path()));
  std::string after = readAll(file(AgentID::claude));
  EXPECT_NE(after.find(std::string(4 * 1024 * 1024, 'p')), std::string::npos);
  EXPECT_EQ(uninstall(AgentID::claude), 0);
  EXPECT_FALSE(HookState::isInstalled(AgentID::claude, home_.path()));
  EXPECT_NE(readAll(file(AgentID::claude)).find("\"model\": \"opus\""), std::string::npos);
}

TEST_F(AgentFiles, DirectoriesAtThePathAreNotInstalledAndAreLeftAlone) {
  for (AgentID a : kAllAgents) {
    fs::create_directories(file(a));
    writeAll(file(a) / "glowticker", "inside");
    EXPECT_FALSE(HookState::isInstalled(a, home_.path()));
    EXPECT_EQ(install(a), 1) << rawValue(a);
    EXPECT_EQ(uninstall(a), 1) << rawValue(a);
    EXPECT_TRUE(fs::is_directory(file(a)));
    EXPECT_EQ(readAll(file(a) / "glowticker"), "inside");
  }
}

TEST_F(AgentFiles, InvalidUtf8IsNotInstalledAndIsNeverRewritten) {
  const std::string claude = "{\"x\": \"\xff\xfe glowticker-hook\"}\n";
  const std::string toml = "model = \"\xc3\x28\" # glowticker-hook\n";
  writeAll(file(AgentID::claude), claude);
  writeAll(file(AgentID::codex), toml);
  writeAll(file(AgentID::kimi), toml);
  for (AgentID a : kAllAgents) {
    EXPECT_FALSE(HookState::isInstalled(a, home_.path())) << rawValue(a);
    EXPECT_EQ(install(a), 1) << rawValue(a);
    EXPECT_EQ(uninstall(a), 1) << rawValue(a);
  }
  EXPECT_EQ(readAll(file(AgentID::claude)), claude);
  EXPECT_EQ(readAll(file(AgentID::codex)), toml);
  EXPECT_EQ(readAll(file(AgentID::kimi)), toml);
}

TEST_F(AgentFiles, SymlinkedFilesAreReadThroughAndEditedInPlace) {
  // Dotfiles kept in a repository and linked into the home directory.
  fs::path repo = home_.path() / "dotfiles";
  for (AgentID a : kAllAgents) {
    fs::path real = repo / (std::string(rawValue(a)) + (a == AgentID::claude ? ".json" : ".toml"));
    writeAll(real, a == AgentID::claude ? "{\"theme\": \"dark\"}\n" : "model = \"m\"\n");
    fs::create_directories(file(a).parent_path());
    fs::create_symlink(real, file(a));
    EXPECT_FALSE(HookState::isInstalled(a, home_.path()));
    std::string err;
    EXPECT_EQ(install(a, &err), 0) << rawValue(a) << ": " << err;
    EXPECT_TRUE(fs::is_symlink(file(a))) << "the link was replaced by a file";
    EXPECT_TRUE(HookState::isInstalled(a, home_.path())) << rawValue(a);
    EXPECT_NE(readAll(real).find("glowticker-hook"), std::string::npos);
    EXPECT_NE(readAll(real).find(a == AgentID::claude ? "dark" : "model"), std::string::npos);
    EXPECT_EQ(uninstall(a), 0);
    EXPECT_TRUE(fs::is_symlink(file(a)));
    EXPECT_FALSE(HookState::isInstalled(a, home_.path()));
  }
  // A link that points nowhere is no hook.
  fs::remove(repo / "claude.json");
  EXPECT_FALSE(HookState::isInstalled(AgentID::claude, home_.path()));
}

// Unreadable for the user who runs the check. Root reads anything, so as root the check runs in a
// child that gives up its privileges first.
TEST_F(AgentFiles, UnreadableFilesAreNotInstalledAndAreLeftAlone) {
  const std::string text = "{\"hooks\": {}, \"note\": \"glowticker\"}\n";
  for (AgentID a : kAllAgents) {
    writeAll(file(a), a == AgentID::claude ? text : "# glowticker\n");
    ::chmod(file(a).c_str(), 0);
    ::chmod(file(a).parent_path().c_str(), 0755);
  }
  ::chmod(home_.path().c_str(), 0755);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0) {
      const gid_t nogroup = 65534;
      if (::setgroups(1, &nogroup) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
    }
    int failures = 0;
    for (AgentID a : kAllAgents) {
      failures += HookState::isInstalled(a, home_.path()) ? 1 : 0;
      failures += install(a) != 1 ? 1 : 0;
      failures += uninstall(a) != 1 ? 1 : 0;
    }
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_NE(WEXITSTATUS(status), 10) << "could not drop privileges";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "unreadable files were reported installed or edited";
  for (AgentID a : kAllAgents) {
    ::chmod(file(a).c_str(), 0600);
    EXPECT_EQ(readAll(file(a)), a == AgentID::claude ? text : "# glowticker\n");
  }
}

}  // namespace
}  // namespace gt
