// Event-to-notification latency: from the write of one record on the event socket to the return of
// the Notify call it causes, through the real listener, notifier and freedesktop adapter. The same
// run also measures the intake alone (a center that does nothing) as the baseline, so the D-Bus
// share shows as a ratio. Needs a session bus with a notification server (notify_latency.sh makes
// a private one with gt-notify-sink).
// Usage: gt-bench-notify-latency [EVENTS]   prints p50/p90/p99 in microseconds for both paths.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/events/agent_event.h"
#include "core/events/event_listener.h"
#include "core/events/notifier.h"
#include "platform/desktop_notification_center.h"

namespace {

using Clock = std::chrono::steady_clock;

class QuietLog : public gt::Log {
 public:
  void error(std::string_view, std::string_view, std::string_view text) override {
    std::fprintf(stderr, "notifier error: %.*s\n", static_cast<int>(text.size()), text.data());
  }
  void info(std::string_view, std::string_view, std::string_view) override {}
};

class NullCenter : public gt::NotificationCenter {
 public:
  gt::NotifyResult checkService() override { return {}; }
  gt::NotifyResult add(const gt::NotificationRequest&) override { return {}; }
};

// Passes every call through and marks the moment each Notify has been answered.
class TimedCenter : public gt::NotificationCenter {
 public:
  explicit TimedCenter(std::shared_ptr<gt::NotificationCenter> inner) : inner_(std::move(inner)) {}
  gt::NotifyResult checkService() override { return inner_->checkService(); }
  gt::NotifyResult add(const gt::NotificationRequest& r) override {
    auto result = inner_->add(r);
    std::lock_guard<std::mutex> g(lock);
    done = Clock::now();
    ok = result.ok();
    ++count;
    changed.notify_all();
    return result;
  }
  std::mutex lock;
  std::condition_variable changed;
  Clock::time_point done;
  bool ok = false;
  long count = 0;

 private:
  std::shared_ptr<gt::NotificationCenter> inner_;
};

double pct(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p / 100.0 * static_cast<double>(v.size())))];
}

// Sends `events` records one at a time on one connection, each after the previous was notified.
std::vector<double> measure(std::shared_ptr<gt::NotificationCenter> inner, int events, const std::string& sock) {
  auto center = std::make_shared<TimedCenter>(std::move(inner));
  gt::Notifier notifier(center, std::make_shared<QuietLog>());
  notifier.requestPermission();
  gt::EventListener listener(sock);
  // As the app does it: the listener hands the event to the notifier's own queue.
  if (auto started = listener.start([&](gt::AgentEvent ev) { notifier.post(std::move(ev)); }); !started) {
    std::fprintf(stderr, "could not listen on %s: %s\n", sock.c_str(), started.error().detail.c_str());
    std::exit(1);
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  std::vector<double> us;
  for (int i = 0; i < events; ++i) {
    std::string line =
        gt::encodeAgentEvent({"bench", "claude", "done", "任务完成", "latency " + std::to_string(i), "bench", i}) +
        "\n";
    std::unique_lock<std::mutex> g(center->lock);
    long before = center->count;
    auto t0 = Clock::now();
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size())) std::exit(1);
    if (!center->changed.wait_for(g, std::chrono::seconds(5), [&] { return center->count > before; }) || !center->ok) {
      std::fprintf(stderr, "event %d was not notified within 5 s\n", i);
      std::exit(1);
    }
    us.push_back(std::chrono::duration<double, std::micro>(center->done - t0).count());
  }
  ::close(fd);
  listener.stop();
  return us;
}

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::atoi(argv[1]) : 2000;
  char dir[] = "/tmp/gt-latency-XXXXXX";
  if (!::mkdtemp(dir)) return 1;
  const std::string sock = std::string(dir) + "/run/events.sock";
  auto base = measure(std::make_shared<NullCenter>(), events, sock);
  auto full = measure(gt::makeDesktopNotificationCenter(), events, sock);
  std::filesystem::remove_all(dir);
  std::printf("%-34s %10s %10s %10s\n", "path (microseconds)", "p50", "p90", "p99");
  std::printf("%-34s %10.1f %10.1f %10.1f\n", "socket write -> notifier (no bus)", pct(base, 50), pct(base, 90),
              pct(base, 99));
  std::printf("%-34s %10.1f %10.1f %10.1f\n", "socket write -> Notify answered", pct(full, 50), pct(full, 90),
              pct(full, 99));
  std::printf("ratio p50 %.1fx, p99 %.1fx (%d events each)\n", pct(full, 50) / pct(base, 50),
              pct(full, 99) / pct(base, 99), events);
  return 0;
}
