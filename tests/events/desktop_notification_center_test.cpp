// The freedesktop adapter against a private session bus with gt-notify-sink as the server.
#include "platform/desktop_notification_center.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "../support/test_files.h"

extern char** environ;

namespace gt {
namespace {

using namespace std::chrono_literals;
constexpr const char* kDbusDaemon = "/usr/bin/dbus-daemon";

// A child process killed with SIGTERM (then SIGKILL) and reaped on destruction.
class Child {
 public:
  Child() = default;
  bool spawn(const std::vector<std::string>& argv, int stdoutFd = -1) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&fa, stdoutFd, 1);
    int r = posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (r != 0) pid_ = -1;
    return r == 0;
  }
  ~Child() { stop(); }
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 300; ++i) {
      if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
};

class DesktopNotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(kDbusDaemon, X_OK) != 0) GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
    if (::access(GT_NOTIFY_SINK, X_OK) != 0) GTEST_SKIP() << "gt-notify-sink is not built";
    ASSERT_TRUE(dir.ok());
    std::string conf = dir.file("bus.conf");
    // No service directories: nothing is activated behind the test's back.
    std::ofstream(conf) << "<busconfig><type>session</type><listen>unix:path=" << dir.file("bus")
                        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
                           "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>";
    ASSERT_TRUE(bus.spawn({kDbusDaemon, "--config-file=" + conf, "--nofork", "--nopidfile"}));
    for (int i = 0; i < 500 && ::access(dir.file("bus").c_str(), F_OK) != 0; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(::access(dir.file("bus").c_str(), F_OK), 0) << "the private bus did not come up";
    ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.file("bus")).c_str(), 1);
  }
  void TearDown() override {
    sink.stop();
    bus.stop();
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  }

  void startSink(bool markup = true) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::vector<std::string> argv = {GT_NOTIFY_SINK, "--log", dir.file("log.jsonl")};
    if (!markup) argv.push_back("--no-markup");
    ASSERT_TRUE(sink.spawn(argv, fds[1]));
    ::close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    char buf[16] = {};
    bool ready = ::poll(&p, 1, 5000) == 1 && ::read(fds[0], buf, sizeof buf - 1) > 0;
    ::close(fds[0]);
    ASSERT_TRUE(ready) << "gt-notify-sink did not report ready";
    EXPECT_EQ(std::string(buf), "ready\n");
  }

  std::vector<nlohmann::json> logged() {
    std::vector<nlohmann::json> out;
    std::ifstream in(dir.file("log.jsonl"));
    for (std::string line; std::getline(in, line);) out.push_back(nlohmann::json::parse(line));
    return out;
  }

  test::TempDir dir;
  Child bus, sink;
};

TEST_F(DesktopNotificationCenterTest, DeliversTitleAndEscapedBodyAndReplacesByIdentifier) {
  startSink();
  auto center = makeDesktopNotificationCenter();
  EXPECT_EQ(center->authorizationStatus(), AuthorizationStatus::authorized);
  auto answer = center->requestAuthorization();
  EXPECT_TRUE(answer.granted);
  EXPECT_FALSE(answer.error);

  EXPECT_EQ(center->add({"glowticker-1-claude", "claude \u00B7 Build finished", "a <b> & c"}), std::nullopt);
  EXPECT_EQ(center->add({"glowticker-1-claude", "claude \u00B7 again", "second"}), std::nullopt);
  EXPECT_EQ(center->add({"glowticker-2-claude", "claude \u00B7 other", "third"}), std::nullopt);

  auto lines = logged();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0]["app_name"], "Glowticker");
  EXPECT_EQ(lines[0]["summary"], "claude \u00B7 Build finished");
  EXPECT_EQ(lines[0]["body"], "a &lt;b&gt; &amp; c");  // the server renders markup
  EXPECT_EQ(lines[0]["replaces_id"], 0);
  EXPECT_EQ(lines[1]["replaces_id"], lines[0]["id"]);
  EXPECT_EQ(lines[1]["id"], lines[0]["id"]);
  EXPECT_EQ(lines[1]["summary"], "claude \u00B7 again");
  EXPECT_EQ(lines[2]["replaces_id"], 0);
  EXPECT_NE(lines[2]["id"], lines[0]["id"]);
}

TEST_F(DesktopNotificationCenterTest, PlainTextServerGetsTheBodyAsIs) {
  startSink(/*markup=*/false);
  auto center = makeDesktopNotificationCenter();
  EXPECT_EQ(center->add({"glowticker-3-kimi", "kimi \u00B7 t", "x < y && y > z"}), std::nullopt);
  auto lines = logged();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["body"], "x < y && y > z");
}

TEST_F(DesktopNotificationCenterTest, NoServerOrNoBusMeansDeniedWithoutHanging) {
  auto center = makeDesktopNotificationCenter();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(center->authorizationStatus(), AuthorizationStatus::denied);
  EXPECT_FALSE(center->requestAuthorization().granted);
  auto err = center->add({"glowticker-1-codex", "codex \u00B7 t", "m"});
  ASSERT_TRUE(err);
  EXPECT_FALSE(err->empty());

  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + dir.file("no-such-bus")).c_str(), 1);
  EXPECT_EQ(center->authorizationStatus(), AuthorizationStatus::denied);
  EXPECT_TRUE(center->add({"glowticker-1-codex", "codex \u00B7 t", "m"}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
}

TEST_F(DesktopNotificationCenterTest, AWedgedBusCostsOneBoundedWaitPerCall) {
  // A bus socket that takes connections into its backlog and never answers.
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::string path = dir.file("wedged");
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  ::setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + path).c_str(), 1);
  auto center = makeDesktopNotificationCenter();
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(center->authorizationStatus(), AuthorizationStatus::denied);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
  t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(center->add({"glowticker-1-codex", "codex \u00B7 t", "m"}));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 4s);
  ::close(fd);
}

TEST_F(DesktopNotificationCenterTest, ConcurrentCallersAreSafe) {
  startSink();
  auto center = makeDesktopNotificationCenter();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(center->authorizationStatus(), AuthorizationStatus::authorized);
        EXPECT_EQ(center->add({"id-" + std::to_string(t), "title", std::to_string(i)}), std::nullopt);
      }
    });
  for (auto& th : threads) th.join();
  auto lines = logged();
  ASSERT_EQ(lines.size(), 20u);
  std::set<unsigned> ids;
  for (const auto& l : lines) ids.insert(l["id"].get<unsigned>());
  EXPECT_EQ(ids.size(), 4u);  // each identifier kept replacing its own notification
}

}  // namespace
}  // namespace gt
