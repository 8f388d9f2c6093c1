// The freedesktop adapter against a private session bus with gt-notify-sink as the server.
#include "platform/desktop_notification_center.h"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <list>
#include <nlohmann/json.hpp>

#include "core/events/event_listener.h"
#include "core/events/notifier.h"
#include "core/events/terminal_return.h"
#include "support/event_support.h"
#include "support/process.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";

class DesktopNotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kDbusDaemon, X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
    ASSERT_TRUE(dir.ok());
    // No service directories: nothing is activated behind the test's back.
    test::writeAll(dir.file("bus.conf"),
                   "<busconfig><type>session</type><listen>unix:path=" + dir.file("bus") +
                       "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                       "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>");
    bus.emplace(std::vector<std::string>{kDbusDaemon, "--config-file=" + dir.file("bus.conf"), "--nofork",
                                         "--nopidfile", "--print-address=1"});
    ASSERT_FALSE(bus->firstLine.empty()) << "the private bus did not come up";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus->firstLine.c_str(), 1);
  }
  void TearDown() override { ::unsetenv("DBUS_SESSION_BUS_ADDRESS"); }

  void startSink(std::vector<std::string> flags = {}) {
    flags.insert(flags.begin(), {GT_NOTIFY_SINK, "--log", dir.file("log.jsonl")});
    ASSERT_EQ(sinks.emplace_back(flags).firstLine, "ready") << "gt-notify-sink did not report ready";
  }

  std::vector<nlohmann::json> logged() {
    std::vector<nlohmann::json> out;
    std::ifstream in(dir.file("log.jsonl"));
    // The sink may be halfway through a line: only lines it has ended count.
    for (std::string line; std::getline(in, line) && !in.eof();) out.push_back(nlohmann::json::parse(line));
    return out;
  }

  // From a peer of the test's own: a click via the sink (Invoke broadcast, InvokeUnicast addressed) with token
  // `extra`, or the server's signal `member` forged, to `extra` if given; answered once the bus routed it.
  void send(const char* member, std::uint32_t id, const char* text, const std::string& extra = "") {
    sd_bus* peer = nullptr;
    sd_bus_message* m = nullptr;
    ASSERT_GE(sd_bus_open_user(&peer), 0);
    int r = std::string_view(member).starts_with("Invoke")
                ? sd_bus_call_method(peer, kService, kPath, "io.glowticker.NotifySink", member, nullptr, nullptr, "uss",
                                     id, text, extra.c_str())
                : sd_bus_message_new_signal(peer, &m, kPath, kService, member);
    if (m && !extra.empty()) r = sd_bus_message_set_destination(m, extra.c_str());
    if (m && r >= 0) r = sd_bus_message_append(m, "us", id, text);
    if (m && r >= 0) r = sd_bus_send(peer, m, nullptr);
    if (m && r >= 0)
      r = sd_bus_call_method(peer, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetId",
                             nullptr, nullptr, "");
    EXPECT_GE(r, 0) << member;
    sd_bus_message_unref(m);
    sd_bus_flush_close_unref(peer);
  }

  test::TempDir dir;
  std::optional<test::Background> bus;
  std::list<test::Background> sinks;  // the last owns the name; all go before the bus
};

// No server on the bus, no bus, and a bus socket that takes connections and never answers: no service, no hang.
TEST_F(DesktopNotificationCenterTest, NoServerOrNoBusOrAWedgedBusMeansNoService) {
  int wedged = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = test::unixAddress(dir.file("wedged"));
  ASSERT_EQ(::bind(wedged, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(wedged, 8), 0);
  for (std::string bus : {"bus", "no-such-bus", "wedged"}) {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.file(bus)).c_str(), 1);
    auto center = makeDesktopNotificationCenter();
    EXPECT_EQ(center->checkService().error().kind, NotifyProblem::noService) << bus;
    EXPECT_EQ(center->add({"glowticker-1-codex", "codex \u00B7 t", "m"}).error().kind, NotifyProblem::noService);
  }
  ::close(wedged);
}

// A silent server holds up nothing; one taking its name over gets every event not dropped for room, in order.
TEST_F(DesktopNotificationCenterTest, AWedgedServerHoldsUpNothingAndAWorkingOneTakesOverAtOnce) {
  startSink({"--silent"});
  auto log = std::make_shared<test::MemoryLog>();
  auto notifier = std::make_shared<Notifier>(makeDesktopNotificationCenter(), log);
  std::atomic<int> posted{0};
  EventListener listener(dir.file("home/run/events.sock"));
  ASSERT_TRUE(listener.start([&](AgentEvent ev) { notifier->post(std::move(ev)), ++posted; }));
  int fd = test::connectTo(listener.socketPath());
  std::string burst;
  for (int i = 0; i < 300; ++i) burst += test::record("codex", i, "event " + std::to_string(i));
  ASSERT_TRUE(test::sendAll(fd, burst));
  EXPECT_TRUE(test::waitUntil([&] { return posted == 300; }, 3s));
  std::this_thread::sleep_for(300ms);  // the worker is stuck on the silent server meanwhile

  startSink();
  ASSERT_TRUE(test::sendAll(fd, test::record("codex", 1000, "after")));
  ASSERT_TRUE(test::waitUntil([&] { return !logged().empty() && logged().back()["body"] == "after"; }, 5s));
  ::close(fd);
  auto lines = logged();
  auto number = [&](std::size_t i) { return std::stoi(lines[i]["body"].get<std::string>().substr(6)); };
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) EXPECT_LT(number(i - 1), number(i));
  ASSERT_EQ(log->count("oldest events"), 1u);
  std::size_t dropped = 0;
  for (auto& l : log->lines())
    if (l.find("oldest events") != std::string::npos) dropped = std::stoul(l.substr(l.find("dropped the ") + 12));
  EXPECT_GE(dropped, 300u - Notifier::kMaxWaiting - 1);
  EXPECT_EQ(lines.size() - 1 + dropped, 300u);
}

// One notification per session (same time stamp or not); a click brings back its event's terminal.
TEST_F(DesktopNotificationCenterTest, ASessionKeepsOneNotificationAndClicksBringItBack) {
  startSink({"--actions", "--no-markup"});
  auto back = std::make_shared<test::FakeReturn>();
  auto log = std::make_shared<test::MemoryLog>();
  Notifier notifier(makeDesktopNotificationCenter(), log, back);
  auto event = [](std::int64_t ts, std::string title, std::string session, std::string pane, std::string state = "s") {
    AgentEvent e{"t", "claude", std::move(state), std::move(title), "m", "demo", ts, EventOrigin{}};
    e.origin->session = std::move(session);
    e.origin->tmuxPane = std::move(pane);
    return e;
  };
  notifier.notify(event(1, "需要你的授权", "s1", "%1", "waiting"));
  notifier.notify(event(2, "完成", "s1", "%1"));
  notifier.notify(event(2, "other", "s2", "%2"));
  notifier.notify({"t", "claude", "s", "plain", "x < y && y > z", "demo", 4, std::nullopt});
  notifier.notify({"t", "claude", "s", "plain again", "m", "demo", 4, std::nullopt});
  auto lines = logged();
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(lines[0]["hints"]["urgency"], 2);  // waits for the user: critical, not expired by the server
  EXPECT_EQ(lines[2]["hints"]["urgency"], 1);
  EXPECT_EQ(lines[1]["closed"], lines[0]["id"]);  // and no other notification was closed
  EXPECT_EQ(std::tuple(lines[2]["replaces_id"], lines[3]["replaces_id"]), std::tuple(0, 0));
  EXPECT_EQ(lines[4]["body"], "x < y && y > z");  // as it is, for a server without markup
  EXPECT_EQ(lines[5]["replaces_id"], lines[4]["id"]);
  for (std::size_t i = 2; i < lines.size(); ++i) EXPECT_FALSE(lines[i].contains("closed")) << lines[i];

  // Only the service's owner reports clicks: forged ones, broadcast or addressed to the app, are not acted on.
  const std::string app = lines[2]["sender"];
  send("ActionInvoked", lines[2]["id"], "default");
  send("ActionInvoked", lines[2]["id"], "default", app);
  send("ActivationToken", lines[3]["id"], "forged", app);
  send("Invoke", lines[2]["id"], "open-terminal", "token-1");
  send("InvokeUnicast", lines[3]["id"], "default");
  back->waitFor(2);
  auto calls = back->calls();
  ASSERT_EQ(calls.size(), 2u);
  auto kept = [&](AgentEvent e) { return e.message.clear(), e; };
  EXPECT_EQ(calls[0], std::pair(kept(event(2, "完成", "s1", "%1")), std::string("token-1")));
  EXPECT_EQ(calls[1], std::pair(kept(event(2, "other", "s2", "%2")), std::string()));

  // A server taking over is asked what it renders, and shows the next event.
  startSink({"--actions"});
  notifier.notify({"t", "claude", "s", "markup", "a <b> & c", "demo", 8, std::nullopt});
  EXPECT_EQ(logged().back()["body"], "a &lt;b&gt; &amp; c");
}

// Claude's payloads through the real hook: reminders pass while the session's notification is up, not after.
TEST_F(DesktopNotificationCenterTest, AReminderPassesWhileItsSessionsNotificationIsUp) {
  startSink();
  auto log = std::make_shared<test::MemoryLog>();
  Notifier notifier(makeDesktopNotificationCenter(), log);
  EventListener listener(dir.file(".glowticker/run/events.sock"));
  ASSERT_TRUE(listener.start([&](AgentEvent ev) { notifier.post(std::move(ev)); }));
  std::string home = "HOME=" + dir.path().string();
  char* env[] = {home.data(), nullptr};
  auto hook = [&](std::string name) {
    auto doc = nlohmann::json::parse(test::readAll(std::string(GT_PAYLOADS) + "/claude-" + name + ".json"));
    doc["session_id"] = "one";
    EXPECT_EQ(test::runProgram({GT_HOOK_EXE, "--agent", "claude"}, dir.path(), doc.dump(), false, env).status, 0);
  };
  for (auto name : {"PermissionRequest", "Notification-permission_prompt", "Stop", "Notification-idle_prompt"})
    hook(name);
  test::waitUntil([&] { return log->count("is still up") >= 2; }, 5s);
  send("Invoke", 0, "default");  // the user takes the reply away: the next reminder shows
  hook("Notification-idle_prompt");
  auto seen = [&](std::vector<std::string> out = {}) {
    for (auto& l : logged())
      out.push_back(l.contains("closed") ? "close"
                                         : l["summary"].get<std::string>() + " | " + l["body"].get<std::string>());
    return out;
  };
  test::waitUntil([&] { return seen().size() >= 4; }, 5s);
  EXPECT_EQ(seen(),
            (std::vector<std::string>{"claude · 需要你的授权 | 请求使用 Bash：touch /home/user/src/demo/out.marker",
                                      "close", "claude · 任务完成 | Hi there! The mock model says hello.",
                                      "claude · 等待你的输入 | Claude is waiting for your input"}));
}

// A tmux server that never answers is asked once: later events, an unrelated one and a click skip it.
TEST_F(DesktopNotificationCenterTest, AWedgedTmuxServerCostsOneTimeOut) {
  startSink({"--actions"});
  test::writeAll(dir.file("tmux"), "#!/bin/sh\necho >>" + dir.file("runs") + "\nexec sleep 60\n");
  ASSERT_EQ(::chmod(dir.file("tmux").c_str(), 0700), 0);
  struct NoWindows : WindowSystem {
    Result<std::vector<Window>, Problem<WindowProblem>> windows() override { return std::vector<Window>{}; }
    Outcome activate(const Window&, const std::string&) override { return {}; }
  };
  auto log = std::make_shared<test::MemoryLog>();
  Notifier notifier(makeDesktopNotificationCenter(), log,
                    std::make_shared<TerminalReturn>(std::make_shared<NoWindows>(), "",
                                                     TerminalReturn::Options{dir.file("tmux"), 200ms}));
  notifier.setQuietWhenInFront(true);
  AgentEvent wedged{"t", "codex", "done", "任务完成", "m", "p", 0, EventOrigin{}};
  wedged.origin->tmux = dir.file("wedged") + ",1,0";
  wedged.origin->tmuxPane = "%1";
  for (; wedged.ts < 6; ++wedged.ts) notifier.notify(wedged);
  notifier.notify({"t", "kimi", "done", "unrelated", "m", "p", 7});
  send("Invoke", logged()[0]["id"], "default");
  test::waitUntil([&] { return log->count("did not answer lately;") > 0; }, 5s);
  EXPECT_EQ(logged().size(), 7u);
  EXPECT_EQ(test::readAll(dir.file("runs")), "\n");
  EXPECT_EQ(log->count("tmux pane %1 not found (tmux server " + dir.file("wedged") + " did not answer lately;"), 1u);
}

}  // namespace
}  // namespace gt
