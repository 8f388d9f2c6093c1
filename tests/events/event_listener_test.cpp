#include "core/events/event_listener.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "../support/test_files.h"

namespace gt {
namespace {

using namespace std::chrono_literals;

class Collector {
 public:
  EventListener::Callback callback() {
    return [this](AgentEvent ev) {
      std::lock_guard<std::mutex> g(m_);
      events_.push_back(std::move(ev));
      cv_.notify_all();
    };
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds limit = 5000ms) {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, limit, [&] { return events_.size() >= n; });
  }
  std::vector<AgentEvent> events() {
    std::lock_guard<std::mutex> g(m_);
    return events_;
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<AgentEvent> events_;
};

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    ASSERT_GT(n, 0) << std::strerror(errno);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

std::string record(const std::string& agent, std::int64_t ts, const std::string& message = "m") {
  return encodeAgentEvent(AgentEvent{"t", agent, "s", "title", message, "p", ts}) + "\n";
}

// True when the peer's end is shut down or closed within the limit.
bool seesEndOfStream(int fd, int limitMs = 3000) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, limitMs) <= 0) return false;
  char c;
  return ::recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

int openDescriptors() {
  int n = 0;
  for (int fd = 0; fd < 4096; ++fd)
    if (::fcntl(fd, F_GETFD) != -1) ++n;
  return n;
}

class EventListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.ok()); }
  test::TempDir dir;
  Collector got;
};

TEST_F(EventListenerTest, FramesRecordsByLineFeedAndDropsBadLines) {
  std::string path = dir.file("run/events.sock");  // the parent directory is created by start
  EventListener listener(path);
  listener.start(got.callback());
  ASSERT_TRUE(listener.isRunning());

  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  writeAll(fd, record("a", 1) + record("b", 2));  // two records in one write
  std::string split = record("c", 3);
  writeAll(fd, split.substr(0, 10));
  std::this_thread::sleep_for(50ms);
  writeAll(fd, split.substr(10, 20));
  std::this_thread::sleep_for(50ms);
  writeAll(fd, split.substr(30));
  writeAll(fd, "not json\n\n   \n[1,2]\n" + record("d", 4));
  std::string crlf = record("e", 5);
  crlf.insert(crlf.size() - 1, "\r");
  writeAll(fd, crlf);
  writeAll(fd, record("never", 6).substr(0, 40));  // no line feed before end of stream
  ASSERT_TRUE(got.waitFor(5));
  ::shutdown(fd, SHUT_WR);
  EXPECT_TRUE(seesEndOfStream(fd));  // the listener closes its end once the stream ends
  ::close(fd);

  auto events = got.events();
  ASSERT_EQ(events.size(), 5u);
  const char* agents[] = {"a", "b", "c", "d", "e"};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(events[i].agent, agents[i]);
    EXPECT_EQ(events[i].ts, i + 1);
  }
  listener.stop();
}

TEST_F(EventListenerTest, OverlongRecordIsSkippedToItsLineFeedAndTheConnectionGoesOn) {
  std::string path = dir.file("ev.sock");
  EventListener listener(path);
  listener.start(got.callback());
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  std::string big(EventListener::kMaxPendingBytes + 100'000, 'x');
  std::string nearLimit(EventListener::kMaxPendingBytes - 200, 'y');
  // The good records share writes with the oversize one, so none of them may be lost with it.
  std::thread writer([&] {
    writeAll(fd, record("before", 1) + record("a", 2, big) + record("after", 3) + record("near", 4, nearLimit));
  });
  ASSERT_TRUE(got.waitFor(3));
  writer.join();
  auto events = got.events();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].agent, "before");
  EXPECT_EQ(events[1].agent, "after");
  EXPECT_EQ(events[2].agent, "near");
  EXPECT_EQ(events[2].message.size(), nearLimit.size());
  ::close(fd);
}

TEST_F(EventListenerTest, ManyConnectionsAtOnce) {
  std::string path = dir.file("ev.sock");
  EventListener listener(path);
  listener.start(got.callback());
  constexpr int kConns = 16, kEach = 200;
  std::vector<std::thread> clients;
  for (int c = 0; c < kConns; ++c)
    clients.emplace_back([&, c] {
      int fd = connectTo(path);
      ASSERT_GE(fd, 0);
      std::string all;
      for (int i = 0; i < kEach; ++i) all += record("c" + std::to_string(c), i);
      writeAll(fd, all);
      ::close(fd);
    });
  for (auto& t : clients) t.join();
  ASSERT_TRUE(got.waitFor(kConns * kEach));
  // Within one connection records keep their order.
  std::vector<std::int64_t> next(kConns, 0);
  for (const auto& ev : got.events()) {
    int c = std::stoi(ev.agent.substr(1));
    EXPECT_EQ(ev.ts, next[c]++);
  }
}

TEST_F(EventListenerTest, AcceptKeepsGoingAfterRunningOutOfDescriptors) {
#ifdef __SANITIZE_ADDRESS__
  // UBSan's vptr check tests memory through a pipe of its own; with the table full that fails and it
  // reports a bogus "invalid vptr". The normal and TSan builds run this case.
  GTEST_SKIP() << "the sanitizer runtime needs free descriptors";
#endif
  std::string path = dir.file("ev.sock");
  EventListener listener(path);
  listener.start(got.callback());
  ASSERT_TRUE(listener.isRunning());
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

  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  std::this_thread::sleep_for(350ms);  // accept fails with EMFILE a few times meanwhile

  for (int fd : fillers) ::close(fd);
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(connected) << std::strerror(errno);
  writeAll(client, record("after-emfile", 1));
  EXPECT_TRUE(got.waitFor(1));
  ::close(client);
  EXPECT_TRUE(listener.isRunning());
}

TEST_F(EventListenerTest, PathLimitIs103Bytes) {
  std::string base = dir.path().string() + "/";
  std::string ok = base + std::string(103 - base.size(), 'p');
  std::string tooLong = base + std::string(104 - base.size(), 'q');
  ASSERT_EQ(ok.size(), 103u);

  EventListener longListener(tooLong);
  longListener.start(got.callback());
  EXPECT_FALSE(longListener.isRunning());
  EXPECT_FALSE(std::filesystem::exists(tooLong));

  EventListener okListener(ok);
  okListener.start(got.callback());
  EXPECT_TRUE(okListener.isRunning());
  int fd = connectTo(ok);
  ASSERT_GE(fd, 0);
  writeAll(fd, record("x", 1));
  EXPECT_TRUE(got.waitFor(1));
  ::close(fd);

  EventListener empty("");
  empty.start(got.callback());
  EXPECT_FALSE(empty.isRunning());
  EventListener withNul(base + std::string("a\0b", 3));
  withNul.start(got.callback());
  EXPECT_FALSE(withNul.isRunning());
}

TEST_F(EventListenerTest, StaleSocketIsReplacedAndSecondStartDoesNothing) {
  std::string path = dir.file("ev.sock");
  {  // a socket file left by a crashed run: bound, then closed without unlink
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
  }
  ASSERT_EQ(connectTo(path), -1);

  EventListener listener(path);
  listener.start(got.callback());
  ASSERT_TRUE(listener.isRunning());
  struct stat first {
  }, second{};
  ASSERT_EQ(::stat(path.c_str(), &first), 0);
  listener.start(got.callback());
  ASSERT_EQ(::stat(path.c_str(), &second), 0);
  EXPECT_EQ(first.st_ino, second.st_ino);

  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  writeAll(fd, record("x", 1));
  EXPECT_TRUE(got.waitFor(1));
  ::close(fd);
  EXPECT_EQ(got.events().size(), 1u);  // the repeated start installed no second callback
}

TEST_F(EventListenerTest, StopClosesEveryDescriptorOnceAndRestarts) {
  std::string path = dir.file("ev.sock");
  {
    std::ofstream(path) << "left over";
    EventListener never(path);
    never.stop();  // removes the file, touches no descriptor
    EXPECT_FALSE(std::filesystem::exists(path));
  }

  const int before = openDescriptors();
  EventListener listener(path);
  listener.start(got.callback());
  std::vector<int> clients;
  for (int i = 0; i < 5; ++i) {
    int fd = connectTo(path);
    ASSERT_GE(fd, 0);
    writeAll(fd, record("open", i));
    clients.push_back(fd);
  }
  ASSERT_TRUE(got.waitFor(5));

  auto t0 = std::chrono::steady_clock::now();
  listener.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  EXPECT_FALSE(listener.isRunning());
  EXPECT_FALSE(std::filesystem::exists(path));
  for (int fd : clients) EXPECT_TRUE(seesEndOfStream(fd));

  // Descriptor numbers freed by stop are reused at once; a second close by a late reader would
  // close these files under us.
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
  ASSERT_TRUE(listener.isRunning());
  int fd = connectTo(path);
  ASSERT_GE(fd, 0);
  writeAll(fd, record("again", 9));
  EXPECT_TRUE(got.waitFor(6));
  ::close(fd);
}

TEST_F(EventListenerTest, StopIsBoundedWhileACallbackIsSlowAndDestructionStops) {
  std::string path = dir.file("ev.sock");
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
  writeAll(fd, record("slow", 1));
  {
    std::unique_lock<std::mutex> g(m);
    ASSERT_TRUE(cv.wait_for(g, 3s, [&] { return entered; }));
  }
  // Destroying the listener stops it while its reader is still inside the callback.
  auto t0 = std::chrono::steady_clock::now();
  listener.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(seesEndOfStream(fd));
  {
    std::unique_lock<std::mutex> g(m);
    release = true;
    cv.notify_all();
    EXPECT_TRUE(cv.wait_for(g, 3s, [&] { return left; }));
  }
  ::close(fd);
}

}  // namespace
}  // namespace gt
