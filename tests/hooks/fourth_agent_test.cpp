// A made-up fourth agent, registered the way a new agent's files register, goes through install, hook
// state, the hook and uninstall on the same code paths as the built-in ones.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/companion/agent_editor.h"
#include "cli/companion/companion_tool.h"
#include "cli/hook/hook_command.h"
#include "core/events/event_listener.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/hook_state.h"
#include "core/hooks/install_report.h"
#include "support/test_files.h"

namespace gt {
namespace {

constexpr std::string_view kEvents[] = {"Finished", "Asking"};
void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  ev.type = payload::text(doc, "kind");
  ev.state = ev.type == "Finished" ? "done" : "waiting";
  ev.title = "Zed";
  ev.message = payload::text(doc, "text");
}
constinit const AgentSpec kZed{"zed", ".zed/hooks.conf", PayloadArrival::lastArgument, kEvents, toEvent};

// Its file: one "EVENT COMMAND" line per hook.
ConfigEdit install(std::string_view text, const HookSetup& setup) {
  ConfigEdit edit{std::string(text), true, {eventsNote(setup.events)}, {}};
  for (std::string_view event : setup.events) edit.text += std::string(event) + " " + setup.shellCommand + "\n";
  return edit;
}
// Ours: a line whose command runs our hook for zed under one of its events.
bool ours(std::string_view line) {
  size_t space = line.find(' ');
  return space != std::string_view::npos &&
         hook_identity::isOurEntry("zed", kEvents, line.substr(0, space), line.substr(space + 1));
}
ConfigEdit uninstall(std::string_view text, const HookSetup&) {
  ConfigEdit edit;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);)
    if (!ours(line)) edit.text += line + "\n";
  edit.changed = edit.text != text;
  return edit;
}
bool holdsOurHook(AgentID, std::string_view text) {
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);)
    if (ours(line)) return true;
  return false;
}
constinit const AgentEditor kZedEditor{"zed", install, uninstall};

TEST(FourthAgent, InstallStateHookAndUninstall) {
  test::TempDir home;
  ::setenv("HOME", home.path().c_str(), 1);
  AgentID zed = registerAgent(kZed).value();
  registerEditor(kZedEditor);
  hook_identity::registerHookReader({"zed", holdsOurHook});
  EXPECT_EQ(agentFromRaw("zed"), zed);
  EXPECT_NE(HookCommand::helpText().find("codex, claude, kimi or zed"), std::string::npos);

  const std::filesystem::path hook = GT_HOOK_EXE, file = home.path() / ".zed/hooks.conf";
  CompanionTool::Options options{home.path(), hook};
  std::ostringstream out, err;
  ASSERT_EQ(CompanionTool::install(zed, options, out, err), 0) << err.str();
  EXPECT_EQ(parseReports(out.str()),
            (std::vector<InstallReport>{{"zed", file.string(), "created", "", {"hook events: Finished, Asking"}}}));
  EXPECT_EQ(test::readAll(file), "Finished " + hook.string() + " --agent zed\nAsking " + hook.string() + " --agent zed\n");
  EXPECT_TRUE(HookState::isInstalled(zed));

  // The hook, run as the agent would (the payload as last argument), reaches the app's listener.
  std::mutex m;
  std::condition_variable cv;
  std::optional<AgentEvent> got;
  EventListener listener((home.path() / ".glowticker/run/events.sock").string());
  listener.start([&](AgentEvent ev) {
    std::lock_guard lock(m);
    got = std::move(ev);
    cv.notify_all();
  });
  std::string payload = R"({"kind":"Finished","text":"all  done","cwd":"/src/zproj"})";
  std::vector<char*> argv{const_cast<char*>("--agent"), const_cast<char*>("zed"), payload.data()};
  EXPECT_EQ(HookCommand::run(static_cast<int>(argv.size()), argv.data()), 0);
  {
    std::unique_lock lock(m);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return got.has_value(); }));
  }
  listener.stop();
  got->ts = 0;
  EXPECT_EQ(*got, (AgentEvent{"Finished", "zed", "done", "Zed", "all done", "zproj", 0}));

  out.str("");
  ASSERT_EQ(CompanionTool::uninstall(zed, options, out, err), 0) << err.str();
  EXPECT_EQ(parseReports(out.str()).at(0).action, "removed");
  EXPECT_EQ(test::readAll(file), "");
  EXPECT_FALSE(HookState::isInstalled(zed));
}

}  // namespace
}  // namespace gt
