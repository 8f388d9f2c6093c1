// `glowticker send` as a process, against a real listener in a temporary home directory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/event_support.h"
#include "support/process.h"

namespace gt {
namespace {

// Only HOME and PATH, so nothing of the caller's environment leaks in.
test::ProcessResult send(const test::TempDir& home, std::vector<std::string> args) {
  args.insert(args.begin(), {GT_GLOWTICKER, "send"});
  std::string homeVar = "HOME=" + home.path().string();
  char* envp[] = {homeVar.data(), const_cast<char*>("PATH=/usr/bin:/bin"), nullptr};
  return test::runProgram(args, home.path(), "", false, envp);
}

TEST(SendCommand, SaysThatTheAppIsNotRunningRejectsWrongOptionsAndDeliversOneRecord) {
  test::TempDir home;
  const std::string socketPath = home.file(".glowticker/run/events.sock");
  // Left behind by an app that has exited: nobody listens on it.
  ASSERT_TRUE(std::filesystem::create_directories(home.file(".glowticker/run")) &&
              ::mknod(socketPath.c_str(), S_IFSOCK | 0600, 0) == 0);
  auto r = send(home, {"--agent", "a", "--title", "t", "--message", "m"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the Glowticker app is not running"), std::string::npos) << r.err;
  test::Collector got;
  EventListener listener(socketPath);
  ASSERT_TRUE(listener.start(got.callback()));
  // Wrong options exit with 2 and send nothing (--help is in the CLI commands script).
  for (std::vector<std::string> extra :
       {std::vector<std::string>{}, {"--message", "m", "--ts", "1.5"}, {"--message", "m", "--bogus", "x"}}) {
    extra.insert(extra.begin(), {"--agent", "a", "--title", "t"});
    EXPECT_EQ(send(home, extra).status, 2) << extra.back();
  }
  r = send(home, {"--agent", "claude", "--title", "Build finished", "--message", "All <tests> passed", "--type",
                       "stop", "--state", "idle", "--project", "demo", "--ts", "-5"});
  EXPECT_TRUE(r.status == 0 && r.err.empty()) << r.err;
  auto now = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
  EXPECT_EQ(send(home, {"--agent", "codex", "--title", "", "--message", "defaults"}).status, 0);
  ASSERT_TRUE(got.waitFor(2));
  auto events = got.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], (AgentEvent{"stop", "claude", "idle", "Build finished", "All <tests> passed", "demo", -5}));
  EXPECT_EQ(events[1], (AgentEvent{"manual", "codex", "", "", "defaults", "", events[1].ts}));
  EXPECT_TRUE(events[1].ts >= now.count() - 10'000 && events[1].ts <= now.count() + 60'000);  // now, in ms
}

}  // namespace
}  // namespace gt
