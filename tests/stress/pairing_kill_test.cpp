// The pairing file survives a saver killed at any moment: afterwards it is absent, the record before
// or the record being written, always decodable, always mode 0600.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <random>

#include "core/pairing/clock_config.h"
#include "support/stress_support.h"

namespace gt {
namespace {

constexpr int kKills = 500, kMinKills = 60;         // 60 even on a disk whose fsync takes a tenth of a second
constexpr auto kBudget = std::chrono::seconds(60);  // rounds stop here once kMinKills are done

// Lengths vary with n so that a torn write could not pass for a whole record.
ClockConfig recordNumber(long n) {
  return {"Phone " + std::to_string(n),
          "192.168.1." + std::to_string(n % 250),
          8888,
          8889,
          "token-" + std::to_string(n) + std::string(static_cast<std::size_t>(n % 37), 'x'),
          "2026-03-01T09:05:07Z"};
}

// Forks a process saving records from `first` on, until killed or after `count` saves (exit 0; 3 on failure).
pid_t forkSaver(const std::filesystem::path& base, long first, long count) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ConfigStore::setBaseDir(base);
    for (long n = first; n < first + count; ++n)
      if (ConfigStore::save(recordNumber(n))) ::_exit(3);
    ::_exit(0);
  }
  return pid;
}

// Median time for a forked saver to start, save once and end (microseconds on tmpfs, a tenth of a second
// on a busy disk, slow when sanitized), so the kill moments are spread over a few times this.
long medianSaverMicros(const std::filesystem::path& base) {
  std::vector<long> t;
  for (long n = 0; n < 5; ++n) {
    auto start = std::chrono::steady_clock::now();
    ::waitpid(forkSaver(base, n, 1), nullptr, 0);
    t.push_back(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
  }
  std::filesystem::remove_all(base);
  std::sort(t.begin(), t.end());
  return t[2];
}

TEST(PairingFileKill, SigkilledSaverLeavesAbsentOldOrNewDecodablePrivateFile) {
  stress::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::filesystem::path base = dir.path() / ".glowticker", file = base / "config.json";
  const long saver = medianSaverMicros(dir.path() / "probe");
  // Before the first save, during it, or during one of the next few; longer while savers fail to finish.
  const int shortest = static_cast<int>(std::clamp(4 * saver, 12000L, 2000000L));
  int longest = shortest;
  std::printf("a saver takes %ld us; kills within %d us\n", saver, longest);
  std::mt19937 rng(20261207);
  const auto deadline = std::chrono::steady_clock::now() + kBudget;
  long highest = -1;  // the newest record seen so far
  int absent = 0, sameAsBefore = 0, newer = 0, round = 0;
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
      ASSERT_EQ(errno, ENOENT);
      ASSERT_EQ(highest, -1) << "round " << round << ": a saved file disappeared";
      ++absent;
      longest = std::min(longest + longest / 8, 2000000);
      continue;
    }
    ASSERT_TRUE(S_ISREG(st.st_mode));
    ASSERT_EQ(st.st_mode & 0777, 0600u) << "round " << round;
    const std::string text = test::readAll(file);
    std::optional<ClockConfig> cfg = decodeClockConfig(text);
    ASSERT_TRUE(cfg) << "round " << round << ": undecodable file:\n" << text;
    const long n = cfg->deviceName.rfind("Phone ", 0) == 0 ? std::atol(cfg->deviceName.c_str() + 6) : -1;
    ASSERT_TRUE(n >= 0 && *cfg == recordNumber(n)) << "round " << round << ": a record nobody wrote";
    // Old: the newest record of an earlier round; new: one of this round's.
    ASSERT_TRUE(n == highest || n >= firstNew) << "round " << round << ": record " << n << " after " << highest;
    (n == highest ? sameAsBefore : newer)++;
    longest = n == highest ? std::min(longest + longest / 8, 2000000) : std::max(longest - longest / 8, shortest);
    highest = n;
  }
  EXPECT_EQ(std::filesystem::status(base).permissions(), std::filesystem::perms(0700));
  int leftovers = 0;
  for (auto& e : std::filesystem::directory_iterator(base)) leftovers += e.path().filename() != "config.json";
  std::printf("%d kills: %d absent, %d old record, %d new record; %d temporary files left by killed savers\n", round,
              absent, sameAsBefore, newer, leftovers);
  EXPECT_GT(newer, 0);
}

}  // namespace
}  // namespace gt
