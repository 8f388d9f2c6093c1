// Many agents at once, some of them broken or hostile: the listener must deliver every good record
// once and in order per connection, keep its memory bounded and leave no descriptor behind.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "core/events/agent_event.h"
#include "core/events/event_listener.h"
#include "stress_support.h"

namespace gt {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr int kConnections = 200;
constexpr int kRecordsPerConnection = 5000;

int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  // The backlog is small; a refused connect under load is retried, as a hook does.
  for (int attempt = 0; attempt < 2000; ++attempt) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (errno != EAGAIN && errno != EINTR) break;
    std::this_thread::sleep_for(1ms);
  }
  ::close(fd);
  return -1;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

AgentEvent record(int conn, int seq) {
  return AgentEvent{"flood", "c" + std::to_string(conn), "s", "T", "message " + std::to_string(seq), "p", seq};
}

// One client: its good records interleaved with malformed lines, one record too long to accept,
// all written in randomly split pieces.
bool runClient(const std::string& path, int conn) {
  int fd = connectTo(path);
  if (fd < 0) return false;
  std::mt19937 rng(static_cast<unsigned>(conn) * 7919u + 1);
  std::uniform_int_distribution<int> piece(1, 4096);
  std::string out;
  bool ok = true;
  auto flush = [&](bool all) {
    while (ok && (all ? !out.empty() : out.size() > 8192)) {
      std::size_t n = std::min<std::size_t>(out.size(), static_cast<std::size_t>(piece(rng)));
      ok = writeAll(fd, std::string_view(out).substr(0, n));
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
    if (seq == longAt) {
      // Decodable, but longer than any record the listener takes: it must be dropped whole.
      AgentEvent huge = record(conn, -1);
      huge.message.assign(EventListener::kMaxPendingBytes + 1000, 'x');
      out += encodeAgentEvent(huge) + "\n";
    }
    out += encodeAgentEvent(record(conn, seq)) + "\n";
    flush(false);
  }
  flush(true);
  ::close(fd);
  return ok;
}

TEST(EventFlood, EveryGoodRecordOnceAndInOrderWithBoundedMemoryAndNoLeaks) {
  stress::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const int fdsBefore = stress::openFdCount();
  const std::string path = (dir.path() / "events.sock").string();

  // The clients run in a child of their own, started before the listener has any thread, so that
  // the resident memory measured here is the listener's alone.
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
    for (int i = 0; i < kConnections; ++i)
      clients.emplace_back([&, i] {
        if (!runClient(path, i)) ++failures;
      });
    for (auto& t : clients) t.join();
    ::_exit(std::min(failures.load(), 250));
  }
  ::close(go[0]);

  std::vector<std::mutex> locks(kConnections);
  std::vector<std::vector<std::int64_t>> got(kConnections);
  std::atomic<long> delivered{0}, strays{0};
  EventListener listener(path);
  listener.start([&](AgentEvent ev) {
    int conn = ev.agent.size() > 1 && ev.agent[0] == 'c' ? std::atoi(ev.agent.c_str() + 1) : -1;
    if (ev.type != "flood" || conn < 0 || conn >= kConnections) {
      ++strays;
      return;
    }
    std::lock_guard<std::mutex> g(locks[conn]);
    got[conn].push_back(ev.ts);
    ++delivered;
  });
  ASSERT_TRUE(listener.isRunning());

  const std::int64_t rssBefore = stress::rssKiB();
  std::atomic<std::int64_t> rssPeak{rssBefore};
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    while (sampling) {
      std::int64_t now = stress::rssKiB();
      std::int64_t seen = rssPeak.load();
      while (now > seen && !rssPeak.compare_exchange_weak(seen, now)) {
      }
      std::this_thread::sleep_for(10ms);
    }
  });

  auto t0 = Clock::now();
  ASSERT_EQ(::write(go[1], "g", 1), 1);
  ::close(go[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(clientsPid, &status, 0), clientsPid);
  const int clientFailures = WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  const long total = static_cast<long>(kConnections) * kRecordsPerConnection;
  bool all = stress::waitFor([&] { return delivered.load() >= total; }, 120s);
  auto elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
  sampling = false;
  sampler.join();

  EXPECT_EQ(clientFailures, 0);
  EXPECT_TRUE(all) << delivered.load() << " of " << total << " delivered";
  EXPECT_EQ(strays.load(), 0) << "malformed, fractional or over-long records were delivered";
  for (int c = 0; c < kConnections; ++c) {
    std::lock_guard<std::mutex> g(locks[c]);
    ASSERT_EQ(got[c].size(), static_cast<std::size_t>(kRecordsPerConnection)) << "connection " << c;
    for (int i = 0; i < kRecordsPerConnection; ++i) ASSERT_EQ(got[c][i], i) << "connection " << c;
  }
  // Each reader holds at most one pending record (1 MiB, doubled by string growth), its 64 KiB read
  // buffer and its stack; anything beyond that per connection would be a leak or an unbounded buffer.
  const std::int64_t growthKiB = rssPeak.load() - rssBefore;
  const std::int64_t boundKiB = kConnections * (2 * 1024 + 64 + 128) + 64 * 1024;
  if (!stress::kSanitized) {
    EXPECT_LT(growthKiB, boundKiB);
  }
  std::printf("flood: %ld records over %d connections in %.2f s (%.0f records/s); RSS growth peak %lld KiB\n", total,
              kConnections, elapsed, total / elapsed, static_cast<long long>(growthKiB));

  // The readers close their connections once the clients have gone.
  EXPECT_TRUE(stress::waitFor([&] { return stress::openFdCount() <= fdsBefore + 1; }, 10s))
      << stress::openFdCount() - fdsBefore << " descriptors above the listening socket remain";

  auto s0 = Clock::now();
  listener.stop();
  EXPECT_LT(Clock::now() - s0, 2500ms);
  EXPECT_TRUE(stress::waitFor([&] { return stress::openFdCount() <= fdsBefore; }, 2s));
}

TEST(EventFlood, StopWithinItsBoundWhileEveryConnectionIsMidRecord) {
  stress::TempDir dir;
  ASSERT_TRUE(dir.ok());
  const int fdsBefore = stress::openFdCount();
  std::atomic<int> events{0};
  EventListener listener((dir.path() / "events.sock").string());
  listener.start([&](AgentEvent) { ++events; });
  ASSERT_TRUE(listener.isRunning());

  std::vector<int> fds;
  for (int c = 0; c < kConnections; ++c) {
    int fd = connectTo(listener.socketPath());
    ASSERT_GE(fd, 0);
    std::string line = encodeAgentEvent(record(c, 0)) + "\n";
    ASSERT_TRUE(writeAll(fd, line + line.substr(0, line.size() / 2)));  // one whole record, half of another
    fds.push_back(fd);
  }
  EXPECT_TRUE(stress::waitFor([&] { return events.load() == kConnections; }, 20s));

  auto s0 = Clock::now();
  listener.stop();
  auto took = Clock::now() - s0;
  EXPECT_LT(took, 2500ms) << "stop() took " << std::chrono::duration<double>(took).count() << " s";
  EXPECT_FALSE(listener.isRunning());
  // Every client sees its connection end.
  for (int fd : fds) {
    char c;
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    EXPECT_EQ(::recv(fd, &c, 1, 0), 0);
    ::close(fd);
  }
  EXPECT_EQ(events.load(), kConnections);
  EXPECT_TRUE(stress::waitFor([&] { return stress::openFdCount() <= fdsBefore; }, 2s))
      << stress::openFdCount() - fdsBefore << " descriptors leaked";
}

}  // namespace
}  // namespace gt
