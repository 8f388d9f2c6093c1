#include "core/events/event_listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "support/event_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using test::connectTo, test::record, test::sendAll;

// True when the peer's end is shut down or closed (reset, with bytes it never read) within the limit.
bool seesEndOfStream(int fd, int ms = 10'000) {
  pollfd p{fd, POLLIN, 0};
  char c;
  if (::poll(&p, 1, ms) <= 0) return false;
  ssize_t n = ::recv(fd, &c, 1, MSG_DONTWAIT);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

unsigned modeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class EventListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }
  test::TempDir dir;
  test::Collector got;
  std::string base = dir.file("home/.glowticker"), path = base + "/run/events.sock";
  std::shared_ptr<test::MemoryLog> log = std::make_shared<test::MemoryLog>();
};

// Private folders, only the user's programs; a live listener's path is never taken, a stale socket is.
TEST_F(EventListenerTest, PrivateFoldersOnlyTheUsersProgramsAndOnlyItsOwnSocket) {
  for (std::string bad : {std::string(), path + std::string(104, 'q'), base + std::string("/a\0b", 4)})
    EXPECT_EQ(EventListener(bad).start(got.callback()).error().kind, ListenProblem::badPath) << bad.size();
  mode_t old = ::umask(002);
  EventListener listener(path, log), second(path, log);
  EXPECT_TRUE(listener.start(got.callback()));
  ::umask(old);
  auto modes = [&] { return std::tuple(modeOf(base), modeOf(base + "/run"), modeOf(path)); };
  EXPECT_EQ(modes(), std::tuple(0700u, 0700u, 0600u));
  EXPECT_EQ(second.start(got.callback()).error().kind, ListenProblem::inUse);
  int own = connectTo(path);
  // Another user's program is turned away before it can say anything, and logged.
  for (int i = 0; i < (::geteuid() == 0 ? 2 : 0); ++i) {
    pid_t pid = ::fork();
    if (pid == 0) {
      if (::setresuid(0, 65534, 0) != 0) ::_exit(3);
      ::setfsuid(0);
      int fd = connectTo(path);
      if (fd < 0) ::_exit(4);
      sendAll(fd, record("spoof", i));  // may already fail: the listener hangs up at once
      char c;
      ::_exit(::recv(fd, &c, 1, 0) <= 0 ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
  EXPECT_TRUE(sendAll(own, record("own", 1)) && got.waitFor(1));
  // A record past the bound, arriving over many reads, is skipped and the connection goes on.
  const timeval sendLimit{20, 0};  // a listener that stopped reading fails the send instead of hanging it
  ASSERT_EQ(::setsockopt(own, SOL_SOCKET, SO_SNDTIMEO, &sendLimit, sizeof sendLimit), 0);
  EXPECT_TRUE(sendAll(own, std::string(EventListener::kMaxPendingBytes * 3 / 2, 'x') + "\n" + record("own", 2)));
  EXPECT_TRUE(got.waitFor(2));
  EXPECT_EQ(got.events().size(), 2u);
  ::close(own);
  // A crashed run's socket is replaced, and loosened folders made private again.
  listener.stop();
  ASSERT_EQ(::mknod(path.c_str(), S_IFSOCK | 0600, 0), 0);
  ::chmod(base.c_str(), 0755);
  ::chmod((base + "/run").c_str(), 0777);
  EXPECT_TRUE(listener.start(got.callback()));
  EXPECT_EQ(modes(), std::tuple(0700u, 0700u, 0600u));
  listener.stop();
  EXPECT_FALSE(std::filesystem::exists(path));

  std::filesystem::remove_all(base + "/run");
  std::filesystem::create_directory(dir.file("elsewhere"));
  std::filesystem::create_directory_symlink(dir.file("elsewhere"), base + "/run");
  EXPECT_NE(listener.start(got.callback()).error().detail.find("symbolic link"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("elsewhere/events.sock")));
}

// Limits small enough to reach: the idlest connection makes room, a silent one times out.
TEST_F(EventListenerTest, ClosesTheIdlestConnectionAtALimitAndSilentOnesAfterTheirTime) {
  EventListener listener(path, nullptr, {3, 64 * 1024, 3000ms});
  ASSERT_TRUE(listener.start(got.callback()));
  std::vector<int> fds;
  for (int i = 0; i < 3; ++i) {
    fds.push_back(connectTo(path));
    ASSERT_TRUE(sendAll(fds[i], std::string(20'000, 'p')));  // part of a record
    std::this_thread::sleep_for(i == 0 ? 1100ms : 20ms);     // the first has gone quiet, the others still deliver
  }
  EXPECT_TRUE(sendAll(fds[2], std::string(20'000, 'p')));  // over 64 KiB held: the quiet one goes
  EXPECT_TRUE(seesEndOfStream(fds[0]));
  EXPECT_FALSE(seesEndOfStream(fds[1], 0));
  fds.push_back(connectTo(path));
  int fresh = connectTo(path);  // one connection too many: the idlest goes
  EXPECT_TRUE(seesEndOfStream(fds[1]));
  EXPECT_TRUE(sendAll(fresh, record("fresh", 1)));
  EXPECT_TRUE(got.waitFor(1));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(seesEndOfStream(fresh));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 2500ms);
  for (int fd : fds) ::close(fd);
  ::close(fresh);
}

TEST_F(EventListenerTest, AcceptKeepsGoingAfterRunningOutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "UBSan's vptr check needs free descriptors of its own";
#endif
  EventListener listener(path);
  ASSERT_TRUE(listener.start(got.callback()));
  int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // made before the table is full
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  const rlimit low{static_cast<rlim_t>(test::openFdCount() + 64), saved.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  sockaddr_un addr = test::unixAddress(path);
  bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  std::this_thread::sleep_for(250ms);  // accept fails with EMFILE meanwhile
  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(connected) << std::strerror(errno);
  EXPECT_TRUE(sendAll(client, record("after-emfile", 1)));
  EXPECT_TRUE(got.waitFor(1));
  ::close(client);
}

}  // namespace
}  // namespace gt
