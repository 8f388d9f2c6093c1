// The agents' files belong to the user: the tool edits only its own hook's bytes and leaves what it cannot edit.
#include <gtest/gtest.h>

#include <sstream>
#include <thread>

#include "cli/companion/companion_tool.h"
#include "cli/companion/edit_lock.h"
#include "core/hooks/hook_installer.h"
#include "core/hooks/hook_state.h"
#include "core/hooks/install_report.h"
#include "support/process.h"

namespace gt {
namespace {

namespace fs = std::filesystem;
using test::readAll;
using namespace std::string_literals;
const AgentID claude = *agentFromRaw("claude"), codex = *agentFromRaw("codex"), kimi = *agentFromRaw("kimi");

// The real companion tool as the app runs it, beside the hook in a folder with a space, on a temporary HOME.
class UserFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(bin_);
    fs::copy_file(GT_CLI_EXE, bin_ / "glowticker-cli", fs::copy_options::overwrite_existing);
    fs::copy_file(GT_HOOK_EXE, hook_, fs::copy_options::overwrite_existing);
  }
  // Runs the tool and returns its one report; a failure's exit status is `want` and its text `error_`.
  InstallReport run(AgentID agent, bool install, int want = 0) {
    HookResult r = HookInstaller(HookInstaller::resolveToolPath(bin_)).setHook(agent, install);
    error_ = r ? "" : r.error().description;
    note_ = r ? r->note : "";
    EXPECT_EQ(r ? 0 : r.error().code, want) << error_;
    return r && !r->reports.empty() ? r->reports.at(0) : InstallReport{};
  }
  fs::path file(AgentID agent) { return HookState::configPath(agent, home_.path()); }

  test::TempDir home_;
  test::Env env_{"HOME", home_.path().c_str()};
  fs::path bin_ = home_.path() / "My Apps", hook_ = bin_ / "glowticker-hook";
  std::string error_, note_;
};

// The user's file, and hooks that only look like ours, come back byte for byte, mode included (any layout: fuzz).
TEST_F(UserFiles, RoundTripsAsWrittenByUsers) {
  const struct {
    AgentID agent;
    std::string text, after = "", before = "";
  } files[] = {
      {claude, R"j({
    "permissions": { "allow": ["Bash(npm run test:*)"], "deny": [] }, "hooks": {
        "Stop": [ { "hooks": [ { "type": "command", "command": "~/bin/log-glowticker-hook-events.sh" },
          {"type": "command", "command": "glowticker-hook --agent claude | tee -a ~/hook.log"}, {"type": "command",
          "command": "'glowticker-hook --agent claude'"}, {"type": "command", "command": "glowticker --agent claude"},
          {"type": "command", "command": "glowticker-hook --agent kimi"}, {"type": "command",
          "command": "glowticker-hook --agent claude 'open"}, {"type": "command",
          "command": "glowticker-hook --agent claude \"$(cat ~/.t)\""} ] } ],
        "PreToolUse": [{"matcher": "Bash", "hooks": [{"type": "command", "command": "grep -q glowticker-hook ~/.audit"}]}],
        "Notification": [1], "PermissionRequest": [ ] }, "env": {"NOTE": "日本語 \"quoted\" \\ glowticker-hook"}
}
)j",
       "log-glowticker-hook-events"},
      // The indentation step is the first indented line's, not that of an unindented one before it.
      {claude, "{\n\"model\": \"x\",\n   \"env\": {\n      \"A\": 1\n   }\n}\n", "\n      \"Stop\": [\n         {\n"},
      // codex: ours after the user's own group, whose trust codex keeps by its place.
      {codex,
       "# Codex\nm = [\n  [1, 2],\n]\nb = \"\"\"\n[not a table]\n\"\"\"\n\n[[hooks.Stop]]\n[[hooks.Stop.hooks]]\n"
       "type = \"command\"\ncommand = \"say glowticker-hook\"\n\n[hooks.state.\"/u/.codex/config.toml:stop:0:0\"]\n"
       "trusted_hash = \"sha256:1\"\n\n# Mine\n[mcp.docs]\nc = 1",
       "c = 1"},
  };
  for (const auto& [agent, original, after, before] : files) {
    SCOPED_TRACE(original);
    test::writeAll(file(agent), original);
    fs::permissions(file(agent), fs::perms(0640));
    EXPECT_FALSE(HookState::isInstalled(agent, home_.path()));
    InstallReport first = run(agent, true);
    EXPECT_EQ(std::tuple(first.action, first.path, readAll(first.backup)),
              std::tuple("installed", file(agent), original));
    EXPECT_EQ(fs::status(file(agent)).permissions(), fs::perms(0640));
    std::string installed = readAll(file(agent));
    size_t ours = installed.find(hook_.string());
    EXPECT_LT(installed.find(after), ours);
    EXPECT_LT(ours, before.empty() ? std::string::npos : installed.find(before));
    EXPECT_EQ(run(agent, true).action, "unchanged");
    EXPECT_EQ(run(agent, false).action, "removed");
    EXPECT_EQ(readAll(file(agent)), original);
  }
}

// Ours, however written, goes (even under an event we do not use); the user's neighbours stay.
TEST_F(UserFiles, UninstallTakesOnlyOursAndEditsTakeTurns) {
  const std::string ours =
      R"({"type": "command", "command": "GT_LOG=1 /old/glowticker hook --agent=claude #--agent kimi"})";
  const std::string
      head = "\xEF\xBB\xBF{\"hooks\": {\"Notification\": [{\"hooks\": [{\"type\": \"command\", \"command\": \"say\"}",
      tail = "]}],\n  \"PreToolUse\": [{\"hooks\": [" + ours + "]}]}}\n";
  test::writeAll(file(claude), head + ", " + ours + tail);
  EXPECT_EQ(run(claude, false).action, "removed");
  EXPECT_EQ(readAll(file(claude)), head + tail);
  // codex: an earlier version's notify alone is not installed (it tells no approval), and uninstalling gives
  // back the user's own one it carried; ours among their hooks goes alone.
  test::writeAll(file(codex), "notify = [\"/old/glowticker-hook\", \"--agent\", \"codex\"]\n");
  EXPECT_FALSE(HookState::isInstalled(codex, home_.path()));
  const std::string users = "[[hooks.Stop]]\nmatcher = \"\"\n[[hooks.Stop.hooks]]\ncommand = \"say\"\n",
                    rest = "# mine below\n[x]\ns = \"\"\"\n[[hooks.Stop]]\n\"\"\"\n";
  test::writeAll(file(codex),
                 "notify = [\"/old/glowticker-hook\", \"--agent\", \"codex\", \"--chain\", \"--\", \"say\", "
                 "\"--agent\", \"kimi\"]  # mine\n" +
                     users + "[[hooks.Stop.hooks]]\ncommand = \"/old/glowticker hook --agent codex\"\n" + rest +
                     "[[hooks.PermissionRequest]]\nhooks = [{ command = \"glowticker-cli hook --agent codex\" }]\n");
  EXPECT_EQ(run(codex, false).action, "removed");
  EXPECT_EQ(readAll(file(codex)), "notify = [\"say\", \"--agent\", \"kimi\"]  # mine\n" + users + rest);
  // An edit waits for another one that holds the file, instead of overwriting what it wrote.
  test::writeAll(file(kimi), "a = 1\n");
  std::optional other(EditLock::take(file(kimi)));
  ASSERT_TRUE(*other);
  std::thread install([&] { run(kimi, true); });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(readAll(file(kimi)), "a = 1\n");
  test::writeAll(file(kimi), "a = 2\n");  // the other edit's change
  other.reset();
  install.join();
  EXPECT_EQ(readAll(file(kimi)).substr(0, 6), "a = 2\n");
  // A hook the user adds after ours stays after ours: installing again changes nothing.
  const std::string mine = readAll(file(kimi)) + "\n[[hooks]]\nevent = \"Stop\"\ncommand = \"say done\"\n";
  test::writeAll(file(kimi), mine);
  EXPECT_EQ(run(kimi, true).action, "unchanged");
  EXPECT_EQ(readAll(file(kimi)), mine);
}

// A missing file is created private; only codex's note asks to review new hooks.
TEST_F(UserFiles, CreatesPrivateFilesAndSaysToRestart) {
  for (AgentID agent : allAgents()) {
    EXPECT_EQ(run(agent, true).action, "created");
    EXPECT_EQ(fs::status(file(agent)).permissions(), fs::perms(0600));
    EXPECT_EQ(ReportWords::panelNote(note_).find("Hooks need review") != std::string::npos, agent == codex);
    fs::remove(file(agent));
  }
  // A hook program that is missing is not written.
  fs::remove(hook_);
  run(codex, true, 1);
  EXPECT_FALSE(fs::exists(file(codex)));
}

// A file it cannot edit (bad, too large, a folder, unreadable) is left as it is, with nothing beside it.
TEST_F(UserFiles, RefusesWhatItCannotEdit) {
  const std::string huge = "# glowticker-hook\n" + std::string(17 << 20, '#') + "\n";
  for (auto [agent, at, text, hint] : std::vector<std::tuple<AgentID, std::string, std::string, std::string>>{
           {claude, "", "{ \"model\": 1, }", "not valid JSON"},
           {claude, "", "{\"hooks\": []}", "\"hooks\""},
           {codex, "", "m = \"o3\n[t]\n", "not valid TOML"},
           {codex, "", "notify = \"x\"\n", "not a list of strings"},
           {codex, "", "[hooks]\nStop = []\n", "[[hooks.Stop]] tables"},
           {kimi, "", "hooks = [{ event = \"Stop\" }]\n", "inline"},
           {claude, "", huge, "larger than 16 MiB"},
           {codex, "/glowticker", "# glowticker\n", "not a regular file"},
           {kimi, "/..", "# glowticker\n", "Could not read"}}) {
    const fs::path path = at == "/.." ? file(agent).parent_path() : fs::path(file(agent).string() + at);
    test::writeAll(path, text);
    size_t files = std::distance(fs::directory_iterator(path.parent_path()), {});
    for (bool install : {true, false}) {
      // A notify that is no list cannot be ours, so uninstall has nothing to remove there.
      InstallReport r = run(agent, install, install || hint != "not a list of strings");
      EXPECT_TRUE(error_.empty() ? r.action == "unchanged" : error_.find(hint) != std::string::npos) << error_;
      EXPECT_EQ(readAll(path), text);
      EXPECT_EQ(std::distance(fs::directory_iterator(path.parent_path()), {}), files);
    }
    fs::remove_all(file(agent).parent_path());
  }
}

// Linked dotfiles are edited in place; a backup that cannot be written stops the edit, leaving nothing beside it.
TEST_F(UserFiles, LinkedFilesAreEditedInPlaceAndABackupMustBeWritten) {
  const fs::path real = home_.path() / "dotfiles" / "config.toml";
  const std::string pad(4 << 20, 'p');
  test::writeAll(real, "model = \"" + pad + "\"\n");
  fs::create_directories(file(codex).parent_path());
  fs::create_symlink(real, file(codex));
  EXPECT_EQ(run(codex, true).action, "installed");
  EXPECT_EQ(run(codex, false).action, "removed");
  EXPECT_TRUE(fs::is_symlink(file(codex)) && readAll(real) == "model = \"" + pad + "\"\n");
  fs::remove(file(codex));
  const std::string original = "model = \"" + std::string(100, 'm') + "\"\n";
  test::writeAll(file(codex), original);
  std::ostringstream out, err;
  auto install = [&] { return CompanionTool::install(codex, {home_.path(), hook_}, out, err); };
  EXPECT_EQ(test::withFileSizeLimit(64, install), 1);
  EXPECT_NE(err.str().find("Could not write the backup"), std::string::npos) << err.str();
  EXPECT_EQ(readAll(file(codex)), original);
  EXPECT_EQ(std::distance(fs::directory_iterator(file(codex).parent_path()), {}), 1);
}

std::string stub(const test::TempDir& dir, const std::string& name, const std::string& body) {
  test::writeAll(dir.path() / name, "#!/bin/sh\n" + body + "\n");
  fs::permissions(dir.path() / name, fs::perms(0755));
  return dir.file(name);
}
HookError failed(const HookResult& r) {
  EXPECT_FALSE(r) << "unexpected success";
  return r ? HookError{} : r.error();
}

// Stand-ins for the tool: its standard error is the failure's text; floods do not stall; a hung one is killed.
TEST(HookInstaller, ToolsThatFailFloodOrHang) {
  test::TempDir dir;
  HookError e = failed(HookInstaller(stub(dir, "e", "printf out; printf ' err\\n' >&2; exit 2")).setHook(claude, true));
  EXPECT_EQ(std::tuple(e.kind, e.code, e.description), std::tuple(HookError::Kind::toolFailed, 2, " err\n"s));

  HookInstaller flood(
      stub(dir, "flood", "head -c 1048576 /dev/zero | tr '\\0' o\nhead -c 1048576 /dev/zero >&2\nexit 3"));
  flood.setTimeLimit(std::chrono::seconds(20));
  EXPECT_EQ(failed(flood.setHook(codex, true)).description.size(), 1048576u);
  HookInstaller hung(stub(dir, "hung", "exec sleep 30"));
  hung.setTimeLimit(std::chrono::milliseconds(300));
  EXPECT_NE(failed(hung.setHook(codex, true)).description.find("did not finish"), std::string::npos);

  // Without a tool beside the app, env finds glowticker on the search path.
  stub(dir, "glowticker", "echo \"=== $3: $1 ===\"");
  test::Env path("PATH", (dir.path().string() + ":" + std::getenv("PATH")).c_str());
  HookResult viaEnv = HookInstaller(std::string("/usr/bin/env")).setHook(kimi, true);
  ASSERT_TRUE(viaEnv) << viaEnv.error().description;
  EXPECT_EQ(viaEnv->reports, (std::vector<InstallReport>{{"kimi", "install", "", "", {}}}));
}

}  // namespace
}  // namespace gt
