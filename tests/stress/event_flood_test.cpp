#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <atomic>
#include <random>
#include <set>

#include "support/event_support.h"
#include "support/process.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using test::connectTo, test::sendAll;
// Sanitized builds are slower: a tenth of the senders (fewer records each would crowd the over-long ones).
constexpr int kConnections = test::kSanitized ? 20 : 200, kRecordsPerConnection = 5000, kHooks = 1000;
constexpr std::size_t kNearLimit = EventListener::kMaxPendingBytes - 200;

std::string line(int conn, int seq, std::size_t messageBytes = 8) {
  return encodeAgentEvent({"flood", "c" + std::to_string(conn), "s", "T", std::string(messageBytes, 'x'), "p", seq}) +
         "\n";
}

// Good records (some CRLF), bad lines, one over-long and (connection 0) one just inside the bound, in random pieces.
bool runClient(const std::string& path, int conn) {
  int fd = connectTo(path);
  std::mt19937 rng(static_cast<unsigned>(conn) * 7919u + 1);
  std::string out;
  bool ok = fd >= 0;
  const int longAt = static_cast<int>(rng() % kRecordsPerConnection);
  for (int seq = 0; seq < kRecordsPerConnection && ok; ++seq) {
    if (seq % 97 == 13) out += "{\"type\":\"broken\", \"ts\": \nnot json at all\n\n   \n[1,2]\n";
    if (seq == longAt) out += line(conn, -1, EventListener::kMaxPendingBytes + 1000);
    if (seq == 1 && conn == 0) out += line(conn, -2, kNearLimit);
    out += line(conn, seq);
    if (seq % 101 == 50) out.insert(out.size() - 1, "\r");
    if (seq + 1 == kRecordsPerConnection) out += line(conn, seq + 1), out.pop_back();  // never whole
    for (std::size_t n; ok && (out.size() > 8192 || seq + 1 == kRecordsPerConnection) && !out.empty(); out.erase(0, n)) {
      n = std::min<std::size_t>(out.size(), rng() % 4096 + 1);
      ok = sendAll(fd, std::string_view(out).substr(0, n));
    }
  }
  if (fd >= 0) ::close(fd);
  return ok;
}

int threadCount() { return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {})); }

TEST(EventFlood, EveryGoodRecordOnceInOrderWithBoundedMemoryAndNoLeaks) {
  test::TempDir dir;
  const int fdsBefore = test::openFdCount();
  const std::string path = dir.file("home/run/events.sock");
  // Forked before the listener has a thread (a TSan child of a threaded parent may not start threads).
  int go[2];
  ASSERT_EQ(::pipe(go), 0);
  pid_t clients = ::fork();
  if (clients == 0) {
    char c;
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::read(go[0], &c, 1) != 1) ::_exit(2);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kConnections; ++i) threads.emplace_back([&, i] { failures += !runClient(path, i); });
    for (auto& t : threads) t.join();
    ::_exit(failures ? 1 : 0);
  }
  std::mutex lock;
  std::vector<std::vector<std::int64_t>> got(kConnections);
  std::atomic<long> delivered{0}, strays{0}, nearLimit{0};
  EventListener listener(path);
  ASSERT_TRUE(listener.start([&](AgentEvent ev) {
    if (ev.agent == "c0" && ev.ts == -2 && ev.message == std::string(kNearLimit, 'x')) return void(++nearLimit);
    int conn = ev.agent.size() > 1 && ev.agent[0] == 'c' ? std::atoi(ev.agent.c_str() + 1) : -1;
    if (ev.type != "flood" || conn < 0 || conn >= kConnections || ev.message.size() != 8) return void(++strays);
    std::lock_guard<std::mutex> g(lock);
    got[conn].push_back(ev.ts);
    ++delivered;
  }));
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak resident size counts from here
  const std::int64_t rssBefore = test::memoryKiB("VmRSS");
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  const long total = static_cast<long>(kConnections) * kRecordsPerConnection;
  bool all = test::waitUntil([&] { return delivered.load() >= total; }, 300s);
  const std::int64_t rssPeak = test::memoryKiB("VmHWM");
  int status = -1;
  if (!test::waitUntil([&] { return ::waitpid(clients, &status, WNOHANG) == clients; }, 10s))
    ::kill(clients, SIGKILL), ::waitpid(clients, &status, 0);
  EXPECT_EQ(status, 0) << "clients failed";
  ::close(go[0]), ::close(go[1]);

  EXPECT_TRUE(all) << delivered.load() << " of " << total << " delivered";
  EXPECT_EQ(strays.load(), 0) << "malformed or over-long records were delivered";
  EXPECT_EQ(nearLimit.load(), 1);
  for (int c = 0; c < kConnections; ++c) {
    ASSERT_EQ(got[c].size(), static_cast<std::size_t>(kRecordsPerConnection)) << "connection " << c;
    for (int i = 0; i < kRecordsPerConnection; ++i) ASSERT_EQ(got[c][i], i) << "connection " << c;
  }
  if (!test::kSanitized) EXPECT_LT(rssPeak - rssBefore, 128 * 1024);
  // The clients gone: only the listening socket, its poller and its wake-up remain.
  EXPECT_TRUE(test::waitUntil([&] { return test::openFdCount() <= fdsBefore + 3; }, 10s));
  listener.stop();
  EXPECT_EQ(test::openFdCount(), fdsBefore);
}

// 1,100 idle connections and 400 each holding most of a 1 MiB record, opened by a child process.
TEST(EventFlood, AHookGetsPastIdleAndHalfRecordCrowdsWithBoundedMemoryAndThreads) {
  test::TempDir dir;
  const std::string path = dir.file("home/run/events.sock");
  test::Collector got;
  const std::int64_t rssBefore = test::memoryKiB("VmRSS");
  // Only the limits, not idle time, can make room for the hook.
  EventListener listener(path, nullptr, {.idle = 10min});
  ASSERT_TRUE(listener.start(got.callback()));
  const int threads = threadCount();
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t crowd = ::fork();
  if (crowd == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::vector<int> idle, holders;
    for (int i = 0; i < 1100; ++i) idle.push_back(connectTo(path));
    const std::string part(EventListener::kMaxPendingBytes - 4096, 'h');
    std::vector<std::size_t> sent(400, 0);
    for (int i = 0; i < 400; ++i) {
      holders.push_back(connectTo(path));
      if (holders.back() >= 0) ::fcntl(holders.back(), F_SETFL, O_NONBLOCK);
    }
    for (auto end = std::chrono::steady_clock::now() + 8s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      bool pending = false;
      for (int i = 0; i < 400; ++i) {
        if (holders[i] < 0 || sent[i] == part.size()) continue;
        ssize_t n = ::send(holders[i], part.data() + sent[i], part.size() - sent[i], MSG_NOSIGNAL);
        if (n > 0) sent[i] += static_cast<std::size_t>(n);
        if (n < 0 && errno != EAGAIN) holders[i] = -1;  // closed to make room
        pending |= holders[i] >= 0 && sent[i] < part.size();
      }
      if (!pending) break;
    }
    (void)!::write(ready[1], "r", 1);
    ::pause();
  }
  pollfd p{ready[0], POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 60'000), 1);
  const std::int64_t rssCrowded = test::memoryKiB("VmRSS");
  const int threadsCrowded = threadCount();
  int hook = connectTo(path);
  EXPECT_TRUE(sendAll(hook, test::record("hook", 1)));
  EXPECT_TRUE(got.waitFor(1, 60s));
  ::close(hook);
  ::kill(crowd, SIGKILL);
  ::waitpid(crowd, nullptr, 0);
  ::close(ready[0]), ::close(ready[1]);
  EXPECT_EQ(threadsCrowded, threads);
  if (!test::kSanitized) EXPECT_LE(rssCrowded - rssBefore, 64 * 1024);
}

// A thousand hook processes at once against one listener: every one exits 0 and every event arrives once.
TEST(HookStorm, ThousandHooksAtOnceAllExitZeroAndEveryEventArrives) {
#ifdef __SANITIZE_THREAD__
  GTEST_SKIP() << "a TSan-built hook needs about a second to start, far past its own 180 ms send budget";
#endif
  test::TempDir home;
  test::Collector got;
  EventListener listener(home.file(".glowticker/run/events.sock"));
  ASSERT_TRUE(listener.start(got.callback()));
  // Sanitized hooks start ten times slower: waves give each the CPU its send budget assumes.
  const std::string wave = std::to_string(test::kSanitized ? 8 : kHooks), hook = GT_HOOK_EXE " --agent codex ";
  auto storm = test::runShell("export HOME=" + home.path().string() + "; i=0; while [ $i -lt " + std::to_string(kHooks) +
                                  " ]; do [ $((i % " + wave + ")) -ne 0 ] || wait; " + hook +
                                  R"("{\"type\":\"agent-turn-complete\",\"last-assistant-message\":\"storm $i\"}")" +
                                  " </dev/null >/dev/null || echo failed & i=$((i + 1)); done; wait",
                              home.path(), 300);
  EXPECT_EQ(std::tuple(storm.status, storm.out), std::tuple(0, "")) << storm.err;
  EXPECT_TRUE(got.waitFor(kHooks, 10s)) << got.events().size() << " of " << kHooks << " arrived";
  std::set<std::string> seen;
  for (const auto& ev : got.events()) seen.insert(ev.message);
  EXPECT_EQ(std::pair(seen.size(), got.events().size()), (std::pair<std::size_t, std::size_t>(kHooks, kHooks)));
}

}  // namespace
}  // namespace gt
