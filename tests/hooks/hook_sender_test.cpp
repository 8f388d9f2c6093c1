#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "cli/companion/companion_tool.h"
#include "cli/hook/hook_command.h"
#include "core/common/process_tree.h"
#include "core/hooks/agent_config.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/hook_state.h"
#include "core/hooks/install_report.h"
#include "support/event_support.h"
#include "support/process.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Args = std::vector<std::string>;
const std::string kHook = GT_HOOK_EXE;
constexpr auto kBound = 10s;  // a wait for what must come, never a time limit: the benchmark times the hook

class HookSenderTest : public ::testing::Test {
 protected:
  void SetUp() override { ::setenv("HOME", home_.path().c_str(), 1); }
  std::string socketPath() { return home_.path() / ".glowticker/run/events.sock"; }
  // The one record the app's own listener got from running `run` (nothing when none came).
  template <typename Run>
  std::optional<AgentEvent> received(Run run, std::chrono::milliseconds wait = kBound) {
    EXPECT_TRUE(app_.isRunning() || app_.start(events_.callback()));
    size_t before = events_.events().size();
    run();
    if (!events_.waitFor(before + 1, wait)) return std::nullopt;
    EXPECT_EQ(events_.events().size(), before + 1);
    return events_.events().back();
  }
  std::optional<AgentEvent> send(const Args& argv, const std::string& in, std::chrono::milliseconds wait = kBound) {
    auto run = [&] {
      auto p = test::runProgram(argv, home_.path(), in);
      EXPECT_EQ(std::tuple(p.status, p.out), std::tuple(0, ""));
    };
    return received(run, wait);
  }
  test::TempDir home_;
  test::Collector events_;
  EventListener app_{socketPath()};
};

// What the real agents send (captured from their own programs; also the payload fuzzer's seeds).
std::string payload(const std::string& name) { return test::readAll(std::string(GT_PAYLOADS) + "/" + name + ".json"); }

// What the real-agent stage (tests/agents) does not reach: kimi (its runs of white space made one space), garbage
// and the origin (cuts are the fuzz target's).
TEST_F(HookSenderTest, PayloadsBecomeRecordsWithTheirOriginAndGarbageIsDropped) {
  auto ms = [] { return std::chrono::time_point_cast<std::chrono::milliseconds>(std::chrono::system_clock::now()); };
  const auto before = ms().time_since_epoch().count();
  AgentEvent ev = send({kHook, "--agent", "kimi"},
                       R"({"hook_event_name":"Notification","cwd":"/p/k","title":"T","body":" Task \t\n done\n"})")
                      .value_or(AgentEvent{});
  EXPECT_TRUE(ev.ts >= before && ev.ts <= ms().time_since_epoch().count()) << ev.ts;  // stamped in ms on sending
  EXPECT_EQ((ev.ts = 0, ev.origin.reset(), ev),
            (AgentEvent{"Notification", "kimi", "waiting", "收到通知", "Task done", "k"}));
  // Garbage (what no payload parser takes is the fuzz target's) is dropped, and the hook still exits 0.
  for (auto [args, in] : std::vector<std::pair<Args, std::string>>{
           {{"--agent", "codex"}, ""},
           {{"--agent", "codex", "{\"type\":"}, ""},
           {{"--agent", "nobody"}, "{}"},
           {{}, ""},
           {{"--agent", "claude"}, std::string(3 * 1024 * 1024, '{')}}) {  // larger than the payload bound
    args.insert(args.begin(), kHook);
    EXPECT_FALSE(send(args, in, 100ms)) << testing::PrintToString(args);
  }
  // The origin tells where the hook ran.
  std::vector<std::string> vars = {"HOME=" + home_.path().string(),
                                   "TMUX=/tmp/tmux-1/default,42,0",
                                   "TMUX_PANE=%5",
                                   "WINDOWID=" + std::string(300, '7'),
                                   "VSCODE_INJECTION=1",
                                   "WEZTERM_PANE=\xff"};
  std::vector<char*> env;
  for (auto& v : vars) env.push_back(v.data());
  env.push_back(nullptr);
  auto origin = received([&] {
    test::runProgram({kHook, "--agent", "claude"}, home_.path(), R"({"session_id":"s-9"})", false, env.data());
  });
  ASSERT_TRUE(origin && origin->origin);
  std::vector<std::int64_t> chain = processChain(::getpid(), 16);  // the hook's parent is this test
  // Too long or not UTF-8: left out rather than cut.
  EXPECT_EQ(*origin->origin, (EventOrigin{"s-9", chain, "/tmp/tmux-1/default,42,0", "%5", "", "", "", "", true}));
}

TEST_F(HookSenderTest, NoAppNoReaderNoEndOfInput) {
  const std::string payload = R"({"hook_event_name":"Stop","cwd":"/x"})";
  auto hook = [&](const char* agent, bool hold = false) {
    return test::runProgram({kHook, "--agent", agent}, home_.path(), payload, hold);
  };
  EXPECT_EQ(hook("claude").status, 0);  // nobody listening, not even the folder exists
  std::filesystem::create_directories(home_.path() / ".glowticker/run");
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // never accepts; its backlog fills up
  sockaddr_un addr = test::unixAddress(socketPath());
  ASSERT_TRUE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 && ::listen(fd, 1) == 0);
  for (int i = 0; i < 12; ++i) hook("claude");
  test::ProcessResult stuck = hook("claude"), open = hook("kimi", true);
  EXPECT_EQ(std::tuple(stuck.status, open.status), std::tuple(0, 0));  // a run that hangs fails in runProgram
  ::close(fd);
}

// An earlier version's notify runs the user's own one after it, payload last, with SIGPIPE back to default.
TEST_F(HookSenderTest, ChainedNotifyRuns) {
  std::filesystem::path seen = home_.path() / "seen", previous = home_.path() / "old-notify.sh";
  test::writeAll(previous,
                 "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$(awk '/^SigIgn/{print $2}' /proc/$$/status)\" > " +
                     seen.string() + ".tmp && mv " + seen.string() + ".tmp " + seen.string() + "\n");
  std::filesystem::permissions(previous, std::filesystem::perms(0755));
  Args argv{kHook, "--agent", "codex", "--chain", "--", previous, "--flag"};
  const std::string& notified = argv.emplace_back(payload("codex-notify-agent-turn-complete-turn"));
  EXPECT_EQ(send(argv, "")->state, "done");
  for (int i = 0; i < 200 && !std::filesystem::exists(seen); ++i) std::this_thread::sleep_for(25ms);
  std::string record = test::readAll(seen);
  ASSERT_TRUE(record.starts_with("--flag|" + notified + "|")) << record;
  EXPECT_EQ(std::stoull(record.substr(record.rfind('|') + 1), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
}

// One `codex app-server` runs every session's hooks: the hook takes the one codex in its folder, else none and why.
TEST_F(HookSenderTest, AHookRunBySharedServerTakesItsSessionsTerminalOrNone) {
  const std::filesystem::path folder = home_.path(), codex = home_.path() / "codex";
  std::filesystem::copy_file("/bin/sh", codex);  // named codex; "codex app-server" reads ./app-server
  test::writeAll(folder / "app-server", kHook + " --agent codex\n:\n");
  auto sh = [&](const std::string& line) {
    return Args{"/bin/sh", "-c", "cd " + folder.string() + " && exec " + line};
  };
  auto hook = [&] {
    return received(
               [&] { test::runProgram(sh(codex.string() + " app-server"), home_.path(), payload("codex-hooks-Stop")); })
        ->origin.value();
  };
  // Each session waits on a pipe nobody writes: a child it forked would be one more codex until it ran.
  ASSERT_EQ(::mkfifo((folder / "never").c_str(), 0600), 0);
  const std::string session = " -c 'echo ready; exec >&- 2>&-; read x <>never'";
  test::Background one(sh("env TMUX_PANE=%7 " + codex.string() + session));
  EventOrigin origin = hook();
  EXPECT_EQ(std::tuple(origin.pids.at(0), origin.tmuxPane, origin.unknown), std::tuple(one.pid, "%7", ""));
  test::Background two(sh("env TMUX_PANE=%8 " + codex.string() + session));
  origin = hook();
  EXPECT_EQ(
      std::tuple(origin.pids.size(), origin.tmuxPane, origin.unknown),
      std::tuple(0u, "",
                 "codex ran the hook from its shared app-server and 2 of its sessions work in " + folder.string()));
}

// A made-up fourth agent, registered with one line, goes through install, hook state, the hook and uninstall.
constexpr std::string_view kZedEvents[] = {"Finished", "Asking"};
constinit const AgentSpec kZed{
    "zed", ".zed/hooks.conf", PayloadArrival::lastArgument, kZedEvents, [](const nlohmann::json& doc, AgentEvent& ev) {
      ev = {payload::text(doc, "kind"), "", "done", "Zed", payload::text(doc, "text"), "", 0};
    }};
// The walk: the text without our lines, each "EVENT COMMAND" whose command runs our hook under one of our events.
std::string zedWithoutOurs(std::string_view text, const HookSetup& setup) {
  std::string kept;
  std::istringstream lines{std::string(text)};
  for (std::string line; std::getline(lines, line);) {
    size_t space = line.find(' ');
    if (space == std::string::npos ||
        !hook_identity::isOurEntry(setup.agent, setup.events, line.substr(0, space), line.substr(space + 1)))
      kept += line + "\n";
  }
  return kept;
}
constinit const AgentConfig kZedConfig{
    "zed", [](std::string_view text, const HookSetup& setup) { return zedWithoutOurs(text, setup) != text; },
    [](std::string_view text, const HookSetup& setup) {
      ConfigEdit edit{zedWithoutOurs(text, setup), true, {eventsNote(setup.events)}};
      for (std::string_view event : setup.events) edit.text += std::string(event) + " " + setup.shellCommand + "\n";
      return EditResult(edit);
    },
    [](std::string_view text, const HookSetup& setup) {
      std::string kept = zedWithoutOurs(text, setup);
      return EditResult(ConfigEdit{kept, kept != text, {}});
    }};

TEST_F(HookSenderTest, AFourthAgentTakesTheSamePaths) {
  AgentID zed = registerAgent(kZed, kZedConfig).value();
  const std::filesystem::path file = home_.path() / ".zed/hooks.conf";
  CompanionTool::Options options{home_.path(), kHook};
  std::ostringstream out, err;
  ASSERT_EQ(CompanionTool::install(zed, options, out, err), 0) << err.str();
  EXPECT_EQ(parseReports(out.str()),
            (std::vector<InstallReport>{{"zed", file.string(), "created", "", {"hook events: Finished, Asking"}}}));
  EXPECT_EQ(test::readAll(file), "Finished " + kHook + " --agent zed\nAsking " + kHook + " --agent zed\n");
  EXPECT_TRUE(HookState::isInstalled(zed));

  std::string payload = R"({"kind":"Finished","text":"all  done","cwd":"/src/zproj"})";
  std::vector<char*> argv{const_cast<char*>("--agent=zed"), payload.data()};
  AgentEvent got = received([&] {
                     EXPECT_EQ(HookCommand::run(static_cast<int>(argv.size()), argv.data()), 0);
                   }).value_or(AgentEvent{});
  got.ts = 0, got.origin.reset();
  EXPECT_EQ(got, (AgentEvent{"Finished", "zed", "done", "Zed", "all done", "zproj"}));

  out.str("");
  ASSERT_EQ(CompanionTool::uninstall(zed, options, out, err), 0) << err.str();
  EXPECT_EQ(parseReports(out.str()).at(0).action, "removed");
  EXPECT_EQ(test::readAll(file), "");
  EXPECT_FALSE(HookState::isInstalled(zed));
}

}  // namespace
}  // namespace gt
