#include "cli/companion/companion_tool.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <toml++/toml.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "core/hooks/hook_installer.h"
#include "test_support.h"

namespace gt {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

struct ToolRun {
  int status;
  std::string out, err;
  std::vector<InstallReport> reports;
  std::string note;
};

class CompanionToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hook_ = home_.path() / "My Apps" / "glowticker-hook";  // a space, so quoting matters
    writeFile(hook_, "#!/bin/sh\nexit 0\n", 0755);
  }

  ToolRun run(AgentID agent, bool install) {
    std::ostringstream out, err;
    CompanionTool::Options options{home_.path(), hook_};
    int status =
        install ? CompanionTool::install(agent, options, out, err) : CompanionTool::uninstall(agent, options, out, err);
    ToolRun r{status, out.str(), err.str(), parseReports(out.str()), extractRestartNote(out.str()).value_or("")};
    if (status == 0) {
      EXPECT_EQ(r.reports.size(), 1u) << r.out;
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.out, "");
      EXPECT_NE(r.err, "");
    }
    return r;
  }

  std::filesystem::path file(AgentID agent) { return HookState::configPath(agent, home_.path()); }
  size_t filesBeside(AgentID agent) {
    size_t n = 0;
    for (auto& e : std::filesystem::directory_iterator(file(agent).parent_path())) n += e.is_regular_file();
    return n;
  }

  // Install, install again, uninstall: the file must come back byte for byte.
  void roundTrip(AgentID agent, const std::string& original) {
    writeFile(file(agent), original, 0640);
    ToolRun first = run(agent, true);
    ASSERT_EQ(first.status, 0) << first.err;
    EXPECT_EQ(first.reports[0].action, "installed");
    EXPECT_EQ(first.reports[0].path, file(agent).string());
    ASSERT_FALSE(first.reports[0].backup.empty());
    EXPECT_EQ(readFile(first.reports[0].backup), original);
    EXPECT_NE(first.note, "");
    EXPECT_TRUE(HookState::isInstalled(agent, home_.path()));
    EXPECT_EQ(std::filesystem::status(file(agent)).permissions(), std::filesystem::perms(0640));
    std::string installed = readFile(file(agent));

    ToolRun second = run(agent, true);
    EXPECT_EQ(second.reports[0].action, "unchanged");
    EXPECT_EQ(second.reports[0].backup, "");
    EXPECT_EQ(readFile(file(agent)), installed);

    ToolRun removed = run(agent, false);
    ASSERT_EQ(removed.status, 0) << removed.err;
    EXPECT_EQ(removed.reports[0].action, "removed");
    EXPECT_EQ(readFile(file(agent)), original);
    EXPECT_FALSE(HookState::isInstalled(agent, home_.path()));
    EXPECT_EQ(run(agent, false).reports[0].action, "unchanged");
  }

  void expectRefused(AgentID agent, const std::string& original, const std::string& hint, bool uninstallToo = true) {
    writeFile(file(agent), original);
    size_t before = filesBeside(agent);
    for (bool install : {true, false}) {
      if (!install && !uninstallToo) continue;
      ToolRun r = run(agent, install);
      EXPECT_EQ(r.status, 1);
      EXPECT_NE(r.err.find(hint), std::string::npos) << r.err;
      EXPECT_EQ(readFile(file(agent)), original);
      EXPECT_EQ(filesBeside(agent), before);  // no backup, no temporary file left behind
    }
  }

  TempDir home_;
  std::filesystem::path hook_;
};

TEST_F(CompanionToolTest, ClaudeFreshFile) {
  ToolRun r = run(AgentID::claude, true);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.reports[0].action, "created");
  EXPECT_EQ(r.reports[0].backup, "");
  auto doc = nlohmann::json::parse(readFile(file(AgentID::claude)));
  for (const char* event : {"Stop", "Notification", "PermissionRequest"}) {
    const auto& hook = doc["hooks"][event].at(0)["hooks"].at(0);
    EXPECT_EQ(hook["type"], "command");
    EXPECT_EQ(hook["command"], "'" + hook_.string() + "' --agent claude");
    EXPECT_TRUE(hook["timeout"].is_number_integer());
  }
  EXPECT_EQ(std::filesystem::status(file(AgentID::claude)).permissions(), std::filesystem::perms(0600));
  EXPECT_EQ(run(AgentID::claude, false).reports[0].action, "removed");
  EXPECT_FALSE(HookState::isInstalled(AgentID::claude, home_.path()));
}

TEST_F(CompanionToolTest, ClaudeExistingSettingsSurvive) {
  const std::string original = R"json({
  "$schema": "https://json.schemastore.org/claude-code-settings.json",
  "model": "opus",
  "permissions": {
    "allow": [
      "Bash(npm run test:*)"
    ],
    "deny": []
  },
  "hooks": {
    "PreToolUse": [
      {
        "matcher": "Bash",
        "hooks": [
          {
            "type": "command",
            "command": "~/bin/check-bash.sh"
          }
        ]
      }
    ],
    "Stop": [
      {
        "hooks": [
          {
            "type": "command",
            "command": "paplay /usr/share/sounds/done.oga"
          }
        ]
      }
    ]
  },
  "env": {
    "DISABLE_TELEMETRY": "1",
    "NOTE": "日本語"
  }
}
)json";
  roundTrip(AgentID::claude, original);
  // While installed, the user's own Stop hook still comes first.
  run(AgentID::claude, true);
  auto doc = nlohmann::ordered_json::parse(readFile(file(AgentID::claude)));
  EXPECT_EQ(doc.begin().key(), "$schema");
  EXPECT_EQ(doc["hooks"]["Stop"].size(), 2u);
  EXPECT_EQ(doc["hooks"]["Stop"][0]["hooks"][0]["command"], "paplay /usr/share/sounds/done.oga");
}

TEST_F(CompanionToolTest, ClaudeRefusesWhatItCannotEdit) {
  expectRefused(AgentID::claude, "{ \"model\": \"opus\", }\n", "not valid JSON");
  expectRefused(AgentID::claude, "[1, 2]\n", "JSON object");
  expectRefused(AgentID::claude, "{\"hooks\": []}\n", "\"hooks\"");
  expectRefused(AgentID::claude, "{\"x\": \"\xff\"}\n", "not valid JSON");
}

TEST_F(CompanionToolTest, CodexFreshFileAndPlainConfig) {
  ToolRun r = run(AgentID::codex, true);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.reports[0].action, "created");
  auto doc = toml::parse_file(file(AgentID::codex).string());
  EXPECT_EQ(*doc["notify"].as_array(), (toml::array{hook_.string(), "--agent", "codex"}));
  run(AgentID::codex, false);

  roundTrip(AgentID::codex, R"(# Codex settings
model = "o3"
approval_policy = "on-request"
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
args = ["-y", "docs-server"]

[profiles.fast]
model = "o4-mini"
)");
  // Installed, the notify key sits in the top-level table, before the first header.
  run(AgentID::codex, true);
  auto doc2 = toml::parse_file(file(AgentID::codex).string());
  EXPECT_TRUE(doc2["notify"].is_array());
  EXPECT_FALSE(doc2["mcp_servers"]["docs"]["notify"]);
  std::string text = readFile(file(AgentID::codex));
  EXPECT_LT(text.find("notify = "), text.find("# Servers I use"));
  EXPECT_GT(text.find("notify = "), text.find("[not a table]"));
}

TEST_F(CompanionToolTest, CodexChainsAndRestoresTheUsersNotify) {
  const std::string original =
      "model = \"o3\"\n"
      "notify = [\"python3\", \"/home/u/.codex/notify.py\"]\n"
      "\n"
      "[tui]\n"
      "notifications = true\n";
  writeFile(file(AgentID::codex), original);
  ToolRun r = run(AgentID::codex, true);
  ASSERT_EQ(r.status, 0) << r.err;
  auto doc = toml::parse_file(file(AgentID::codex).string());
  EXPECT_EQ(*doc["notify"].as_array(),
            (toml::array{hook_.string(), "--agent", "codex", "--chain", "--", "python3", "/home/u/.codex/notify.py"}));
  EXPECT_EQ(run(AgentID::codex, true).reports[0].action, "unchanged");
  EXPECT_EQ(run(AgentID::codex, false).reports[0].action, "removed");
  EXPECT_EQ(readFile(file(AgentID::codex)), original);

  // A multi-line notify of the user's is replaced and comes back as one line with the same argv.
  writeFile(file(AgentID::codex), "notify = [\n  \"notify-send\",\n  \"Codex\",\n]\n");
  ASSERT_EQ(run(AgentID::codex, true).status, 0);
  ASSERT_EQ(run(AgentID::codex, false).status, 0);
  EXPECT_EQ(readFile(file(AgentID::codex)), "notify = [\"notify-send\", \"Codex\"]\n");
}

TEST_F(CompanionToolTest, CodexRefusesWhatItCannotEdit) {
  expectRefused(AgentID::codex, "model = \"o3\n[tui]\n", "not valid TOML");
  // Uninstall has nothing of ours to remove there and leaves such a notify alone.
  expectRefused(AgentID::codex, "notify = \"notify-send\"\n", "not a list of strings", false);
  expectRefused(AgentID::codex, "notify = []\n", "not a list of strings", false);
  EXPECT_EQ(run(AgentID::codex, false).reports.at(0).action, "unchanged");
}

TEST_F(CompanionToolTest, KimiFreshFileAndExistingHooks) {
  ToolRun r = run(AgentID::kimi, true);
  ASSERT_EQ(r.status, 0) << r.err;
  auto doc = toml::parse_file(file(AgentID::kimi).string());
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
  run(AgentID::kimi, false);

  roundTrip(AgentID::kimi, R"(default_model = "kimi-k2"  # fast one

[models.kimi-k2]
provider = "moonshot"
max_context_size = 262144

# Lint before shell commands
[[hooks]]
event = "PreToolUse"
matcher = "Bash"
command = "node ~/.kimi-code/hooks/check-bash.mjs"
timeout = 5

[loop_control]
max_steps_per_turn = 100
)");
}

TEST_F(CompanionToolTest, KimiRefusesWhatItCannotEdit) {
  expectRefused(AgentID::kimi, "hooks = [{ event = \"Stop\", command = \"x\" }]\n", "inline");
  expectRefused(AgentID::kimi, "[hooks]\nevent = \"Stop\"\n", "not a list");
  expectRefused(AgentID::kimi, "[[hooks]\n", "not valid TOML");
}

TEST_F(CompanionToolTest, MissingHookProgramIsAnError) {
  std::filesystem::remove(hook_);
  ToolRun r = run(AgentID::claude, true);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("glowticker-hook"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(file(AgentID::claude)));
}

TEST_F(CompanionToolTest, SymlinkedDotfileIsEditedInPlace) {
  std::filesystem::path real = home_.path() / "dotfiles" / "settings.json";
  writeFile(real, "{\n  \"model\": \"opus\"\n}\n");
  std::filesystem::create_directories(file(AgentID::claude).parent_path());
  std::filesystem::create_symlink(real, file(AgentID::claude));
  ASSERT_EQ(run(AgentID::claude, true).status, 0);
  EXPECT_TRUE(std::filesystem::is_symlink(file(AgentID::claude)));
  EXPECT_NE(readFile(real).find("glowticker-hook"), std::string::npos);
}

}  // namespace
}  // namespace gt
