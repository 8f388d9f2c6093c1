#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "cli/companion/agent_editor.h"
#include "cli/companion/companion_tool.h"
#include "cli/hook/hook_command.h"
#include "cli/hook/hook_event_builder.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/hook_state.h"
#include "core/hooks/install_report.h"
#include "support/process.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Args = std::vector<std::string>;
const std::string kHook = GT_HOOK_EXE;
constexpr auto kBound = 2000ms;  // generous: the point is that nothing hangs; the benchmark times it

// A listening Unix socket; receive() accepts one connection and reads until the peer closes.
class LineListener {
 public:
  explicit LineListener(const std::filesystem::path& path) : path_(path) {
    sockaddr_un addr{AF_UNIX, {}};
    path.string().copy(addr.sun_path, sizeof addr.sun_path - 1);
    std::filesystem::create_directories(path.parent_path());
    EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(fd_, 8), 0);
  }
  ~LineListener() { ::close(fd_), ::unlink(path_.c_str()); }
  std::string receive(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    auto left = [&] { return static_cast<int>(std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())).count()); };
    std::string data;
    pollfd p{fd_, POLLIN, 0};
    int conn = ::poll(&p, 1, left()) > 0 ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    char buf[4096];
    for (pollfd c{conn, POLLIN, 0}; conn >= 0 && ::poll(&c, 1, left()) > 0;) {
      ssize_t n = ::read(conn, buf, sizeof buf);
      if (n <= 0) break;
      data.append(buf, static_cast<size_t>(n));
    }
    if (conn >= 0) ::close(conn);
    return data;
  }

 private:
  int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::filesystem::path path_;
};

class HookSenderTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("HOME", home_.path().c_str(), 1); }
  std::filesystem::path socketPath() { return home_.path() / ".glowticker/run/events.sock"; }
  test::ProcessResult hook(Args args, const std::string& in, bool hold = false) {
    args.insert(args.begin(), kHook);
    return test::runProgram(args, home_.path(), in, hold);
  }
  // Runs argv and returns the one record the app would have got (nothing when none came).
  std::optional<AgentEvent> send(const Args& argv, const std::string& in, std::chrono::milliseconds wait = kBound) {
    LineListener listener(socketPath());
    test::ProcessResult p = test::runProgram(argv, home_.path(), in);
    EXPECT_EQ(std::tuple(p.status, p.out), std::tuple(0, ""));
    std::string line = listener.receive(wait);
    if (line.empty()) return std::nullopt;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one record line: " << line;
    std::optional<AgentEvent> ev = decodeAgentEvent(line);
    EXPECT_TRUE(ev) << line;
    return ev;
  }
  AgentEvent event(Args args, const std::string& in) {
    args.insert(args.begin(), kHook);
    auto ms = [] { return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count(); };
    auto before = ms();
    AgentEvent ev = send(args, in).value_or(AgentEvent{});
    EXPECT_TRUE(ev.ts >= before && ev.ts <= ms()) << ev.ts;
    ev.ts = 0;
    return ev;
  }
  test::TempDir home_;
};

TEST_F(HookSenderTest, PayloadsBecomeRecords) {
  EXPECT_EQ(event({"--agent", "codex", R"({"type":"agent-turn-complete","cwd":"/home/u/demo/","last-assistant-message":"All pass.\n\nDone."})"}, ""),
            (AgentEvent{"agent-turn-complete", "codex", "done", "任务完成", "All pass. Done.", "demo"}));
  EXPECT_EQ(event({"--agent", "claude"}, R"({"cwd":"/work/glow","hook_event_name":"Stop"})"),
            (AgentEvent{"Stop", "claude", "done", "任务完成", "Claude 已完成本轮回复", "glow"}));
  EXPECT_EQ(event({"--agent", "claude"}, R"({"cwd":"/w","hook_event_name":"Notification","message":"May I?","notification_type":"permission_prompt"})"),
            (AgentEvent{"Notification", "claude", "waiting", "需要你的授权", "May I?", "w"}));
  EXPECT_EQ(event({"--agent", "claude"}, R"({"cwd":"/","hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"rm -rf b"}})"),
            (AgentEvent{"PermissionRequest", "claude", "waiting", "需要你的授权", "请求使用 Bash：rm -rf b", "/"}));
  EXPECT_EQ(event({"--agent", "kimi"}, R"({"hook_event_name":"Notification","cwd":"/p/k","title":"T","body":"Task done"})"),
            (AgentEvent{"Notification", "kimi", "waiting", "收到通知", "Task done", "k"}));
  std::string longText;
  for (int i = 0; i < 500; ++i) longText += "完成";
  AgentEvent cut = event({"--agent", "codex", nlohmann::json{{"type", "agent-turn-complete"}, {"last-assistant-message", longText}, {"cwd", "/a//"}}.dump()}, "");
  EXPECT_EQ(std::tuple(cut.message, cut.project), std::tuple(longText.substr(0, 240) + "…", "a"));
  EXPECT_EQ(HookEventBuilder::shortText("ab 完成", 4), "ab…");  // never half a character
  EXPECT_EQ(HookEventBuilder::build(*agentFromRaw("codex"), "{}", 5, "/fallback/dir")->project, "dir");
}

TEST_F(HookSenderTest, GarbageIsDroppedAndStillExitsZero) {
  for (auto [args, in] : std::vector<std::pair<Args, std::string>>{
           {{"--agent", "claude"}, "not json"}, {{"--agent", "kimi"}, "[1, 2]"}, {{"--agent", "kimi"}, "{\"cwd\": \"\xff\"}"},
           {{"--agent", "codex"}, "{}"}, {{"--agent", "codex", "{\"type\":"}, ""}, {{"--agent", "nobody"}, "{}"}, {{}, ""},
           {{"--agent", "claude"}, std::string(3 * 1024 * 1024, '{')}}) {  // larger than the payload bound
    args.insert(args.begin(), kHook);
    EXPECT_FALSE(send(args, in, 100ms)) << testing::PrintToString(args);
  }
}

TEST_F(HookSenderTest, NoAppNoReaderNoEndOfInput) {
  const std::string payload = R"({"hook_event_name":"Stop","cwd":"/x"})";
  EXPECT_LT(hook({"--agent", "claude"}, payload).took, kBound);  // nobody listening, not even the folder exists
  LineListener listener(socketPath());  // never accepts; its backlog fills up with other connections
  for (int i = 0; i < 12; ++i) hook({"--agent", "claude"}, payload);
  test::ProcessResult stuck = hook({"--agent", "claude"}, payload), open = hook({"--agent", "kimi"}, payload, true);
  EXPECT_EQ(std::tuple(stuck.status, open.status), std::tuple(0, 0));
  EXPECT_LT(std::max(stuck.took, open.took), kBound);
}

// The hook as the agents run it, installed by the companion tool into their real file formats.
TEST_F(HookSenderTest, InstalledHooksDeliverEvents) {
  CompanionTool::Options options{home_.path(), kHook};
  std::ostringstream out, err;
  ASSERT_EQ(CompanionTool::install(*agentFromRaw("claude"), options, out, err), 0) << err.str();
  auto settings = nlohmann::json::parse(test::readAll(home_.path() / ".claude/settings.json"));
  EXPECT_EQ(send({"/bin/sh", "-c", settings["hooks"]["Stop"][0]["hooks"][0]["command"]}, R"({"hook_event_name":"Stop","cwd":"/a/b"})")->project, "b");

  // codex: the user's previous notify still runs with the same payload last, and SIGPIPE back to default.
  std::filesystem::path seen = home_.path() / "seen", previous = home_.path() / "old-notify.sh";
  test::writeAll(previous, "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$(awk '/^SigIgn/{print $2}' /proc/$$/status)\" > " +
                               seen.string() + ".tmp && mv " + seen.string() + ".tmp " + seen.string() + "\n");
  std::filesystem::permissions(previous, std::filesystem::perms(0755));
  test::writeAll(home_.path() / ".codex/config.toml", "notify = [\"" + previous.string() + "\", \"--flag\"]\n");
  ASSERT_EQ(CompanionTool::install(*agentFromRaw("codex"), options, out, err), 0) << err.str();
  Args argv;
  toml::table config = toml::parse_file((home_.path() / ".codex/config.toml").string());
  for (auto&& e : *config["notify"].as_array()) argv.push_back(e.value_or(""s));
  const std::string payload = R"({"type":"agent-turn-complete","last-assistant-message":"ok"})";
  argv.push_back(payload);
  EXPECT_EQ(send(argv, "")->message, "ok");
  for (int i = 0; i < 200 && !std::filesystem::exists(seen); ++i) std::this_thread::sleep_for(25ms);
  std::string record = test::readAll(seen);
  ASSERT_TRUE(record.starts_with("--flag|" + payload + "|")) << record;
  EXPECT_EQ(std::stoull(record.substr(record.rfind('|') + 1), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
}

// A made-up fourth agent, registered the way a new agent's files are, goes through install, hook
// state, the hook (in this process, so it knows the agent) and uninstall on the built-in paths.
constexpr std::string_view kZedEvents[] = {"Finished", "Asking"};
constinit const AgentSpec kZed{"zed", ".zed/hooks.conf", PayloadArrival::lastArgument, kZedEvents,
                               [](const nlohmann::json& doc, AgentEvent& ev) {
                                 ev = {payload::text(doc, "kind"), "", "done", "Zed", payload::text(doc, "text"), "", 0};
                               }};
ConfigEdit zedInstall(std::string_view text, const HookSetup& setup) {  // one "EVENT COMMAND" line each
  ConfigEdit edit{std::string(text), true, {eventsNote(setup.events)}, {}};
  for (std::string_view event : setup.events) edit.text += std::string(event) + " " + setup.shellCommand + "\n";
  return edit;
}
// Ours: a line whose command runs our hook for zed under one of its events.
bool zedOurs(std::string_view line) {
  size_t space = line.find(' ');
  return space != std::string_view::npos && hook_identity::isOurEntry("zed", kZedEvents, line.substr(0, space), line.substr(space + 1));
}
ConfigEdit zedUninstall(std::string_view text, const HookSetup&) {
  ConfigEdit edit;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);)
    if (!zedOurs(line)) edit.text += line + "\n";
  edit.changed = edit.text != text;
  return edit;
}
bool zedHoldsOurHook(AgentID, std::string_view text) {
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);)
    if (zedOurs(line)) return true;
  return false;
}
constinit const AgentEditor kZedEditor{"zed", zedInstall, zedUninstall};

TEST_F(HookSenderTest, AFourthAgentTakesTheSamePaths) {
  AgentID zed = registerAgent(kZed).value();
  registerEditor(kZedEditor);
  hook_identity::registerHookReader({"zed", zedHoldsOurHook});
  EXPECT_NE(HookCommand::helpText().find("codex, claude, kimi or zed"), std::string::npos);
  const std::filesystem::path file = home_.path() / ".zed/hooks.conf";
  CompanionTool::Options options{home_.path(), kHook};
  std::ostringstream out, err;
  ASSERT_EQ(CompanionTool::install(zed, options, out, err), 0) << err.str();
  EXPECT_EQ(parseReports(out.str()), (std::vector<InstallReport>{{"zed", file.string(), "created", "", {"hook events: Finished, Asking"}}}));
  EXPECT_EQ(test::readAll(file), "Finished " + kHook + " --agent zed\nAsking " + kHook + " --agent zed\n");
  EXPECT_TRUE(HookState::isInstalled(zed));

  LineListener listener(socketPath());
  std::string payload = R"({"kind":"Finished","text":"all  done","cwd":"/src/zproj"})";
  std::vector<char*> argv{const_cast<char*>("--agent=zed"), payload.data()};
  EXPECT_EQ(HookCommand::run(static_cast<int>(argv.size()), argv.data()), 0);
  AgentEvent got = decodeAgentEvent(listener.receive(kBound)).value_or(AgentEvent{});
  got.ts = 0;
  EXPECT_EQ(got, (AgentEvent{"Finished", "zed", "done", "Zed", "all done", "zproj"}));

  out.str("");
  ASSERT_EQ(CompanionTool::uninstall(zed, options, out, err), 0) << err.str();
  EXPECT_EQ(parseReports(out.str()).at(0).action, "removed");
  EXPECT_EQ(test::readAll(file), "");
  EXPECT_FALSE(HookState::isInstalled(zed));
}

}  // namespace
}  // namespace gt
