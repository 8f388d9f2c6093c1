// Agent configuration files that are not what they should be. Hook state reads them without harm and
// the companion tool edits them correctly or refuses, never destroying what was there.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "cli/companion/companion_tool.h"
#include "core/hooks/hook_installer.h"
#include "core/hooks/hook_state.h"
#include "support/stress_support.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;

class AgentFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(home_.ok()); }
  fs::path file(AgentID a) { return HookState::configPath(a, home_.path()); }
  int tool(AgentID a, bool install) {
    std::ostringstream out, err;
    CompanionTool::Options o{home_.path(), GT_HOOK_EXE};
    return install ? CompanionTool::install(a, o, out, err) : CompanionTool::uninstall(a, o, out, err);
  }
  // Not installed, both edits refused.
  int refusals(AgentID a) {
    return !HookState::isInstalled(a, home_.path()) + (tool(a, true) == 1) + (tool(a, false) == 1);
  }
  stress::TempDir home_;
};

TEST_F(AgentFiles, HugeInvalidOrDirectoryFilesAreNotInstalledAndAreLeftAlone) {
  // Over 16 MiB, the marker included: too large to be an agent configuration.
  const std::string huge = "# glowticker-hook\n" + std::string(17 * 1024 * 1024, '#') + "\n";
  const std::string badJson = "{\"x\": \"\xff\xfe glowticker-hook\"}\n",
                    badToml = "model = \"\xc3\x28\" # glowticker-hook\n";
  for (AgentID a : allAgents()) {
    for (const std::string& text : {huge, a == *agentFromRaw("claude") ? badJson : badToml}) {
      test::writeAll(file(a), text);
      EXPECT_EQ(refusals(a), 3) << rawValue(a);
      EXPECT_EQ(readAll(file(a)), text) << rawValue(a);
    }
    fs::remove(file(a));
    test::writeAll(file(a) / "glowticker", "inside");
    EXPECT_EQ(refusals(a), 3) << rawValue(a);
    EXPECT_EQ(readAll(file(a) / "glowticker"), "inside");
  }
}

// Dotfiles kept in a repository and linked into the home directory; claude's is large but acceptable.
TEST_F(AgentFiles, SymlinkedAndLargeFilesAreEditedInPlaceAndKeepTheirContent) {
  const std::string pad(4 * 1024 * 1024, 'p');
  for (AgentID a : allAgents()) {
    fs::path real = home_.path() / "dotfiles" / rawValue(a);
    test::writeAll(real,
                   a == *agentFromRaw("claude") ? "{\"theme\": \"dark\", \"padding\": \"" + pad + "\"}\n" : "model = \"m\"\n");
    fs::create_directories(file(a).parent_path());
    fs::create_symlink(real, file(a));
    EXPECT_FALSE(HookState::isInstalled(a, home_.path()));
    EXPECT_EQ(tool(a, true), 0) << rawValue(a);
    EXPECT_TRUE(fs::is_symlink(file(a))) << "the link was replaced by a file";
    EXPECT_TRUE(HookState::isInstalled(a, home_.path())) << rawValue(a);
    EXPECT_NE(readAll(real).find("glowticker-hook"), std::string::npos);
    EXPECT_NE(readAll(real).find(a == *agentFromRaw("claude") ? "dark" : "model"), std::string::npos);
    EXPECT_EQ(tool(a, false), 0);
    EXPECT_TRUE(fs::is_symlink(file(a)));
    EXPECT_FALSE(HookState::isInstalled(a, home_.path()));
    EXPECT_NE(readAll(real).find(a == *agentFromRaw("claude") ? pad : "model"), std::string::npos);
  }
  fs::remove(home_.path() / "dotfiles" / "claude");  // a link that points nowhere is no hook
  EXPECT_FALSE(HookState::isInstalled(*agentFromRaw("claude"), home_.path()));
}

// Root reads anything, so as root the check runs in a child that gives up its privileges first.
TEST_F(AgentFiles, UnreadableFilesAreNotInstalledAndAreLeftAlone) {
  auto text = [](AgentID a) { return a == *agentFromRaw("claude") ? "{\"note\": \"glowticker\"}\n" : "# glowticker\n"; };
  for (AgentID a : allAgents()) {
    test::writeAll(file(a), text(a));
    ::chmod(file(a).c_str(), 0);
    ::chmod(file(a).parent_path().c_str(), 0755);
  }
  ::chmod(home_.path().c_str(), 0755);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const gid_t nogroup = 65534;  // and user nobody
    if (::geteuid() == 0 && (::setgroups(1, &nogroup) != 0 || ::setgid(nogroup) != 0 || ::setuid(65534) != 0))
      ::_exit(10);
    int failures = 0;
    for (AgentID a : allAgents()) failures += 3 - refusals(a);
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 10) << "could not drop privileges";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "unreadable files were reported installed or edited";
  for (AgentID a : allAgents()) {
    ::chmod(file(a).c_str(), 0600);
    EXPECT_EQ(readAll(file(a)), text(a));
  }
}

}  // namespace
}  // namespace gt
