// Event intake throughput: records written to a real Unix socket, cut, decoded and handed to the
// callback, over one connection and over sixteen at once.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/events/agent_event.h"
#include "core/events/event_listener.h"

namespace {

constexpr int kRecordsPerRound = 20000;

// A listener in a scratch directory whose callback counts records and wakes the benchmark once a
// round's worth has arrived.
class Rig {
 public:
  Rig() {
    char tmpl[] = "/tmp/gtbench-XXXXXX";
    dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
    listener_ = std::make_unique<gt::EventListener>(dir_ + "/run/ev.sock");
    started_ = listener_->start([this](gt::AgentEvent ev) {
      benchmark::DoNotOptimize(ev.ts);
      if (count_.fetch_add(1, std::memory_order_relaxed) + 1 == target_.load(std::memory_order_relaxed)) {
        std::lock_guard<std::mutex> g(m_);
        cv_.notify_all();
      }
    });
  }
  ~Rig() {
    listener_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  bool running() const { return started_.ok(); }
  int connect() const {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, listener_->socketPath().c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      ::close(fd);
      return -1;
    }
    return fd;
  }
  void expect(long n) { target_.store(count_.load() + n); }
  bool wait() {
    std::unique_lock<std::mutex> g(m_);
    return cv_.wait_for(g, std::chrono::seconds(10), [&] { return count_.load() >= target_.load(); });
  }

 private:
  std::string dir_;
  std::unique_ptr<gt::EventListener> listener_;
  gt::Result<void, gt::Problem<gt::ListenProblem>> started_;
  std::atomic<long> count_{0}, target_{-1};
  std::mutex m_;
  std::condition_variable cv_;
};

std::string batch(int records, int conn) {
  std::string out;
  for (int i = 0; i < records; ++i)
    out += gt::encodeAgentEvent({"stop", "claude", "idle", "Build finished " + std::to_string(conn),
                                 "All tests passed in the demo project", "demo", 1733390000000 + i}) +
           "\n";
  return out;
}

// CPU seconds used by the whole process (writers, readers, decoding): on a shared machine the
// wall-clock rate depends on the neighbours, this figure much less.
double processCpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

bool writeAll(int fd, const std::string& data) {
  std::size_t off = 0;
  while (off < data.size()) {
    ssize_t n = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<std::size_t>(n);
  }
  return true;
}

void BM_IntakeConnections(benchmark::State& state) {
  const int conns = static_cast<int>(state.range(0));
  const int each = kRecordsPerRound / conns;
  Rig rig;
  if (!rig.running()) return state.SkipWithError("listener did not start");
  std::vector<int> fds;
  std::vector<std::string> data;
  for (int c = 0; c < conns; ++c) {
    fds.push_back(rig.connect());
    if (fds.back() < 0) return state.SkipWithError("connect failed");
    data.push_back(batch(each, c));
  }
  const double cpu0 = processCpuSeconds();
  for (auto _ : state) {
    rig.expect(static_cast<long>(each) * conns);
    if (conns == 1) {
      writeAll(fds[0], data[0]);
    } else {
      std::vector<std::thread> writers;
      for (int c = 0; c < conns; ++c) writers.emplace_back([&, c] { writeAll(fds[c], data[c]); });
      for (auto& t : writers) t.join();
    }
    if (!rig.wait()) return state.SkipWithError("records went missing");
  }
  const double cpu = processCpuSeconds() - cpu0;
  for (int fd : fds) ::close(fd);
  if (cpu > 0) state.counters["records_per_cpu_s"] = static_cast<double>(state.iterations()) * each * conns / cpu;
  state.SetItemsProcessed(state.iterations() * each * conns);
  state.SetBytesProcessed(state.iterations() * static_cast<long>(data[0].size()) * conns);
}
BENCHMARK(BM_IntakeConnections)->Arg(1)->Arg(16)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_DecodeAgentEvent(benchmark::State& state) {
  const std::string line = gt::encodeAgentEvent(
      {"stop", "claude", "idle", "Build finished", "All tests passed in the demo project", "demo", 1733390000000});
  for (auto _ : state) benchmark::DoNotOptimize(gt::decodeAgentEvent(line));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecodeAgentEvent);

}  // namespace

BENCHMARK_MAIN();
