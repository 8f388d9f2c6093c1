// A saver killed at any moment leaves the pairing file absent, old or new, always decodable and 0600.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "core/pairing/config_store.h"
#include "support/stress_support.h"

namespace gt {
namespace {

constexpr int kKills = 500, kMinKills = 60;         // 60 even on a disk whose fsync takes a tenth of a second
constexpr auto kBudget = std::chrono::seconds(60);  // rounds stop here once kMinKills are done

// Lengths vary with n so that a torn write could not pass for a whole record.
ClockConfig recordNumber(long n) {
  return {"Phone " + std::to_string(n), "192.168.1." + std::to_string(n % 250), 8888, 8889,
          "token-" + std::to_string(n) + std::string(static_cast<std::size_t>(n % 37), 'x'), "2026-03-01T09:05:07Z"};
}

// Forks a process saving records from `first` on, until killed or after `count` saves (exit 0; 3 on failure).
pid_t forkSaver(const std::filesystem::path& base, long first, long count) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ConfigStore::setBaseDir(base);
    for (long n = first; n < first + count; ++n)
      if (!ConfigStore::save(recordNumber(n))) ::_exit(3);
    ::_exit(0);
  }
  return pid;
}

// Kill moments spread over a few times one forked save: before, during and between saves.
TEST(PairingFileKill, SigkilledSaverLeavesAbsentOldOrNewDecodablePrivateFile) {
  stress::TempDir dir;
  const std::filesystem::path base = dir.path() / ".glowticker", file = base / "config.json";
  auto start = std::chrono::steady_clock::now();
  ::waitpid(forkSaver(dir.path() / "probe", 0, 1), nullptr, 0);
  const auto saver = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);
  const int longest = static_cast<int>(std::clamp<long>(4 * saver.count(), 12000L, 2000000L));
  std::mt19937 rng(20261207);
  const auto deadline = std::chrono::steady_clock::now() + kBudget;
  long highest = -1;  // the newest record seen so far
  int newer = 0, round = 0;
  for (; round < kKills && (round < kMinKills || std::chrono::steady_clock::now() < deadline); ++round) {
    const long firstNew = (round + 1) * 100000L;
    pid_t pid = forkSaver(base, firstNew, 1L << 40);  // until killed
    ASSERT_GE(pid, 0);
    ::usleep(static_cast<useconds_t>(std::uniform_int_distribution<int>(0, longest)(rng)));
    ASSERT_EQ(::kill(pid, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped by itself: a save failed";
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) {
      ASSERT_TRUE(errno == ENOENT && highest == -1) << "round " << round << ": a saved file disappeared";
      continue;
    }
    ASSERT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0600) << "round " << round;
    const std::string text = test::readAll(file);
    std::optional<ClockConfig> cfg = decodeClockConfig(text);
    ASSERT_TRUE(cfg) << "round " << round << ": undecodable file:\n" << text;
    const long n = cfg->deviceName.rfind("Phone ", 0) == 0 ? std::atol(cfg->deviceName.c_str() + 6) : -1;
    ASSERT_TRUE(n >= 0 && *cfg == recordNumber(n)) << "round " << round << ": a record nobody wrote";
    // Old: the newest record of an earlier round; new: one of this round's.
    ASSERT_TRUE(n == highest || n >= firstNew) << "round " << round << ": record " << n << " after " << highest;
    newer += n != highest;
    highest = n;
  }
  EXPECT_GT(newer, 0);
}

}  // namespace
}  // namespace gt
