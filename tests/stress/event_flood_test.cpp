// Many agents at once, some of them broken or hostile: the listener must deliver every good record
// once and in order per connection, keep its memory bounded and leave no descriptor behind.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <poll.h>

#include <atomic>
#include <random>

#include "support/event_support.h"
#include "support/stress_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::connectTo, test::sendAll;

constexpr int kConnections = 200;
constexpr int kRecordsPerConnection = 5000;

std::string line(int conn, int seq, std::size_t messageBytes = 0) {
  std::string message = messageBytes ? std::string(messageBytes, 'x') : "message " + std::to_string(seq);
  return encodeAgentEvent(AgentEvent{"flood", "c" + std::to_string(conn), "s", "T", message, "p", seq}) + "\n";
}

// Good records interleaved with malformed lines and one decodable record too long to accept, all written
// in randomly split pieces.
bool runClient(const std::string& path, int conn) {
  int fd = connectTo(path);
  if (fd < 0) return false;
  std::mt19937 rng(static_cast<unsigned>(conn) * 7919u + 1);
  std::string out;
  bool ok = true;
  auto flush = [&](std::size_t keep) {
    while (ok && out.size() > keep) {
      std::size_t n = std::min<std::size_t>(out.size(), rng() % 4096 + 1);
      ok = sendAll(fd, std::string_view(out).substr(0, n));
      out.erase(0, n);
    }
  };
  const int longAt = static_cast<int>(rng() % kRecordsPerConnection);
  for (int seq = 0; seq < kRecordsPerConnection && ok; ++seq) {
    if (seq % 97 == 13) out += "{\"type\":\"broken\", \"ts\": \n";
    if (seq % 211 == 5) out += "not json at all\n\n";
    if (seq % 389 == 7)
      out += R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":1.5})"
             "\n";
    if (seq == longAt) out += line(conn, -1, EventListener::kMaxPendingBytes + 1000);
    out += line(conn, seq);
    flush(8192);
  }
  flush(0);
  ::close(fd);
  return ok;
}

TEST(EventFlood, EveryGoodRecordOnceInOrderWithBoundedMemoryThenABoundedStopAndNoLeaks) {
  stress::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const int fdsBefore = stress::openFdCount();
  const std::string path = dir.file("home/run/events.sock");

  // The clients run in a child started before the listener has any thread, so the resident memory
  // measured here is the listener's alone.
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t clientsPid = ::fork();
  ASSERT_GE(clientsPid, 0);
  if (clientsPid == 0) {
    ::close(go[1]);
    char c;
    if (::read(go[0], &c, 1) != 1) ::_exit(254);
    std::atomic<int> failures{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kConnections; ++i) clients.emplace_back([&, i] { failures += !runClient(path, i); });
    for (auto& t : clients) t.join();
    ::_exit(std::min(failures.load(), 250));
  }
  ::close(go[0]);

  std::vector<std::mutex> locks(kConnections);
  std::vector<std::vector<std::int64_t>> got(kConnections);
  std::atomic<long> delivered{0}, strays{0};
  EventListener listener(path);
  (void)listener.start([&](AgentEvent ev) {
    int conn = ev.agent.size() > 1 && ev.agent[0] == 'c' ? std::atoi(ev.agent.c_str() + 1) : -1;
    if (ev.type != "flood" || conn < 0 || conn >= kConnections) return void(++strays);
    std::lock_guard<std::mutex> g(locks[conn]);
    got[conn].push_back(ev.ts);
    ++delivered;
  });
  ASSERT_TRUE(listener.isRunning());

  const std::int64_t rssBefore = stress::rssKiB();
  std::int64_t rssPeak = rssBefore;  // read once the sampler has been joined
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    for (; sampling; std::this_thread::sleep_for(10ms)) rssPeak = std::max(rssPeak, stress::rssKiB());
  });

  auto t0 = Clock::now();
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(clientsPid, &status, 0), clientsPid);
  const long total = static_cast<long>(kConnections) * kRecordsPerConnection;
  bool all = stress::waitFor([&] { return delivered.load() >= total; }, 120s);
  auto elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  sampling = false;
  sampler.join();

  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : 255, 0) << "clients failed";
  EXPECT_TRUE(all) << delivered.load() << " of " << total << " delivered";
  EXPECT_EQ(strays.load(), 0) << "malformed, fractional or over-long records were delivered";
  for (int c = 0; c < kConnections; ++c) {
    std::lock_guard<std::mutex> g(locks[c]);
    ASSERT_EQ(got[c].size(), static_cast<std::size_t>(kRecordsPerConnection)) << "connection " << c;
    for (int i = 0; i < kRecordsPerConnection; ++i) ASSERT_EQ(got[c][i], i) << "connection " << c;
  }
  // Per connection at most one pending record (1 MiB, doubled by string growth), a 64 KiB read buffer and a stack.
  const std::int64_t growthKiB = rssPeak - rssBefore;
  if (!stress::kSanitized) {
    EXPECT_LT(growthKiB, kConnections * (2 * 1024 + 64 + 128) + 64 * 1024);
  }
  std::printf("flood: %ld records over %d connections in %.2f s (%.0f records/s); RSS growth peak %lld KiB\n", total,
              kConnections, elapsed, total / elapsed, static_cast<long long>(growthKiB));

  // The readers close their connections once the clients have gone.
  EXPECT_TRUE(stress::waitFor([&] { return stress::openFdCount() <= fdsBefore + 3; }, 10s))
      << stress::openFdCount() - fdsBefore << " descriptors above the listening socket and its poller remain";

  // Stop stays within its bound while every connection is in the middle of a record.
  std::vector<int> fds;
  for (int c = 0; c < kConnections; ++c) {
    fds.push_back(connectTo(path));
    ASSERT_GE(fds.back(), 0);
    ASSERT_TRUE(sendAll(fds.back(), line(c, kRecordsPerConnection) + line(c, 0).substr(0, 30)));
  }
  EXPECT_TRUE(stress::waitFor([&] { return delivered.load() == total + kConnections; }, 20s));
  auto s0 = Clock::now();
  listener.stop();
  EXPECT_LT(Clock::now() - s0, 2500ms);
  EXPECT_FALSE(listener.isRunning());
  for (int fd : fds) {  // every client sees its connection end
    char c;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(::recv(fd, &c, 1, 0), 0);
    ::close(fd);
  }
  EXPECT_EQ(delivered.load(), total + kConnections);
  EXPECT_TRUE(stress::waitFor([&] { return stress::openFdCount() <= fdsBefore; }, 2s))
      << stress::openFdCount() - fdsBefore << " descriptors leaked";
}

int threadCount() {
  int n = 0;
  for (auto& e : std::filesystem::directory_iterator("/proc/self/task")) n += e.is_directory();
  return n;
}

// A crowd of idle connections and of connections each holding most of a 1 MiB record, opened by a
// child process: a hook's event still gets through at once, memory and threads stay bounded.
TEST(EventFlood, AHookGetsPastIdleAndHalfRecordCrowdsWithBoundedMemoryAndThreads) {
  stress::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const std::string path = dir.file("home/run/events.sock");
  int ready[2], done[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(done), 0);
  test::Collector got;
  const std::int64_t rssBefore = stress::rssKiB();
  EventListener listener(path);
  ASSERT_EQ(listener.start(got.callback()), std::nullopt);
  const int threads = threadCount();

  pid_t crowd = ::fork();
  ASSERT_GE(crowd, 0);
  if (crowd == 0) {
    std::vector<int> idle, holders;
    for (int i = 0; i < 1100; ++i) idle.push_back(connectTo(path));
    const std::string part(EventListener::kMaxPendingBytes - 4096, 'h');
    std::vector<std::size_t> sent(400, 0);
    for (int i = 0; i < 400; ++i) {
      holders.push_back(connectTo(path));
      if (holders.back() >= 0) ::fcntl(holders.back(), F_SETFL, O_NONBLOCK);
    }
    // Push each partial record in as far as the listener takes it, for a few seconds at most.
    for (auto end = Clock::now() + 8s; Clock::now() < end;) {
      bool pending = false;
      for (int i = 0; i < 400; ++i) {
        if (holders[i] < 0 || sent[i] == part.size()) continue;
        ssize_t n = ::send(holders[i], part.data() + sent[i], part.size() - sent[i], MSG_NOSIGNAL);
        if (n > 0) sent[i] += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN) holders[i] = -1;  // closed by the listener to make room
        pending |= holders[i] >= 0 && sent[i] < part.size();
      }
      if (!pending) break;
      std::this_thread::sleep_for(5ms);
    }
    char c = 'r';
    (void)!::write(ready[1], &c, 1);
    (void)!::read(done[0], &c, 1);
    ::_exit(0);
  }
  char c;
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 60'000), 1);
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  const std::int64_t rssCrowded = stress::rssKiB();
  const int threadsCrowded = threadCount();

  auto t0 = Clock::now();
  int hook = connectTo(path);
  ASSERT_GE(hook, 0);
  ASSERT_TRUE(sendAll(hook, test::record("hook", 1)));
  ASSERT_TRUE(got.waitFor(1, 2s));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
  ::close(hook);
  (void)!::write(done[1], "d", 1);
  ::waitpid(crowd, nullptr, 0);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) ::close(fd);

  EXPECT_LT(took, stress::kSanitized ? 1000ms : 200ms);
  EXPECT_EQ(threadsCrowded, threads);
  if (!stress::kSanitized) {
    EXPECT_LE(rssCrowded - rssBefore, 64 * 1024);
  }
  std::printf("crowd: hook event after %lld ms; RSS growth %lld KiB; threads %d\n",
              static_cast<long long>(took.count()), static_cast<long long>(rssCrowded - rssBefore), threadsCrowded);
}

}  // namespace
}  // namespace gt
