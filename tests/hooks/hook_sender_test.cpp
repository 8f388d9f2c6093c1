#include <gtest/gtest.h>
#include <toml++/toml.h>

#include <csignal>
#include <nlohmann/json.hpp>
#include <thread>

#include "cli/companion/companion_tool.h"
#include "cli/hook/hook_event_builder.h"
#include "core/events/agent_event.h"
#include "core/hooks/hook_installer.h"
#include "test_support.h"

namespace gt {
namespace {

using test::LineListener;
using test::ProcessResult;
using test::readFile;
using test::runProcess;
using test::TempDir;
using test::writeFile;

const std::string kHook = GT_HOOK_EXE;
// Generous: the point is that nothing hangs; the speed itself is measured by the benchmark.
constexpr auto kBound = std::chrono::milliseconds(2000);

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

class HookSenderTest : public ::testing::Test {
 protected:
  std::filesystem::path socketPath() { return home_.path() / ".glowticker" / "run" / "events.sock"; }
  std::map<std::string, std::string> env() { return {{"HOME", home_.path().string()}}; }

  // Runs the hook and returns the one record the listener got.
  AgentEvent send(const std::vector<std::string>& args, const std::string& stdinBytes) {
    LineListener listener(socketPath());
    std::vector<std::string> argv{kHook};
    argv.insert(argv.end(), args.begin(), args.end());
    std::int64_t before = nowMs();
    ProcessResult p = runProcess(argv, env(), stdinBytes);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "");
    std::optional<std::string> line = listener.receive(kBound);
    if (!line || line->empty() || line->back() != '\n') {
      ADD_FAILURE() << "no record line";
      return {};
    }
    EXPECT_EQ(line->find('\n'), line->size() - 1) << "one line only";
    std::string error;
    std::optional<AgentEvent> ev = decodeAgentEvent(*line, &error);
    if (!ev) {
      ADD_FAILURE() << error << ": " << *line;
      return {};
    }
    EXPECT_GE(ev->ts, before);
    EXPECT_LE(ev->ts, nowMs());
    return *ev;
  }

  void expectNothingSent(const std::vector<std::string>& args, const std::string& stdinBytes) {
    LineListener listener(socketPath());
    std::vector<std::string> argv{kHook};
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessResult p = runProcess(argv, env(), stdinBytes);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "");
    std::optional<std::string> got = listener.receive(std::chrono::milliseconds(100));
    EXPECT_TRUE(!got || got->empty()) << *got;
  }

  TempDir home_;
};

TEST_F(HookSenderTest, CodexTurnComplete) {
  AgentEvent ev = send({"--agent", "codex",
                        R"({"type":"agent-turn-complete","thread-id":"t1","turn-id":"7","cwd":"/home/u/src/demo-app/",
                            "input-messages":["fix the tests"],"last-assistant-message":"All tests pass now.\n\nDone."})"},
                       "");
  EXPECT_EQ(ev.type, "agent-turn-complete");
  EXPECT_EQ(ev.agent, "codex");
  EXPECT_EQ(ev.state, "done");
  EXPECT_EQ(ev.title, "任务完成");
  EXPECT_EQ(ev.message, "All tests pass now. Done.");
  EXPECT_EQ(ev.project, "demo-app");
}

TEST_F(HookSenderTest, ClaudeEvents) {
  AgentEvent stop = send({"--agent", "claude"},
                         R"({"session_id":"abc","transcript_path":"/home/u/.claude/projects/x.jsonl",
                             "cwd":"/work/glow","hook_event_name":"Stop","stop_hook_active":false})");
  EXPECT_EQ(stop.type, "Stop");
  EXPECT_EQ(stop.state, "done");
  EXPECT_EQ(stop.project, "glow");
  EXPECT_FALSE(stop.message.empty());

  AgentEvent note = send({"--agent", "claude"}, R"({"session_id":"abc","cwd":"/work/glow",
      "hook_event_name":"Notification","message":"Claude needs your permission to use Bash",
      "notification_type":"permission_prompt"})");
  EXPECT_EQ(note.state, "waiting");
  EXPECT_EQ(note.title, "需要你的授权");
  EXPECT_EQ(note.message, "Claude needs your permission to use Bash");

  AgentEvent perm = send({"--agent", "claude"}, R"({"session_id":"abc","cwd":"/",
      "hook_event_name":"PermissionRequest","tool_name":"Bash","tool_input":{"command":"rm -rf build"}})");
  EXPECT_EQ(perm.type, "PermissionRequest");
  EXPECT_EQ(perm.state, "waiting");
  EXPECT_EQ(perm.message, "请求使用 Bash：rm -rf build");
  EXPECT_EQ(perm.project, "/");
}

TEST_F(HookSenderTest, KimiNotificationAndLongText) {
  AgentEvent ev = send({"--agent", "kimi"}, R"({"hook_event_name":"Notification","session_id":"s","cwd":"/p/kimi-demo",
      "sink":"desktop","notification_type":"task","title":"Task","body":"Background task finished"})");
  EXPECT_EQ(ev.agent, "kimi");
  EXPECT_EQ(ev.type, "Notification");
  EXPECT_EQ(ev.message, "Background task finished");
  EXPECT_EQ(ev.project, "kimi-demo");

  std::string longText;
  for (int i = 0; i < 500; ++i) longText += "完成";
  AgentEvent cut = send({"--agent", "codex",
                         nlohmann::json{{"type", "agent-turn-complete"}, {"last-assistant-message", longText}}.dump()},
                        "");
  EXPECT_LE(cut.message.size(), HookEventBuilder::kMaxMessageBytes + std::string("…").size());
  EXPECT_TRUE(cut.message.ends_with("…"));
  EXPECT_EQ(cut.message.substr(0, 6), "完成");
  EXPECT_EQ(cut.message.size() % 3, 0u) << "cut inside a character";
}

TEST_F(HookSenderTest, GarbageIsDroppedAndStillExitsZero) {
  expectNothingSent({"--agent", "claude"}, "not json at all");
  expectNothingSent({"--agent", "claude"}, "");
  expectNothingSent({"--agent", "kimi"}, "[1, 2, 3]");
  expectNothingSent({"--agent", "kimi"}, "{\"cwd\": \"\xff\xfe\"}");
  expectNothingSent({"--agent", "codex"}, "");
  expectNothingSent({"--agent", "codex", "{\"type\":"}, "");
  expectNothingSent({"--agent", "nobody"}, "{}");
  expectNothingSent({}, "");
  expectNothingSent({"--agent", "claude"}, std::string(3 * 1024 * 1024, '{'));  // larger than the payload bound
}

TEST_F(HookSenderTest, NoAppNoReaderNoEndOfInput) {
  const std::string payload = R"({"hook_event_name":"Stop","cwd":"/x"})";
  // Nobody listening, and not even the folder exists.
  ProcessResult none = runProcess({kHook, "--agent", "claude"}, env(), payload);
  EXPECT_EQ(none.status, 0);
  EXPECT_LT(none.elapsed, kBound);

  // A listener that never accepts nor reads, whose backlog is full of other connections.
  LineListener listener(socketPath());
  for (int i = 0; i < 12; ++i) runProcess({kHook, "--agent", "claude"}, env(), payload);
  ProcessResult stuck = runProcess({kHook, "--agent", "claude"}, env(), payload);
  EXPECT_EQ(stuck.status, 0);
  EXPECT_LT(stuck.elapsed, kBound);

  // A standard input that never closes.
  ProcessResult open = runProcess({kHook, "--agent", "kimi"}, env(), payload, /*holdStdinOpen=*/true);
  EXPECT_EQ(open.status, 0);
  EXPECT_LT(open.elapsed, kBound);
}

// The hook as the agents run it, installed by the companion tool into their real file formats.
TEST_F(HookSenderTest, InstalledHooksDeliverEvents) {
  CompanionTool::Options options{home_.path(), kHook};
  std::ostringstream out, err;
  ASSERT_EQ(CompanionTool::install(AgentID::claude, options, out, err), 0) << err.str();
  auto settings = nlohmann::json::parse(readFile(HookState::configPath(AgentID::claude, home_.path())));
  std::string command = settings["hooks"]["Stop"][0]["hooks"][0]["command"];
  {
    LineListener listener(socketPath());
    ProcessResult p = runProcess({"/bin/sh", "-c", command}, env(), R"({"hook_event_name":"Stop","cwd":"/a/b"})");
    EXPECT_EQ(p.status, 0);
    auto line = listener.receive(kBound);
    ASSERT_TRUE(line);
    EXPECT_EQ(decodeAgentEvent(*line)->project, "b");
  }

  // codex: the user's previous notify still runs, with the same payload as its last argument.
  std::filesystem::path seen = home_.path() / "seen.txt";
  std::filesystem::path previous = home_.path() / "old-notify.sh";
  // It records its arguments and its ignored-signal mask (SIGPIPE must be back to default).
  writeFile(previous,
            "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$(awk '/^SigIgn/{print $2}' /proc/$$/status)\" > " +
                seen.string() + ".tmp && mv " + seen.string() + ".tmp " + seen.string() + "\n",
            0755);
  writeFile(HookState::configPath(AgentID::codex, home_.path()),
            "notify = [\"" + previous.string() + "\", \"--flag\"]\n");
  ASSERT_EQ(CompanionTool::install(AgentID::codex, options, out, err), 0) << err.str();
  auto config = toml::parse_file(HookState::configPath(AgentID::codex, home_.path()).string());
  std::vector<std::string> argv;
  for (auto&& e : *config["notify"].as_array()) argv.push_back(e.value_or(std::string()));
  const std::string payload = R"({"type":"agent-turn-complete","cwd":"/c/proj","last-assistant-message":"ok"})";
  argv.push_back(payload);
  LineListener listener(socketPath());
  ProcessResult p = runProcess(argv, env(), "");
  EXPECT_EQ(p.status, 0);
  auto line = listener.receive(kBound);
  ASSERT_TRUE(line);
  EXPECT_EQ(decodeAgentEvent(*line)->message, "ok");
  for (int i = 0; i < 200 && !std::filesystem::exists(seen); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  std::string record = readFile(seen);
  ASSERT_TRUE(record.starts_with("--flag|" + payload + "|")) << record;
  unsigned long long ignored = std::stoull(record.substr(record.rfind('|') + 1), nullptr, 16);
  EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u);
}

TEST(HookEventBuilder, TextHelpers) {
  EXPECT_EQ(HookEventBuilder::shortText("  a \n\t b  "), "a b");
  EXPECT_EQ(HookEventBuilder::shortText("abcdef", 3), "abc…");
  EXPECT_EQ(HookEventBuilder::shortText("ab 完成", 4), "ab…");  // never half a character
  EXPECT_EQ(HookEventBuilder::projectName("/home/u/proj//"), "proj");
  EXPECT_EQ(HookEventBuilder::projectName("///"), "/");
  EXPECT_EQ(HookEventBuilder::projectName("rel"), "rel");
  EXPECT_EQ(HookEventBuilder::build(AgentID::codex, "{}", 5, "/fallback/dir")->project, "dir");
}

}  // namespace
}  // namespace gt
