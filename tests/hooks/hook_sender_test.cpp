#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>

#include "support/process.h"
#include "support/test_files.h"
#include "cli/companion/companion_tool.h"
#include "cli/hook/hook_event_builder.h"
#include "core/events/agent_event.h"
#include "core/hooks/hook_installer.h"
#include "core/hooks/hook_state.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Args = std::vector<std::string>;
using Proc = test::ProcessResult;
const std::string kHook = GT_HOOK_EXE;
// Generous: the point is that nothing hangs; the speed itself is measured by the benchmark.
constexpr auto kBound = 2000ms;

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
  ~LineListener() {
    ::close(fd_);
    ::unlink(path_.c_str());
  }
  std::string receive(std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    auto left = [&] {
      return static_cast<int>(
          std::max(0ms, std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())).count());
    };
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
  void TearDown() override { ::setenv("HOME", oldHome_.c_str(), 1); }
  std::filesystem::path socketPath() { return home_.path() / ".glowticker/run/events.sock"; }
  Proc hook(Args args, const std::string& in, bool hold = false) {
    args.insert(args.begin(), kHook);
    return test::runProgram(args, home_.path(), in, hold);
  }
  // Runs argv and returns the record line the app would have got ("" when none).
  std::string send(const Args& argv, const std::string& in, std::chrono::milliseconds wait = kBound) {
    LineListener listener(socketPath());
    Proc p = test::runProgram(argv, home_.path(), in);
    EXPECT_EQ(p.status, 0);
    EXPECT_EQ(p.out, "");
    return listener.receive(wait);
  }
  AgentEvent event(Args args, const std::string& in) {
    args.insert(args.begin(), kHook);
    auto ms = [] {
      return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
    };
    auto before = ms();
    std::string line = send(args, in), error;
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one record line: " << line;
    std::optional<AgentEvent> ev = decodeAgentEvent(line, &error);
    EXPECT_TRUE(ev) << error << ": " << line;
    if (!ev) return {};
    EXPECT_GE(ev->ts, before);
    EXPECT_LE(ev->ts, ms());
    return *ev;
  }
  std::string oldHome_ = std::getenv("HOME") ? std::getenv("HOME") : "";
  test::TempDir home_;
};

TEST_F(HookSenderTest, PayloadsBecomeRecords) {
  struct Row {
    Args args;
    std::string in;
    AgentEvent want;  // ts not compared
  };
  const std::vector<Row> rows = {
      {{"--agent", "codex",
        R"({"type":"agent-turn-complete","thread-id":"t1","turn-id":"7","cwd":"/home/u/src/demo-app/",
            "input-messages":["fix the tests"],"last-assistant-message":"All tests pass now.\n\nDone."})"},
       "",
       {"agent-turn-complete", "codex", "done", "任务完成", "All tests pass now. Done.", "demo-app"}},
      {{"--agent", "claude"},
       R"({"session_id":"abc","cwd":"/work/glow","hook_event_name":"Stop","stop_hook_active":false})",
       {"Stop", "claude", "done", "任务完成", "Claude 已完成本轮回复", "glow"}},
      {{"--agent", "claude"},
       R"({"session_id":"abc","cwd":"/work/glow","hook_event_name":"Notification",
           "message":"Claude needs your permission to use Bash","notification_type":"permission_prompt"})",
       {"Notification", "claude", "waiting", "需要你的授权", "Claude needs your permission to use Bash", "glow"}},
      {{"--agent", "claude"},
       R"({"session_id":"abc","cwd":"/","hook_event_name":"PermissionRequest","tool_name":"Bash",
           "tool_input":{"command":"rm -rf build"}})",
       {"PermissionRequest", "claude", "waiting", "需要你的授权", "请求使用 Bash：rm -rf build", "/"}},
      {{"--agent", "kimi"},
       R"({"hook_event_name":"Notification","session_id":"s","cwd":"/p/kimi-demo","sink":"desktop",
           "notification_type":"task","title":"Task","body":"Background task finished"})",
       {"Notification", "kimi", "waiting", "收到通知", "Background task finished", "kimi-demo"}},
  };
  for (const Row& row : rows) {
    AgentEvent ev = event(row.args, row.in);
    ev.ts = 0;
    EXPECT_EQ(ev, row.want) << row.in;
  }

  std::string longText;
  for (int i = 0; i < 500; ++i) longText += "完成";
  AgentEvent cut = event({"--agent", "codex",
                          nlohmann::json{{"type", "agent-turn-complete"}, {"last-assistant-message", longText}}.dump()},
                         "");
  EXPECT_LE(cut.message.size(), HookEventBuilder::kMaxMessageBytes + std::string("…").size());
  EXPECT_TRUE(cut.message.starts_with("完成") && cut.message.ends_with("…")) << cut.message;
  EXPECT_EQ(cut.message.size() % 3, 0u) << "cut inside a character";
}

TEST_F(HookSenderTest, GarbageIsDroppedAndStillExitsZero) {
  const std::vector<std::pair<Args, std::string>> rows = {
      {{"--agent", "claude"}, "not json at all"},
      {{"--agent", "claude"}, ""},
      {{"--agent", "kimi"}, "[1, 2, 3]"},
      {{"--agent", "kimi"}, "{\"cwd\": \"\xff\xfe\"}"},
      {{"--agent", "codex"}, ""},
      {{"--agent", "codex", "{\"type\":"}, ""},
      {{"--agent", "nobody"}, "{}"},
      {{}, ""},
      {{"--agent", "claude"}, std::string(3 * 1024 * 1024, '{')},  // larger than the payload bound
  };
  for (auto [args, in] : rows) {
    args.insert(args.begin(), kHook);
    EXPECT_EQ(send(args, in, 100ms), "") << testing::PrintToString(args);
  }
}

TEST_F(HookSenderTest, NoAppNoReaderNoEndOfInput) {
  const std::string payload = R"({"hook_event_name":"Stop","cwd":"/x"})";
  Proc none = hook({"--agent", "claude"}, payload);  // nobody listening, not even the folder exists
  EXPECT_EQ(none.status, 0);
  EXPECT_LT(none.took, kBound);

  // A listener that never accepts nor reads, whose backlog is full of other connections.
  LineListener listener(socketPath());
  for (int i = 0; i < 12; ++i) hook({"--agent", "claude"}, payload);
  Proc stuck = hook({"--agent", "claude"}, payload);
  EXPECT_EQ(stuck.status, 0);
  EXPECT_LT(stuck.took, kBound);

  Proc open = hook({"--agent", "kimi"}, payload, /*holdStdin=*/true);
  EXPECT_EQ(open.status, 0);
  EXPECT_LT(open.took, kBound);
}

// The hook as the agents run it, installed by the companion tool into their real file formats.
TEST_F(HookSenderTest, InstalledHooksDeliverEvents) {
  CompanionTool::Options options{home_.path(), kHook};
  std::ostringstream out, err;
  ASSERT_EQ(CompanionTool::install(*agentFromRaw("claude"), options, out, err), 0) << err.str();
  auto settings = nlohmann::json::parse(test::readAll(HookState::configPath(*agentFromRaw("claude"), home_.path())));
  std::string line = send({"/bin/sh", "-c", settings["hooks"]["Stop"][0]["hooks"][0]["command"]},
                          R"({"hook_event_name":"Stop","cwd":"/a/b"})");
  EXPECT_EQ(decodeAgentEvent(line).value_or(AgentEvent{}).project, "b") << line;

  // codex: the user's previous notify still runs with the same payload as its last argument, and with
  // SIGPIPE back to default in its ignored-signal mask.
  std::filesystem::path seen = home_.path() / "seen.txt", previous = home_.path() / "old-notify.sh";
  test::writeAll(previous,
                 "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$(awk '/^SigIgn/{print $2}' /proc/$$/status)\" > " +
                     seen.string() + ".tmp && mv " + seen.string() + ".tmp " + seen.string() + "\n");
  std::filesystem::permissions(previous, std::filesystem::perms(0755));
  test::writeAll(HookState::configPath(*agentFromRaw("codex"), home_.path()),
                 "notify = [\"" + previous.string() + "\", \"--flag\"]\n");
  ASSERT_EQ(CompanionTool::install(*agentFromRaw("codex"), options, out, err), 0) << err.str();
  Args argv;
  auto config = toml::parse_file(HookState::configPath(*agentFromRaw("codex"), home_.path()).string());
  for (auto&& e : *config["notify"].as_array()) argv.push_back(e.value_or(std::string()));
  const std::string payload = R"({"type":"agent-turn-complete","cwd":"/c/proj","last-assistant-message":"ok"})";
  argv.push_back(payload);
  line = send(argv, "");
  EXPECT_EQ(decodeAgentEvent(line).value_or(AgentEvent{}).message, "ok") << line;
  for (int i = 0; i < 200 && !std::filesystem::exists(seen); ++i) std::this_thread::sleep_for(25ms);
  std::string record = test::readAll(seen);
  ASSERT_TRUE(record.starts_with("--flag|" + payload + "|")) << record;
  EXPECT_EQ(std::stoull(record.substr(record.rfind('|') + 1), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
}

TEST(HookEventBuilder, TextHelpers) {
  EXPECT_EQ(HookEventBuilder::shortText("  a \n\t b  "), "a b");
  EXPECT_EQ(HookEventBuilder::shortText("abcdef", 3), "abc…");
  EXPECT_EQ(HookEventBuilder::shortText("ab 完成", 4), "ab…");  // never half a character
  EXPECT_EQ(HookEventBuilder::projectName("/home/u/proj//"), "proj");
  EXPECT_EQ(HookEventBuilder::projectName("///"), "/");
  EXPECT_EQ(HookEventBuilder::projectName("rel"), "rel");
  EXPECT_EQ(HookEventBuilder::build(*agentFromRaw("codex"), "{}", 5, "/fallback/dir")->project, "dir");
}

}  // namespace
}  // namespace gt
