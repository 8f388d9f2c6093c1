#include "cli/companion/companion_tool.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "support/test_files.h"
#include "core/hooks/hook_installer.h"
#include "core/hooks/hook_state.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;

class CompanionToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::writeAll(hook_, "#!/bin/sh\nexit 0\n");
    fs::permissions(hook_, fs::perms(0755));
  }

  // Runs the tool and returns its one report (empty on failure, when the output must be on stderr only).
  InstallReport run(AgentID agent, bool install, int want = 0) {
    std::ostringstream out, err;
    CompanionTool::Options options{home_.path(), hook_};
    int status =
        install ? CompanionTool::install(agent, options, out, err) : CompanionTool::uninstall(agent, options, out, err);
    EXPECT_EQ(status, want) << err.str();
    auto reports = parseReports(out.str());
    EXPECT_EQ(reports.size(), status == 0 ? 1u : 0u) << out.str();
    EXPECT_EQ(out.str().empty(), status != 0);
    EXPECT_EQ(err.str().empty(), status == 0);
    out_ = out.str();
    error_ = err.str();
    return reports.empty() ? InstallReport{} : reports[0];
  }

  fs::path file(AgentID agent) { return HookState::configPath(agent, home_.path()); }
  size_t filesBeside(AgentID agent) {
    size_t n = 0;
    for (auto& e : fs::directory_iterator(file(agent).parent_path())) n += e.is_regular_file();
    return n;
  }

  // Install, install again, uninstall twice: the file must come back byte for byte.
  void roundTrip(AgentID agent, const std::string& original) {
    test::writeAll(file(agent), original);
    fs::permissions(file(agent), fs::perms(0640));
    InstallReport first = run(agent, true);
    EXPECT_EQ(first.action, "installed");
    EXPECT_EQ(first.path, file(agent).string());
    EXPECT_EQ(readAll(first.backup), original);
    EXPECT_NE(extractRestartNote(out_).value_or(""), "");
    EXPECT_TRUE(HookState::isInstalled(agent, home_.path()));
    EXPECT_EQ(fs::status(file(agent)).permissions(), fs::perms(0640));
    std::string installed = readAll(file(agent));
    InstallReport second = run(agent, true);
    EXPECT_EQ(second.action, "unchanged");
    EXPECT_EQ(second.backup, "");
    EXPECT_EQ(readAll(file(agent)), installed);
    EXPECT_EQ(run(agent, false).action, "removed");
    EXPECT_EQ(readAll(file(agent)), original);
    EXPECT_FALSE(HookState::isInstalled(agent, home_.path()));
    EXPECT_EQ(run(agent, false).action, "unchanged");
  }

  // Neither install nor (when `uninstallToo`) uninstall touches the file or leaves a file beside it.
  void expectRefused(AgentID agent, const std::string& original, const std::string& hint, bool uninstallToo = true) {
    test::writeAll(file(agent), original);
    size_t before = filesBeside(agent);
    for (bool install : {true, false}) {
      if (!install && !uninstallToo) continue;
      run(agent, install, 1);
      EXPECT_NE(error_.find(hint), std::string::npos) << error_;
      EXPECT_EQ(readAll(file(agent)), original);
      EXPECT_EQ(filesBeside(agent), before);
    }
  }

  test::TempDir home_;
  fs::path hook_ = home_.path() / "My Apps" / "glowticker-hook";  // a space, so quoting matters
  std::string out_, error_;
};

TEST_F(CompanionToolTest, ClaudeFreshAndExistingSettings) {
  InstallReport created = run(*agentFromRaw("claude"), true);
  EXPECT_EQ(created.action, "created");
  EXPECT_EQ(created.backup, "");
  auto doc = nlohmann::json::parse(readAll(file(*agentFromRaw("claude"))));
  for (const char* event : {"Stop", "Notification", "PermissionRequest"}) {
    const auto& hook = doc["hooks"][event].at(0)["hooks"].at(0);
    EXPECT_EQ(hook["type"], "command");
    EXPECT_EQ(hook["command"], "'" + hook_.string() + "' --agent claude");
    EXPECT_TRUE(hook["timeout"].is_number_integer());
  }
  EXPECT_EQ(fs::status(file(*agentFromRaw("claude"))).permissions(), fs::perms(0600));
  EXPECT_EQ(run(*agentFromRaw("claude"), false).action, "removed");

  // Written in the tool's own layout, so that the round trip can be byte for byte.
  roundTrip(*agentFromRaw("claude"), nlohmann::ordered_json::parse(R"j({
    "$schema": "https://json.schemastore.org/claude-code-settings.json", "model": "opus",
    "permissions": {"allow": ["Bash(npm run test:*)"], "deny": []},
    "hooks": {"PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "~/bin/check-bash.sh"}]}],
              "Stop": [{"hooks": [{"type": "command", "command": "paplay /usr/share/sounds/done.oga"}]}]},
    "env": {"NOTE": "日本語"}})j")
                                     .dump(2) +
                                 "\n");
  // While installed, the key order is kept and the user's own Stop hook still comes first.
  run(*agentFromRaw("claude"), true);
  auto kept = nlohmann::ordered_json::parse(readAll(file(*agentFromRaw("claude"))));
  EXPECT_EQ(kept.begin().key(), "$schema");
  EXPECT_EQ(kept["hooks"]["Stop"].size(), 2u);
  EXPECT_EQ(kept["hooks"]["Stop"][0]["hooks"][0]["command"], "paplay /usr/share/sounds/done.oga");
}

TEST_F(CompanionToolTest, CodexFreshAndExistingConfig) {
  EXPECT_EQ(run(*agentFromRaw("codex"), true).action, "created");
  EXPECT_EQ(*toml::parse_file(file(*agentFromRaw("codex")).string())["notify"].as_array(),
            (toml::array{hook_.string(), "--agent", "codex"}));
  run(*agentFromRaw("codex"), false);

  roundTrip(*agentFromRaw("codex"), R"(# Codex settings
model = "o3"
matrix = [
  [1, 2],
  [3, 4],
]
banner = """
[not a table]
"""

# Servers I use
[mcp_servers.docs]
command = "npx"
)");
  // Installed, the notify key sits in the top-level table, before the first header.
  run(*agentFromRaw("codex"), true);
  EXPECT_FALSE(toml::parse_file(file(*agentFromRaw("codex")).string())["mcp_servers"]["docs"]["notify"]);
  std::string text = readAll(file(*agentFromRaw("codex")));
  EXPECT_LT(text.find("notify = "), text.find("# Servers I use"));
  EXPECT_GT(text.find("notify = "), text.find("[not a table]"));
}

TEST_F(CompanionToolTest, CodexChainsAndRestoresTheUsersNotify) {
  const std::string original = "model = \"o3\"\nnotify = [\"python3\", \"/home/u/.codex/notify.py\"]\n\n[tui]\nx = 1\n";
  test::writeAll(file(*agentFromRaw("codex")), original);
  run(*agentFromRaw("codex"), true);
  EXPECT_EQ(*toml::parse_file(file(*agentFromRaw("codex")).string())["notify"].as_array(),
            (toml::array{hook_.string(), "--agent", "codex", "--chain", "--", "python3", "/home/u/.codex/notify.py"}));
  EXPECT_EQ(run(*agentFromRaw("codex"), true).action, "unchanged");
  EXPECT_EQ(run(*agentFromRaw("codex"), false).action, "removed");
  EXPECT_EQ(readAll(file(*agentFromRaw("codex"))), original);
}

TEST_F(CompanionToolTest, KimiFreshAndExistingHooks) {
  run(*agentFromRaw("kimi"), true);
  auto doc = toml::parse_file(file(*agentFromRaw("kimi")).string());
  const toml::array& hooks = *doc["hooks"].as_array();
  ASSERT_EQ(hooks.size(), 2u);
  for (auto&& h : hooks) {
    const toml::table& t = *h.as_table();
    EXPECT_EQ(t.size(), 4u);  // only the keys kimi accepts
    EXPECT_EQ(t["command"].value_or(std::string()), "'" + hook_.string() + "' --agent kimi");
    EXPECT_TRUE(t["timeout"].is_integer());
  }
  EXPECT_EQ(hooks[0].as_table()->at("event").value_or(std::string()), "Stop");
  EXPECT_EQ(hooks[1].as_table()->at("event").value_or(std::string()), "Notification");
  run(*agentFromRaw("kimi"), false);

  roundTrip(*agentFromRaw("kimi"), R"(default_model = "kimi-k2"  # fast one

[models.kimi-k2]
provider = "moonshot"

# Lint before shell commands
[[hooks]]
event = "PreToolUse"
command = "node ~/.kimi-code/hooks/check-bash.mjs"

[loop_control]
max_steps_per_turn = 100
)");
}

TEST_F(CompanionToolTest, RefusesWhatItCannotEdit) {
  fs::remove(hook_);
  run(*agentFromRaw("claude"), true, 1);
  EXPECT_NE(error_.find("glowticker-hook"), std::string::npos) << error_;
  EXPECT_FALSE(fs::exists(file(*agentFromRaw("claude"))));
  SetUp();
  expectRefused(*agentFromRaw("claude"), "{ \"model\": \"opus\", }\n", "not valid JSON");
  expectRefused(*agentFromRaw("claude"), "[1, 2]\n", "JSON object");
  expectRefused(*agentFromRaw("claude"), "{\"hooks\": []}\n", "\"hooks\"");
  expectRefused(*agentFromRaw("claude"), "{\"x\": \"\xff\"}\n", "not valid JSON");
  expectRefused(*agentFromRaw("codex"), "model = \"o3\n[tui]\n", "not valid TOML");
  // Uninstall has nothing of ours to remove there and leaves such a notify alone.
  expectRefused(*agentFromRaw("codex"), "notify = \"notify-send\"\n", "not a list of strings", false);
  expectRefused(*agentFromRaw("codex"), "notify = []\n", "not a list of strings", false);
  EXPECT_EQ(run(*agentFromRaw("codex"), false).action, "unchanged");
  expectRefused(*agentFromRaw("kimi"), "hooks = [{ event = \"Stop\", command = \"x\" }]\n", "inline");
  expectRefused(*agentFromRaw("kimi"), "[hooks]\nevent = \"Stop\"\n", "not a list");
  expectRefused(*agentFromRaw("kimi"), "[[hooks]\n", "not valid TOML");
}

}  // namespace
}  // namespace gt
