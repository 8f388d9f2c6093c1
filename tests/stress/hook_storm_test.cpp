// A thousand hook processes at once against one listener: every one exits 0 and every event arrives once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <set>

#include "support/event_support.h"
#include "support/process.h"
#include "support/stress_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
constexpr int kProcesses = 1000;

TEST(HookStorm, ThousandHooksAtOnceAllExitZeroAndEveryEventArrives) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "a TSan-built hook needs about a second to start, far past its own 180 ms send budget";
#endif
  stress::TempDir home;
  ::setenv("HOME", home.path().c_str(), 1);  // before any thread runs; each test runs in a process of its own
  test::Collector got;
  EventListener listener(home.file(".glowticker/run/events.sock"));
  ASSERT_EQ(listener.start(got.callback()), std::nullopt);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  // Sanitized hooks start about ten times slower; they run in waves so each gets the CPU its budget assumes.
  const int wave = stress::kSanitized ? 8 : kProcesses;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  int running = 0, failed = 0;
  auto reapOne = [&] {  // false once the minute is up
    int status = 0;
    while (::waitpid(-1, &status, WNOHANG) <= 0)
      if (std::chrono::steady_clock::now() > deadline) return false;
      else std::this_thread::sleep_for(200us);
    failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
    return --running, true;
  };
  for (int i = 0; i < kProcesses;) {
    if (running >= wave) ASSERT_TRUE(reapOne());
    std::string payload = R"({"type":"agent-turn-complete","last-assistant-message":"storm )" + std::to_string(i) + "\"}";
    pid_t pid;
    int rc = test::spawn(pid, {GT_HOOK_EXE, "--agent", "codex", payload}, io);
    if (rc == EAGAIN && running > 0 && reapOne()) continue;  // process limit: let one finish first
    ASSERT_EQ(rc, 0);
    ++running, ++i;
  }
  posix_spawn_file_actions_destroy(&io);
  while (running > 0) ASSERT_TRUE(reapOne()) << running << " hooks still running after a minute";
  EXPECT_EQ(failed, 0);
  EXPECT_TRUE(got.waitFor(kProcesses, 10s)) << got.events().size() << " of " << kProcesses << " arrived";
  std::set<std::string> seen;
  for (const auto& ev : got.events()) seen.insert(ev.message);
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kProcesses));
  EXPECT_EQ(got.events().size(), static_cast<std::size_t>(kProcesses));
}

}  // namespace
}  // namespace gt
