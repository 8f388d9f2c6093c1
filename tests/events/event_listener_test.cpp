#include "core/events/event_listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <optional>

#include "support/test_files.h"
#include "support/event_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using test::connectTo, test::record, test::sendAll;

// True when the peer's end is shut down or closed within the limit.
bool seesEndOfStream(int fd) {
  pollfd p{fd, POLLIN, 0};
  char c;
  return ::poll(&p, 1, 3000) > 0 && ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

int openDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
  return n;
}

class EventListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }
  test::TempDir dir;
  test::Collector got;
  std::string path = dir.file("ev.sock");
};

// Split and joined writes, bad and unterminated lines, CRLF and the size limit on one connection.
TEST_F(EventListenerTest, FramesRecordsByLineFeedAndSkipsBadAndOverlongLines) {
  path = dir.file("run/events.sock");  // start creates the parent directory
  EventListener listener(path);
  listener.start(got.callback());
  ASSERT_TRUE(listener.isRunning());
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  std::string split = record("c", 3), crlf = record("e", 5);
  crlf.insert(crlf.size() - 1, "\r");
  std::string nearLimit(EventListener::kMaxPendingBytes - 200, 'y');
  // The good records share writes with the oversize one, so none of them may be lost with it.
  std::thread writer([&] {
    EXPECT_TRUE(sendAll(fd, record("a", 1) + record("b", 2) + split.substr(0, 10)));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(sendAll(fd, split.substr(10, 20)));
    std::this_thread::sleep_for(50ms);
    EXPECT_TRUE(sendAll(fd, split.substr(30) + "not json\n\n   \n[1,2]\n" + record("d", 4) + crlf +
                                record("big", 0, std::string(EventListener::kMaxPendingBytes + 100'000, 'x')) +
                                record("f", 6) + record("g", 7, nearLimit) + record("never", 8).substr(0, 40)));
  });
  ASSERT_TRUE(got.waitFor(7));
  writer.join();
  ::shutdown(fd, SHUT_WR);
  EXPECT_TRUE(seesEndOfStream(fd));  // the listener closes its end once the stream ends
  ::close(fd);
  auto events = got.events();
  ASSERT_EQ(events.size(), 7u);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(events[i].agent, std::string(1, char('a' + i)));
    EXPECT_EQ(events[i].ts, i + 1);
  }
  EXPECT_EQ(events[6].message, nearLimit);
}

TEST_F(EventListenerTest, AcceptKeepsGoingAfterRunningOutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
  // UBSan's vptr check probes memory through a pipe of its own and reports a bogus error with the table full.
  GTEST_SKIP() << "the sanitizer runtime needs free descriptors";
#endif
  EventListener listener(path);
  listener.start(got.callback());
  int client = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // made before the table is full
  ASSERT_GE(client, 0);
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  int highest = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (::fcntl(fd, F_GETFD) != -1) highest = fd;
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(highest + 16);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  sockaddr_un addr = test::unixAddress(path);
  bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  std::this_thread::sleep_for(350ms);  // accept fails with EMFILE a few times meanwhile
  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(connected) << std::strerror(errno);
  EXPECT_TRUE(sendAll(client, record("after-emfile", 1)));
  EXPECT_TRUE(got.waitFor(1));
  ::close(client);
  EXPECT_TRUE(listener.isRunning());
}

TEST_F(EventListenerTest, RefusesBadPathsAndReplacesAStaleSocketOnce) {
  std::string base = dir.path().string() + "/";
  for (std::string bad : {base + std::string(104 - base.size(), 'q'), std::string(), base + std::string("a\0b", 3)}) {
    EventListener l(bad);
    l.start(got.callback());
    EXPECT_FALSE(l.isRunning()) << bad.size();
    EXPECT_FALSE(std::filesystem::exists(bad));
  }
  path = base + std::string(EventListener::kMaxPathBytes - base.size(), 'p');  // the longest that fits
  ASSERT_TRUE(test::leaveStaleSocket(path));
  ASSERT_EQ(connectTo(path), -1);
  EventListener listener(path);
  listener.start(got.callback());
  ASSERT_TRUE(listener.isRunning());
  struct stat first {
  }, second{};
  ASSERT_EQ(::stat(path.c_str(), &first), 0);
  listener.start(got.callback());  // a second start does nothing
  ASSERT_EQ(::stat(path.c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(sendAll(fd, record("x", 1)));
  EXPECT_TRUE(got.waitFor(1));
  ::close(fd);
  EXPECT_EQ(got.events().size(), 1u);  // and installed no second callback
}

TEST_F(EventListenerTest, StopClosesEveryDescriptorOnceAndRestarts) {
  test::writeAll(path, "left over");
  EventListener(path).stop();  // removes the file, touches no descriptor
  EXPECT_FALSE(std::filesystem::exists(path));

  const int before = openDescriptors();
  EventListener listener(path);
  listener.start(got.callback());
  std::vector<int> clients;
  for (int i = 0; i < 5; ++i) {
    clients.push_back(connectTo(path));
    ASSERT_GE(clients.back(), 0);
    EXPECT_TRUE(sendAll(clients.back(), record("open", i) + record("half", i).substr(0, 20)));
  }
  ASSERT_TRUE(got.waitFor(5));
  auto t0 = std::chrono::steady_clock::now();
  listener.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  EXPECT_FALSE(listener.isRunning());
  EXPECT_FALSE(std::filesystem::exists(path));
  for (int fd : clients) EXPECT_TRUE(seesEndOfStream(fd));
  // Numbers freed by stop are reused at once; a second close by a late reader would close these files.
  std::vector<int> reused;
  for (int i = 0; i < 8; ++i) reused.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  std::this_thread::sleep_for(200ms);
  for (int fd : reused) {
    EXPECT_NE(::fcntl(fd, F_GETFD), -1) << "descriptor " << fd << " was closed by the listener";
    ::close(fd);
  }
  for (int fd : clients) ::close(fd);
  EXPECT_EQ(openDescriptors(), before);

  listener.start(got.callback());
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(sendAll(fd, record("again", 9)));
  EXPECT_TRUE(got.waitFor(6));
  ::close(fd);
}

TEST_F(EventListenerTest, DestructionIsBoundedWhileACallbackIsSlow) {
  std::mutex m;
  std::condition_variable cv;
  bool entered = false, release = false, left = false;
  std::optional<EventListener> listener(std::in_place, path);
  listener->start([&](AgentEvent) {
    std::unique_lock<std::mutex> g(m);
    entered = true;
    cv.notify_all();
    cv.wait_for(g, 4s, [&] { return release; });
    left = true;
    cv.notify_all();
  });
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(sendAll(fd, record("slow", 1)));
  {
    std::unique_lock<std::mutex> g(m);
    ASSERT_TRUE(cv.wait_for(g, 3s, [&] { return entered; }));
  }
  auto t0 = std::chrono::steady_clock::now();
  listener.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(seesEndOfStream(fd));
  std::unique_lock<std::mutex> g(m);
  release = true;
  cv.notify_all();
  EXPECT_TRUE(cv.wait_for(g, 3s, [&] { return left; }));
  ::close(fd);
}

}  // namespace
}  // namespace gt
