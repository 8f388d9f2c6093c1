// `glowticker send` as a process, against a real listener in a temporary home directory.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../support/test_files.h"
#include "core/events/event_listener.h"

namespace gt {
namespace {

using namespace std::chrono_literals;

struct Result {
  int status = -1;
  std::string err, out;
};

std::string drain(int fd) {
  std::string s;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(n));
  return s;
}

Result runGlowticker(const std::string& home, std::vector<std::string> args) {
  args.insert(args.begin(), {GT_GLOWTICKER, "send"});
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::string homeVar = "HOME=" + home;
  char* envp[] = {homeVar.data(), const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  pid_t pid;
  int r = posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  ::close(err[1]);
  Result res;
  if (r == 0) {
    // The command bounds its own waits to about 2 s; give it 10 before calling it hung.
    int status = 0;
    bool done = false;
    for (int i = 0; i < 1000 && !done; ++i) {
      done = ::waitpid(pid, &status, WNOHANG) == pid;
      if (!done) std::this_thread::sleep_for(10ms);
    }
    if (!done) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      ADD_FAILURE() << "glowticker send did not end within 10 s";
    }
    res.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    res.out = drain(out[0]);
    res.err = drain(err[0]);
  }
  ::close(out[0]);
  ::close(err[0]);
  return res;
}

class SendCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::access(GT_GLOWTICKER, X_OK) != 0) GTEST_SKIP() << "the glowticker program is not built";
    ASSERT_TRUE(home.ok());
  }
  std::string socketPath() const { return home.path().string() + "/.glowticker/run/events.sock"; }
  test::TempDir home;
};

TEST_F(SendCommandTest, DeliversOneRecordToTheRunningListener) {
  std::mutex m;
  std::condition_variable cv;
  std::vector<AgentEvent> got;
  EventListener listener(socketPath());
  listener.start([&](AgentEvent ev) {
    std::lock_guard<std::mutex> g(m);
    got.push_back(std::move(ev));
    cv.notify_all();
  });
  ASSERT_TRUE(listener.isRunning());

  auto r =
      runGlowticker(home.path(), {"--agent", "claude", "--title", "Build finished", "--message", "All <tests> passed",
                                  "--type", "stop", "--state", "idle", "--project", "demo", "--ts", "-5"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  auto before =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  r = runGlowticker(home.path(), {"--agent", "codex", "--title", "", "--message", "defaults"});
  EXPECT_EQ(r.status, 0) << r.err;

  std::unique_lock<std::mutex> g(m);
  ASSERT_TRUE(cv.wait_for(g, 5s, [&] { return got.size() >= 2; }));
  EXPECT_EQ(got[0], (AgentEvent{"stop", "claude", "idle", "Build finished", "All <tests> passed", "demo", -5}));
  EXPECT_EQ(got[1].type, "manual");
  EXPECT_EQ(got[1].agent, "codex");
  EXPECT_EQ(got[1].state, "");
  EXPECT_EQ(got[1].project, "");
  EXPECT_EQ(got[1].message, "defaults");
  EXPECT_GE(got[1].ts, before - 10'000);  // now, in milliseconds
  EXPECT_LE(got[1].ts, before + 60'000);
}

TEST_F(SendCommandTest, SaysInOneLineThatTheAppIsNotRunning) {
  auto r = runGlowticker(home.path(), {"--agent", "a", "--title", "t", "--message", "m"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the Glowticker app is not running"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);

  // A socket file left behind by an app that has exited.
  std::filesystem::create_directories(home.path().string() + "/.glowticker/run");
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, socketPath().c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  r = runGlowticker(home.path(), {"--agent", "a", "--title", "t", "--message", "m"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the Glowticker app is not running"), std::string::npos) << r.err;
}

TEST_F(SendCommandTest, RejectsWrongOptionsAndShowsHelp) {
  EXPECT_EQ(runGlowticker(home.path(), {"--agent", "a", "--title", "t"}).status, 2);
  EXPECT_EQ(runGlowticker(home.path(), {"--agent", "a", "--title", "t", "--message", "m", "--ts", "1.5"}).status, 2);
  EXPECT_EQ(
      runGlowticker(home.path(), {"--agent", "a", "--title", "t", "--message", "m", "--ts", "9223372036854775808"})
          .status,
      2);
  EXPECT_EQ(runGlowticker(home.path(), {"--agent", "a", "--title", "t", "--message", "m", "--bogus", "x"}).status, 2);
  auto help = runGlowticker(home.path(), {"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: glowticker send"), std::string::npos);
}

}  // namespace
}  // namespace gt
