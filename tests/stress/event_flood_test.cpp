// Floods and crowds of idle or half-sent connections: every good record once and in order, a hook's event
// still through at once, memory, threads and descriptors bounded.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>

#include <atomic>
#include <functional>
#include <random>

#include "support/event_support.h"
#include "support/stress_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using test::connectTo, test::sendAll;
constexpr int kConnections = 200, kRecordsPerConnection = 5000;

std::string line(int conn, int seq, std::size_t messageBytes = 8) {
  return encodeAgentEvent({"flood", "c" + std::to_string(conn), "s", "T", std::string(messageBytes, 'x'), "p", seq}) +
         "\n";
}

// Good records among malformed lines and one decodable record too long to accept, in random pieces.
bool runClient(const std::string& path, int conn) {
  int fd = connectTo(path);
  std::mt19937 rng(static_cast<unsigned>(conn) * 7919u + 1);
  std::string out;
  bool ok = fd >= 0;
  const int longAt = static_cast<int>(rng() % kRecordsPerConnection);
  for (int seq = 0; seq < kRecordsPerConnection && ok; ++seq) {
    if (seq % 97 == 13) out += "{\"type\":\"broken\", \"ts\": \nnot json at all\n\n";
    if (seq % 389 == 7) out += R"({"type":"t","agent":"a","state":"s","title":"T","message":"M","project":"p","ts":1.5})" "\n";
    if (seq == longAt) out += line(conn, -1, EventListener::kMaxPendingBytes + 1000);
    out += line(conn, seq);
    for (std::size_t n; ok && (out.size() > 8192 || seq + 1 == kRecordsPerConnection) && !out.empty(); out.erase(0, n)) {
      n = std::min<std::size_t>(out.size(), rng() % 4096 + 1);
      ok = sendAll(fd, std::string_view(out).substr(0, n));
    }
  }
  if (fd >= 0) ::close(fd);
  return ok;
}

int threadCount() { return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

// Runs `body` in a child process started now and waits (bounded) for it to say it is done.
pid_t inChild(int ready[2], const std::function<void()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    body();
    (void)!::write(ready[1], "r", 1);
    ::pause();
    ::_exit(0);
  }
  return pid;
}

TEST(EventFlood, EveryGoodRecordOnceInOrderWithBoundedMemoryAndNoLeaks) {
  stress::TempDir dir;
  const int fdsBefore = stress::openFdCount();
  const std::string path = dir.file("home/run/events.sock");
  std::mutex lock;
  std::vector<std::vector<std::int64_t>> got(kConnections);
  std::atomic<long> delivered{0}, strays{0};
  // The clients' process is forked before the listener has threads: under ThreadSanitizer a child of a
  // multi-threaded parent may not start threads of its own. It waits for the go byte.
  int ready[2], go[2];
  ASSERT_EQ(::pipe(ready), 0);
  ASSERT_EQ(::pipe(go), 0);
  std::atomic<int> failures{0};
  pid_t clients = inChild(ready, [&] {
    char c;
    ::close(go[1]);  // a parent that stops early leaves end-of-file here, not a child waiting for ever
    if (::read(go[0], &c, 1) != 1) ::_exit(2);
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) threads.emplace_back([&, i] { failures += !runClient(path, i); });
    for (auto& t : threads) t.join();
    if (failures) ::_exit(1);
  });
  EventListener listener(path);
  ASSERT_EQ(listener.start([&](AgentEvent ev) {
    int conn = ev.agent.size() > 1 && ev.agent[0] == 'c' ? std::atoi(ev.agent.c_str() + 1) : -1;
    if (ev.type != "flood" || conn < 0 || conn >= kConnections || ev.message.size() != 8) return void(++strays);
    std::lock_guard<std::mutex> g(lock);
    got[conn].push_back(ev.ts);
    ++delivered;
  }),
            std::nullopt);
  const std::int64_t rssBefore = stress::rssKiB();
  std::int64_t rssPeak = rssBefore;
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    for (; sampling; std::this_thread::sleep_for(10ms)) rssPeak = std::max(rssPeak, stress::rssKiB());
  });
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  const long total = static_cast<long>(kConnections) * kRecordsPerConnection;
  bool all = stress::waitFor([&] { return delivered.load() >= total; }, 120s);
  sampling = false;
  sampler.join();
  pollfd p{ready[0], POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 10'000), 1) << "clients failed";
  ::kill(clients, SIGKILL);
  ::waitpid(clients, nullptr, 0);
  ::close(ready[0]), ::close(ready[1]), ::close(go[0]), ::close(go[1]);

  EXPECT_TRUE(all) << delivered.load() << " of " << total << " delivered";
  EXPECT_EQ(strays.load(), 0) << "malformed, fractional or over-long records were delivered";
  for (int c = 0; c < kConnections; ++c) {
    ASSERT_EQ(got[c].size(), static_cast<std::size_t>(kRecordsPerConnection)) << "connection " << c;
    for (int i = 0; i < kRecordsPerConnection; ++i) ASSERT_EQ(got[c][i], i) << "connection " << c;
  }
  // The partial-record budget (32 MiB) and decoding buffers.
  if (!stress::kSanitized) EXPECT_LT(rssPeak - rssBefore, 128 * 1024);
  // The clients are gone: only the listening socket, its poller and its wake-up remain.
  EXPECT_TRUE(stress::waitFor([&] { return stress::openFdCount() <= fdsBefore + 3; }, 10s));
  listener.stop();
  EXPECT_EQ(stress::openFdCount(), fdsBefore);
}

// 1,100 idle connections and 400 each holding most of a 1 MiB record, opened by a child process.
TEST(EventFlood, AHookGetsPastIdleAndHalfRecordCrowdsWithBoundedMemoryAndThreads) {
  stress::TempDir dir;
  const std::string path = dir.file("home/run/events.sock");
  test::Collector got;
  const std::int64_t rssBefore = stress::rssKiB();
  EventListener listener(path);
  ASSERT_EQ(listener.start(got.callback()), std::nullopt);
  const int threads = threadCount();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t crowd = inChild(ready, [&] {
    std::vector<int> idle, holders;
    for (int i = 0; i < 1100; ++i) idle.push_back(connectTo(path));
    const std::string part(EventListener::kMaxPendingBytes - 4096, 'h');
    std::vector<std::size_t> sent(400, 0);
    for (int i = 0; i < 400; ++i) {
      holders.push_back(connectTo(path));
      if (holders.back() >= 0) ::fcntl(holders.back(), F_SETFL, O_NONBLOCK);
    }
    // Each partial record goes in as far as the listener takes it, for a few seconds at most.
    for (auto end = Clock::now() + 8s; Clock::now() < end; std::this_thread::sleep_for(5ms)) {
      bool pending = false;
      for (int i = 0; i < 400; ++i) {
        if (holders[i] < 0 || sent[i] == part.size()) continue;
        ssize_t n = ::send(holders[i], part.data() + sent[i], part.size() - sent[i], MSG_NOSIGNAL);
        if (n > 0) sent[i] += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN) holders[i] = -1;  // closed by the listener to make room
        pending |= holders[i] >= 0 && sent[i] < part.size();
      }
      if (!pending) break;
    }
  });
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 60'000), 1);
  const std::int64_t rssCrowded = stress::rssKiB();
  const int threadsCrowded = threadCount();
  auto t0 = Clock::now();
  int hook = connectTo(path);
  EXPECT_TRUE(sendAll(hook, test::record("hook", 1)));
  EXPECT_TRUE(got.waitFor(1, 2s));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
  ::close(hook);
  ::kill(crowd, SIGKILL);
  ::waitpid(crowd, nullptr, 0);
  ::close(ready[0]), ::close(ready[1]);
  EXPECT_LT(took, stress::kSanitized ? 1000ms : 200ms);
  EXPECT_EQ(threadsCrowded, threads);
  if (!stress::kSanitized) EXPECT_LE(rssCrowded - rssBefore, 64 * 1024);
}

}  // namespace
}  // namespace gt
