// Agent configuration files that are not what they should be. Hook state reads them without harm and
// the companion tool edits them correctly or refuses, never destroying what was there.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "cli/companion/companion_tool.h"
#include "core/hooks/hook_state.h"
#include "support/stress_support.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;
const AgentID claude = *agentFromRaw("claude");

class AgentFiles : public ::testing::Test {
 protected:
  fs::path file(AgentID a) { return HookState::configPath(a, home_.path()); }
  int tool(AgentID a, bool install) {
    std::ostringstream out, err;
    CompanionTool::Options o{home_.path(), GT_HOOK_EXE};
    return install ? CompanionTool::install(a, o, out, err) : CompanionTool::uninstall(a, o, out, err);
  }
  // Not installed, and both edits refused.
  int refusals(AgentID a) { return !HookState::isInstalled(a, home_.path()) + (tool(a, true) == 1) + (tool(a, false) == 1); }
  stress::TempDir home_;
};

// Over the size bound, a folder or a FIFO at the path: not installed, both edits refused, nothing lost,
// and nothing waits for a writer to the FIFO.
TEST_F(AgentFiles, HugeFilesFoldersAndFifosAreNotInstalledAndAreLeftAlone) {
  const std::string huge = "# glowticker-hook\n" + std::string(17 * 1024 * 1024, '#') + "\n";  // over 16 MiB
  for (AgentID a : allAgents()) {
    test::writeAll(file(a), huge);
    EXPECT_TRUE(refusals(a) == 3 && readAll(file(a)) == huge) << rawValue(a);
    fs::remove(file(a));
    ASSERT_EQ(::mkfifo(file(a).c_str(), 0600), 0);
    EXPECT_EQ(refusals(a), 3) << rawValue(a);
    fs::remove(file(a));
    test::writeAll(file(a) / "glowticker", "inside");
    EXPECT_TRUE(refusals(a) == 3 && readAll(file(a) / "glowticker") == "inside") << rawValue(a);
  }
}

// Dotfiles kept in a repository and linked into the home directory; claude's is large but acceptable.
TEST_F(AgentFiles, SymlinkedAndLargeFilesAreEditedInPlaceAndKeepTheirContent) {
  const std::string pad(4 * 1024 * 1024, 'p');
  for (AgentID a : allAgents()) {
    fs::path real = home_.path() / "dotfiles" / rawValue(a);
    const std::string text = a == claude ? "{\"padding\": \"" + pad + "\"}\n" : "model = \"" + pad + "\"\n";
    test::writeAll(real, text);
    fs::create_directories(file(a).parent_path());
    fs::create_symlink(real, file(a));
    EXPECT_TRUE(tool(a, true) == 0 && fs::is_symlink(file(a)) && HookState::isInstalled(a, home_.path())) << rawValue(a);
    EXPECT_TRUE(tool(a, false) == 0 && fs::is_symlink(file(a)) && !HookState::isInstalled(a, home_.path()));
    EXPECT_NE(readAll(real).find(pad), std::string::npos);
  }
  fs::remove(home_.path() / "dotfiles" / "claude");  // a link that points nowhere is no hook
  EXPECT_FALSE(HookState::isInstalled(claude, home_.path()));
}

// Root reads anything, so the check runs in a child that gives up root first.
TEST_F(AgentFiles, UnreadableFilesAreNotInstalledAndAreLeftAlone) {
  for (AgentID a : allAgents()) {
    test::writeAll(file(a), "# glowticker\n");
    ::chmod(file(a).c_str(), 0);
    ::chmod(file(a).parent_path().c_str(), 0755);
  }
  ::chmod(home_.path().c_str(), 0755);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const gid_t nogroup = 65534;  // and user nobody
    if (::geteuid() == 0 && (::setgroups(1, &nogroup) != 0 || ::setgid(nogroup) != 0 || ::setuid(65534) != 0)) ::_exit(10);
    int failures = 0;
    for (AgentID a : allAgents()) failures += 3 - refusals(a);
    ::_exit(failures);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << "unreadable files were reported installed or edited (10: could not drop root)";
  for (AgentID a : allAgents()) {
    ::chmod(file(a).c_str(), 0600);
    EXPECT_EQ(readAll(file(a)), "# glowticker\n");
  }
}

}  // namespace
}  // namespace gt
