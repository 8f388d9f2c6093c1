// The agents' files belong to the user: the tool knows its hook by what it runs, edits only its own
// bytes, takes its own out again to the byte, and leaves what it cannot edit exactly as it was.
#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "cli/companion/companion_tool.h"
#include "cli/companion/edit_lock.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/hook_state.h"
#include "core/hooks/install_report.h"
#include "support/process.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;
using namespace std::string_literals;
const AgentID claude = *agentFromRaw("claude"), codex = *agentFromRaw("codex"), kimi = *agentFromRaw("kimi");

// Users' hooks that merely mention the program are in the round trips below; these are the edges.
TEST(HookIdentity, OursIsWhatTheCommandRuns) {
  const struct {
    AgentID agent;
    const char* command;
    bool ours;
  } rows[] = {
      {claude, "'/opt/My Apps/glowticker-hook' --agent claude", true}, {kimi, "glowticker-cli hook --agent kimi", true},
      {claude, "\"$HOME/bin/glowticker-hook\" --agent=claude  # ours", true},
      {claude, "GT_LOG=1 /usr/bin/glowticker hook --agent claude", true}, {kimi, "glowticker-hook --agent claude", false},
      {claude, "grep -q glowticker-hook ~/.audit", false}, {claude, "glowticker --agent claude", false},
      {claude, "glowticker-hook --agent claude | tee -a ~/hook.log", false},
      {claude, "glowticker-hook --agent claude; rm -f /tmp/x", false},
      {claude, "'glowticker-hook --agent claude'", false}, {claude, "glowticker-hook --agent claude 'open", false},
      {claude, "echo $(glowticker-hook --agent claude)", false},
  };
  for (const auto& r : rows) EXPECT_EQ(hook_identity::isOurCommand(rawValue(r.agent), r.command), r.ours) << r.command;
  EXPECT_TRUE(hook_identity::isOurArgv(
      "codex", {"/x/glowticker-hook", "--agent", "codex", "--chain", "--", "y", "--agent", "kimi"}));
  EXPECT_FALSE(hook_identity::isOurArgv("codex", {"/x/glowticker-hook", "--chain", "--", "--agent", "codex"}));
}

class UserFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeAll(hook_, "#!/bin/sh\n");
    fs::permissions(hook_, fs::perms(0755));
  }
  // Runs the tool and returns its one report; a failure writes to standard error only.
  InstallReport run(AgentID agent, bool install, int want = 0) {
    std::ostringstream out, err;
    CompanionTool::Options options{home_.path(), hook_};
    EXPECT_EQ(install ? CompanionTool::install(agent, options, out, err) : CompanionTool::uninstall(agent, options, out, err),
              want) << err.str();
    EXPECT_EQ(out.str().empty() + err.str().empty(), 1);
    error_ = err.str();
    auto reports = parseReports(out.str());
    return reports.empty() ? InstallReport{} : reports.at(0);
  }
  fs::path file(AgentID agent) { return HookState::configPath(agent, home_.path()); }

  test::TempDir home_;
  fs::path hook_ = home_.path() / "My Apps" / "glowticker-hook";  // a space, so quoting matters
  std::string error_;
};

TEST_F(UserFiles, FreshFiles) {
  EXPECT_EQ(run(claude, true).action, "created");
  EXPECT_EQ(fs::status(file(claude)).permissions(), fs::perms(0600));
  auto doc = nlohmann::json::parse(readAll(file(claude)));
  for (const char* event : {"Stop", "Notification", "PermissionRequest"})
    EXPECT_EQ(doc["hooks"][event].at(0)["hooks"].at(0)["command"], "'" + hook_.string() + "' --agent claude");
  run(kimi, true);
  toml::table kimiDoc = toml::parse_file(file(kimi).string());
  const toml::array& hooks = *kimiDoc["hooks"].as_array();
  ASSERT_EQ(hooks.size(), 2u);
  EXPECT_EQ(hooks[1].as_table()->size(), 4u);  // only the keys kimi accepts
  EXPECT_EQ(hooks[1].as_table()->at("event").value_or(""s), "Notification");
}

// The original is what is left of `edited` once some bytes are taken out: an edit that only adds.
bool onlyAdded(const std::string& original, const std::string& edited) {
  size_t i = 0;
  for (char c : edited)
    if (i < original.size() && original[i] == c) ++i;
  return i == original.size();
}

// Install twice, uninstall twice: the user's file comes back byte for byte, mode included. Ours goes
// after `after` (the user's own hooks come first; notify in the top-level table) and before `before`.
TEST_F(UserFiles, RoundTripsAsWrittenByUsers) {
  const struct {
    AgentID agent;
    std::string text, after = "", before = "";
  } files[] = {
      {claude, "{\"model\":\"opus\"}"},
      {claude, "\xEF\xBB\xBF{\r\n\t\"n\": 123456789012345678901234567890,\r\n\t\"f\": 1e2,\r\n\t\"n\": 2\r\n}\r\n"},
      {claude, R"j({
    "permissions": { "allow": ["Bash(npm run test:*)"], "deny": [] }, "hooks": {
        "Stop": [ { "hooks": [ { "type": "command", "command": "~/bin/log-glowticker-hook-events.sh" } ] } ],
        "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "grep -q glowticker-hook ~/.audit"}]}],
        "Notification": [], "PermissionRequest": [ ] }, "env": {"NOTE": "日本語 \"quoted\" \\ glowticker-hook"}
}
)j", "log-glowticker-hook-events"},
      {claude, "{\"hooks\": {\"Stop\": [{\"hooks\": []}]}, \"x\": [ ]}"},
      {codex, "model = \"o3\"  # fast\nnotify = [\"/home/u/bin/my-glowticker-hook-wrapper\", \"--loud\"] # mine\n"},
      {codex, "notify = [  # mine\r\n  \"notify-send\",  # the sender\r\n  \"Codex\",\r\n]\r\n[tui]\r\nx = 1"},
      {codex, "# notify = [\"glowticker-hook\", \"--agent\", \"codex\"]"},
      {codex, "# Codex\nmodel = \"o3\"\nm = [\n  [1, 2],\n]\nb = \"\"\"\n[not a table]\n\"\"\"\n\n# Mine\n[mcp.docs]\nc = 1\n",
       "[not a table]", "# Mine"},
      {kimi, "default_model = \"kimi-k2\"  # fast one\n\n[[hooks]]\nevent = \"Stop\"\n"
             "command = \"~/bin/log-glowticker-hook-events.sh\"\n"},
      {kimi, "[loop_control]\r\n\tmax_steps_per_turn = 100"},
      {kimi, "m = \"k2\"\n\n[[hooks]]\nevent = \"PreToolUse\"\ncommand = \"glowticker-hook --agent kimi\"\n\n[loop]\nmax = 1\n"},
  };
  for (const auto& [agent, original, after, before] : files) {
    SCOPED_TRACE(original);
    test::writeAll(file(agent), original);
    fs::permissions(file(agent), fs::perms(0640));
    EXPECT_FALSE(HookState::isInstalled(agent, home_.path()));
    InstallReport first = run(agent, true);
    EXPECT_EQ(std::tuple(first.action, first.path, readAll(first.backup)), std::tuple("installed", file(agent), original));
    EXPECT_EQ(fs::status(file(agent)).permissions(), fs::perms(0640));
    std::string installed = readAll(file(agent));
    EXPECT_TRUE(onlyAdded(original, installed)) << installed;
    EXPECT_TRUE(HookState::isInstalled(agent, home_.path()));
    size_t ours = installed.find(hook_.string());
    EXPECT_LT(installed.find(after), ours);
    EXPECT_LT(ours, before.empty() ? std::string::npos : installed.find(before));
    EXPECT_EQ(run(agent, true).action, "unchanged");
    EXPECT_EQ(readAll(file(agent)), installed);
    EXPECT_EQ(run(agent, false).action, "removed");
    EXPECT_EQ(readAll(file(agent)), original);
    EXPECT_FALSE(HookState::isInstalled(agent, home_.path()));
    EXPECT_EQ(run(agent, false).action, "unchanged");
  }
}

// A hook of ours that an older version or the user wrote goes; the user's own neighbours stay, and so
// does ours under an event we do not use, which the switch does not count either.
TEST_F(UserFiles, UninstallTakesOnlyOurs) {
  const std::string ours = R"({"type": "command", "command": "/old/glowticker hook --agent claude"})";
  test::writeAll(file(claude), "\xEF\xBB\xBF{\"hooks\": {\"Notification\": [{\"hooks\": [{\"type\": \"command\", \"command\": "
                               "\"say done\"}, " + ours + "]}],\n  \"PreToolUse\": [{\"hooks\": [" + ours + "]}]}}\n");
  EXPECT_TRUE(HookState::isInstalled(claude, home_.path()));
  EXPECT_EQ(run(claude, false).action, "removed");
  EXPECT_FALSE(HookState::isInstalled(claude, home_.path()));
  EXPECT_EQ(readAll(file(claude)), "\xEF\xBB\xBF{\"hooks\": {\"Notification\": [{\"hooks\": [{\"type\": \"command\", \"command\": "
                                   "\"say done\"}]}],\n  \"PreToolUse\": [{\"hooks\": [" + ours + "]}]}}\n");
  test::writeAll(file(codex), "notify = [\"/old/glowticker-hook\", \"--agent\", \"codex\", \"--chain\", \"--\", "
                              "\"say\", \"done\"]  # mine\n");
  EXPECT_EQ(run(codex, false).action, "removed");
  EXPECT_EQ(readAll(file(codex)), "notify = [\"say\", \"done\"]  # mine\n");
}

// An edit waits for another one that holds the file, instead of overwriting what it wrote.
TEST_F(UserFiles, EditsOfOneFileTakeTurns) {
  test::writeAll(file(kimi), "a = 1\n");
  std::optional<EditLock> other(std::in_place, file(kimi));
  ASSERT_TRUE(other->held());
  std::thread install([&] { run(kimi, true); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readAll(file(kimi)), "a = 1\n");
  test::writeAll(file(kimi), "a = 2\n");  // the other edit's change
  other.reset();
  install.join();
  EXPECT_EQ(readAll(file(kimi)).substr(0, 6), "a = 2\n");
  EXPECT_TRUE(HookState::isInstalled(kimi, home_.path()));
}

// Neither install nor uninstall touches a file it cannot edit, or leaves a file beside it.
TEST_F(UserFiles, RefusesWhatItCannotEdit) {
  fs::remove(hook_);
  run(claude, true, 1);
  EXPECT_NE(error_.find("glowticker-hook"), std::string::npos) << error_;
  EXPECT_FALSE(fs::exists(file(claude)));
  SetUp();
  for (auto [agent, text, hint] : std::vector<std::tuple<AgentID, std::string, std::string>>{
           {claude, "{ \"model\": 1, }", "not valid JSON"}, {claude, "[1]", "JSON object"}, {claude, "{\"hooks\": []}", "\"hooks\""},
           {claude, "{\"x\": \"\xff\"}", "not valid JSON"}, {codex, "m = \"o3\n[t]\n", "not valid TOML"},
           {codex, "notify = \"x\"\n", "not a list of strings"}, {codex, "notify = []\n", "not a list of strings"},
           {codex, "notify = [\"/o/glowticker-hook\", \"--agent\", \"codex\"]\n\xc3\x28\n", "not valid"},
           {kimi, "hooks = [{ event = \"Stop\" }]\n", "inline"}, {kimi, "[hooks]\ne = 1\n", "not a list"}}) {
    test::writeAll(file(agent), text);
    size_t files = std::distance(fs::directory_iterator(file(agent).parent_path()), {});
    for (bool install : {true, false}) {
      // A notify that is no list cannot be ours, so uninstall has nothing to remove there.
      InstallReport r = run(agent, install, install || hint != "not a list of strings");
      EXPECT_TRUE(error_.empty() ? r.action == "unchanged" : error_.find(hint) != std::string::npos) << error_;
      EXPECT_FALSE(HookState::isInstalled(agent, home_.path()));
      EXPECT_EQ(readAll(file(agent)), text);
      EXPECT_EQ(std::distance(fs::directory_iterator(file(agent).parent_path()), {}), files);
    }
  }
}

// Installed in a folder whose name is not UTF-8, the real CLI refuses in one line and writes nothing.
TEST(HookCli, FolderNameThatIsNotUtf8) {
  test::TempDir dir;
  fs::path bin = dir.path() / "bin\xff";
  fs::create_directories(bin);
  fs::copy_file(GT_CLI_EXE, bin / "glowticker"), fs::copy_file(GT_HOOK_EXE, bin / "glowticker-hook");
  std::string home = "HOME=" + dir.path().string();
  char* env[] = {home.data(), nullptr};
  for (const char* agent : {"claude", "codex", "kimi"}) {
    auto r = test::runProgram({(bin / "glowticker").string(), "install", "--agent", agent}, dir.path(), "", false, env);
    EXPECT_TRUE(r.status == 1 && r.err.find("not valid UTF-8") != std::string::npos && std::ranges::count(r.err, '\n') == 1)
        << agent << ": " << r.err;
    EXPECT_FALSE(fs::exists(HookState::configPath(*agentFromRaw(agent), dir.path())));
  }
}

}  // namespace
}  // namespace gt
