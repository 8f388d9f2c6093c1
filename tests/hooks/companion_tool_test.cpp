#include "cli/companion/companion_tool.h"

#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "core/hooks/hook_state.h"
#include "core/hooks/install_report.h"
#include "support/test_files.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;
using namespace std::string_literals;
const AgentID codex = *agentFromRaw("codex"), claude = *agentFromRaw("claude"), kimi = *agentFromRaw("kimi");

class CompanionToolTest : public ::testing::Test {
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
  // Install twice, uninstall twice: the user's file comes back byte for byte, mode included.
  void roundTrip(AgentID agent, const std::string& original) {
    test::writeAll(file(agent), original);
    fs::permissions(file(agent), fs::perms(0640));
    InstallReport first = run(agent, true);
    EXPECT_EQ(std::tuple(first.action, first.path, readAll(first.backup)), std::tuple("installed", file(agent), original));
    EXPECT_EQ(fs::status(file(agent)).permissions(), fs::perms(0640));
    std::string installed = readAll(file(agent));
    EXPECT_EQ(run(agent, true).action, "unchanged");
    EXPECT_EQ(readAll(file(agent)), installed);
    EXPECT_EQ(run(agent, false).action, "removed");
    EXPECT_EQ(readAll(file(agent)), original);
    EXPECT_EQ(run(agent, false).action, "unchanged");
  }
  test::TempDir home_;
  fs::path hook_ = home_.path() / "My Apps" / "glowticker-hook";  // a space, so quoting matters
  std::string error_;
};

TEST_F(CompanionToolTest, FreshAndLivedInFiles) {
  EXPECT_EQ(run(claude, true).action, "created");
  EXPECT_EQ(fs::status(file(claude)).permissions(), fs::perms(0600));
  auto doc = nlohmann::json::parse(readAll(file(claude)));
  for (const char* event : {"Stop", "Notification", "PermissionRequest"})
    EXPECT_EQ(doc["hooks"][event].at(0)["hooks"].at(0)["command"], "'" + hook_.string() + "' --agent claude");
  run(codex, true);
  EXPECT_EQ(*toml::parse_file(file(codex).string())["notify"].as_array(), (toml::array{hook_.string(), "--agent", "codex"}));
  run(kimi, true);
  toml::table kimiDoc = toml::parse_file(file(kimi).string());
  const toml::array& hooks = *kimiDoc["hooks"].as_array();
  ASSERT_EQ(hooks.size(), 2u);
  EXPECT_EQ(hooks[1].as_table()->size(), 4u);  // only the keys kimi accepts
  EXPECT_EQ(hooks[1].as_table()->at("event").value_or(""s), "Notification");
  for (AgentID a : allAgents()) fs::remove(file(a));

  roundTrip(claude, nlohmann::ordered_json::parse(R"j({"$schema": "s", "model": "opus",
    "hooks": {"Stop": [{"hooks": [{"type": "command", "command": "paplay done.oga"}]}]}, "env": {"N": "日本語"}})j")
                            .dump(2) + "\n");
  run(claude, true);  // the key order is kept, and the user's own Stop hook still comes first
  auto kept = nlohmann::ordered_json::parse(readAll(file(claude)));
  EXPECT_EQ(kept.begin().key(), "$schema");
  EXPECT_EQ(kept["hooks"]["Stop"][0]["hooks"][0]["command"], "paplay done.oga");
  roundTrip(codex, "# Codex\nmodel = \"o3\"\nm = [\n  [1, 2],\n]\nb = \"\"\"\n[not a table]\n\"\"\"\n\n# Mine\n[mcp.docs]\nc = 1\n");
  run(codex, true);  // notify sits in the top-level table
  std::string text = readAll(file(codex));
  EXPECT_LT(text.find("notify = "), text.find("# Mine"));
  EXPECT_GT(text.find("notify = "), text.find("[not a table]"));
  roundTrip(kimi, "m = \"k2\"  # fast\n\n[[hooks]]\nevent = \"PreToolUse\"\ncommand = \"check\"\n\n[loop]\nmax = 100\n");
}

TEST_F(CompanionToolTest, CodexChainsAndRestoresTheUsersNotify) {
  const std::string original = "notify = [\"python3\", \"/n.py\"]\n\n[tui]\nx = 1\n";
  test::writeAll(file(codex), original);
  run(codex, true);
  EXPECT_EQ(*toml::parse_file(file(codex).string())["notify"].as_array(),
            (toml::array{hook_.string(), "--agent", "codex", "--chain", "--", "python3", "/n.py"}));
  EXPECT_EQ(run(codex, true).action, "unchanged");
  EXPECT_EQ(run(codex, false).action, "removed");
  EXPECT_EQ(readAll(file(codex)), original);
}

// Neither install nor uninstall touches a file it cannot edit, or leaves a file beside it.
TEST_F(CompanionToolTest, RefusesWhatItCannotEdit) {
  fs::remove(hook_);
  run(claude, true, 1);
  EXPECT_NE(error_.find("glowticker-hook"), std::string::npos) << error_;
  EXPECT_FALSE(fs::exists(file(claude)));
  SetUp();
  for (auto [agent, text, hint] : std::vector<std::tuple<AgentID, std::string, std::string>>{
           {claude, "{ \"model\": 1, }", "not valid JSON"}, {claude, "[1]", "JSON object"}, {claude, "{\"hooks\": []}", "\"hooks\""},
           {claude, "{\"x\": \"\xff\"}", "not valid JSON"}, {codex, "m = \"o3\n[t]\n", "not valid TOML"},
           {codex, "notify = \"x\"\n", "not a list of strings"}, {codex, "notify = []\n", "not a list of strings"},
           {kimi, "hooks = [{ event = \"Stop\" }]\n", "inline"}, {kimi, "[hooks]\ne = 1\n", "not a list"}}) {
    test::writeAll(file(agent), text);
    size_t files = std::distance(fs::directory_iterator(file(agent).parent_path()), {});
    for (bool install : {true, false}) {
      // A notify that is no list cannot be ours, so uninstall has nothing to remove there.
      InstallReport r = run(agent, install, install || text.find("notify") == std::string::npos ? 1 : 0);
      if (error_.empty()) EXPECT_EQ(r.action, "unchanged");
      else EXPECT_NE(error_.find(hint), std::string::npos) << error_;
      EXPECT_EQ(readAll(file(agent)), text);
      EXPECT_EQ(std::distance(fs::directory_iterator(file(agent).parent_path()), {}), files);
    }
  }
}

}  // namespace
}  // namespace gt
