// The agents' files belong to the user: the tool knows its hook by what it runs, edits only its own
// bytes, and takes its own out again to the byte.
#include <gtest/gtest.h>

#include <thread>

#include "cli/companion/companion_tool.h"
#include "cli/companion/edit_lock.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/hook_state.h"
#include "support/process.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;

const AgentID claude = *agentFromRaw("claude"), codex = *agentFromRaw("codex"), kimi = *agentFromRaw("kimi");

TEST(HookIdentity, OursIsWhatTheCommandRuns) {
  const struct {
    AgentID agent;
    const char* command;
    bool ours;
  } rows[] = {
      {claude, "'/opt/My Apps/glowticker-hook' --agent claude", true},
      {claude, "\"$HOME/bin/glowticker-hook\" --agent=claude  # ours", true},
      {claude, "GT_LOG=1 /usr/bin/glowticker hook --agent claude", true},
      {kimi, "glowticker-cli hook --agent kimi", true},
      {kimi, "glowticker-hook --agent claude", false},
      {claude, "~/bin/log-glowticker-hook-events.sh", false},
      {claude, "grep -q glowticker-hook ~/.audit", false},
      {claude, "glowticker-hook --agent claude | tee -a ~/hook.log", false},
      {claude, "glowticker-hook --agent claude; rm -f /tmp/x", false},
      {claude, "'glowticker-hook --agent claude'", false},
      {claude, "glowticker --agent claude", false},
      {claude, "glowticker-hook --agent claude 'open", false},
      {claude, "echo $(glowticker-hook --agent claude)", false},
  };
  for (const auto& r : rows) EXPECT_EQ(hook_identity::isOurCommand(rawValue(r.agent), r.command), r.ours) << r.command;
  EXPECT_FALSE(hook_identity::isOurArgv("codex", {"/home/u/bin/my-glowticker-hook-wrapper", "--loud"}));
  EXPECT_TRUE(hook_identity::isOurArgv(
      "codex", {"/x/glowticker-hook", "--agent", "codex", "--chain", "--", "y", "--agent", "kimi"}));
  EXPECT_FALSE(hook_identity::isOurArgv("codex", {"/x/glowticker-hook", "--chain", "--", "--agent", "codex"}));
}

// What the app's switch shows: on exactly when the file holds one of our entries under our events.
TEST(HookIdentity, StateReadsTheFileAsTheAgentDoes) {
  test::TempDir home;
  const std::string claudeHook = R"({"hooks": {"EVENT": [{"hooks": [{"type": "command", "command": "CMD"}]}]}})";
  auto settings = [&](std::string event, std::string command) {
    std::string s = claudeHook;
    s.replace(s.find("EVENT"), 5, event);
    return s.replace(s.find("CMD"), 3, command);
  };
  const struct {
    AgentID agent;
    std::string text;
    bool on;
  } rows[] = {
      {claude, settings("Stop", "/o/glowticker-hook --agent claude"), true},
      {claude, "\xEF\xBB\xBF" + settings("Notification", "glowticker hook --agent claude"), true},
      {claude, settings("PreToolUse", "/o/glowticker-hook --agent claude"), false},
      {claude, settings("Stop", "~/bin/log-glowticker-hook-events.sh"), false},
      {claude, R"({"env": {"NOTE": "glowticker-hook --agent claude"}})", false},
      {codex, "# notify = [\"glowticker-hook\", \"--agent\", \"codex\"]\n", false},
      {codex, "notify = [\"/o/glowticker-hook\", \"--agent\", \"codex\"]\n", true},
      {codex, "notify = [\"/o/glowticker-hook\", \"--agent\", \"codex\"]\n\xc3\x28\n", false},
      {kimi, "[[hooks]]\nevent = \"Stop\"\ncommand = \"glowticker-hook --agent kimi\"\n", true},
      {kimi, "[[hooks]]\nevent = \"PreToolUse\"\ncommand = \"glowticker-hook --agent kimi\"\n", false},
  };
  for (const auto& r : rows) {
    test::writeAll(HookState::configPath(r.agent, home.path()), r.text);
    EXPECT_EQ(HookState::isInstalled(r.agent, home.path()), r.on) << r.text;
  }
}

class UserFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeAll(hook_, "#!/bin/sh\nexit 0\n");
    fs::permissions(hook_, fs::perms(0755));
  }
  int run(AgentID agent, bool install) {
    std::ostringstream out, err;
    CompanionTool::Options options{home_.path(), hook_};
    return install ? CompanionTool::install(agent, options, out, err) : CompanionTool::uninstall(agent, options, out, err);
  }
  fs::path file(AgentID agent) { return HookState::configPath(agent, home_.path()); }

  test::TempDir home_;
  fs::path hook_ = home_.path() / "My Apps" / "glowticker-hook";
};

// The original is what is left of `edited` once some bytes are taken out: an edit that only adds.
bool onlyAdded(const std::string& original, const std::string& edited) {
  size_t i = 0;
  for (char c : edited)
    if (i < original.size() && original[i] == c) ++i;
  return i == original.size();
}

TEST_F(UserFiles, RoundTripsAsWrittenByUsers) {
  const std::pair<AgentID, std::string> files[] = {
      {claude, "{\"model\":\"opus\"}"},
      {claude, "\xEF\xBB\xBF{\r\n\t\"n\": 123456789012345678901234567890,\r\n\t\"f\": 1e2,\r\n\t\"n\": 2\r\n}\r\n"},
      {claude, R"j({
    "permissions": { "allow": ["Bash(npm run test:*)"], "deny": [] },
    "hooks": {
        "Stop": [
            { "hooks": [ { "type": "command", "command": "~/bin/log-glowticker-hook-events.sh" } ] }
        ],
        "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "grep -q glowticker-hook ~/.audit"}]}],
        "Notification": [],
        "PermissionRequest": [ ]
    },
    "env": {"NOTE": "日本語 \"quoted\" \\ glowticker-hook"}
}
)j"},
      {claude, "{\"hooks\": {\"Stop\": [{\"hooks\": []}]}, \"x\": [ ]}"},
      {codex, "model = \"o3\"  # fast\nnotify = [\"/home/u/bin/my-glowticker-hook-wrapper\", \"--loud\"] # mine\n"},
      {codex, "notify = [  # mine\r\n  \"notify-send\",  # the sender\r\n  \"Codex\",\r\n]\r\n[tui]\r\nx = 1"},
      {codex, "# only a comment, no newline at the end"},
      {kimi, "default_model = \"kimi-k2\"  # fast one\n\n[[hooks]]\nevent = \"Stop\"\n"
                      "command = \"~/bin/log-glowticker-hook-events.sh\"\n"},
      {kimi, "[loop_control]\r\n\tmax_steps_per_turn = 100"},
  };
  for (const auto& [agent, original] : files) {
    SCOPED_TRACE(original);
    test::writeAll(file(agent), original);
    ASSERT_EQ(run(agent, true), 0);
    std::string installed = readAll(file(agent));
    EXPECT_TRUE(onlyAdded(original, installed)) << installed;
    EXPECT_TRUE(HookState::isInstalled(agent, home_.path()));
    ASSERT_EQ(run(agent, true), 0);
    EXPECT_EQ(readAll(file(agent)), installed);
    ASSERT_EQ(run(agent, false), 0);
    EXPECT_EQ(readAll(file(agent)), original);
    EXPECT_FALSE(HookState::isInstalled(agent, home_.path()));
  }
}

// A hook of ours that an older version or the user wrote goes; the user's own neighbours stay.
TEST_F(UserFiles, UninstallTakesOnlyOurs) {
  const std::string ours = R"({"type": "command", "command": "/old/glowticker-hook --agent claude"})";
  test::writeAll(file(claude), "{\"hooks\": {\"Stop\": [{\"hooks\": [{\"type\": \"command\", \"command\": "
                                        "\"say done\"}, " + ours + "]}],\n  \"PreToolUse\": [{\"hooks\": [" + ours +
                                            "]}]}}\n");
  ASSERT_EQ(run(claude, false), 0);
  EXPECT_EQ(readAll(file(claude)), "{\"hooks\": {\"Stop\": [{\"hooks\": [{\"type\": \"command\", \"command\": "
                                            "\"say done\"}]}],\n  \"PreToolUse\": [{\"hooks\": [" + ours + "]}]}}\n");
  test::writeAll(file(codex), "notify = [\"/old/glowticker-hook\", \"--agent\", \"codex\", \"--chain\", \"--\", "
                                       "\"say\", \"done\"]  # mine\n");
  ASSERT_EQ(run(codex, false), 0);
  EXPECT_EQ(readAll(file(codex)), "notify = [\"say\", \"done\"]  # mine\n");
}

// An edit waits for another one that holds the file, instead of overwriting what it wrote.
TEST_F(UserFiles, EditsOfOneFileTakeTurns) {
  test::writeAll(file(kimi), "a = 1\n");
  std::optional<EditLock> other(std::in_place, file(kimi));
  ASSERT_TRUE(other->held());
  std::thread install([&] { EXPECT_EQ(run(kimi, true), 0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readAll(file(kimi)), "a = 1\n");
  test::writeAll(file(kimi), "a = 2\n");  // the other edit's change
  other.reset();
  install.join();
  EXPECT_EQ(readAll(file(kimi)).substr(0, 6), "a = 2\n");
  EXPECT_TRUE(HookState::isInstalled(kimi, home_.path()));
}

// Installed in a folder whose name is not UTF-8, the real CLI refuses in one line and writes nothing.
TEST(HookCli, FolderNameThatIsNotUtf8) {
  test::TempDir dir;
  fs::path bin = dir.path() / "bin\xff";
  fs::create_directories(bin);
  fs::copy_file(GT_CLI_EXE, bin / "glowticker");
  fs::copy_file(GT_HOOK_EXE, bin / "glowticker-hook");
  std::string home = "HOME=" + dir.path().string();
  char* env[] = {home.data(), nullptr};
  for (const char* agent : {"claude", "codex", "kimi"}) {
    auto r = test::runProgram({(bin / "glowticker").string(), "install", "--agent", agent}, dir.path(), "", false, env);
    EXPECT_EQ(r.status, 1) << agent;
    EXPECT_NE(r.err.find("not valid UTF-8"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(fs::exists(HookState::configPath(*agentFromRaw(agent), dir.path())));
  }
}

}  // namespace
}  // namespace gt
