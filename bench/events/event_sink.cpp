// gt-bench-event-sink: listens on ~/.glowticker/run/events.sock and counts records until SIGTERM,
// so the whole-process timing of `glowticker send` has something to talk to without the app.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "core/common/paths.h"
#include "core/events/event_listener.h"

int main() {
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  pthread_sigmask(SIG_BLOCK, &mask, nullptr);  // the listener's threads inherit the mask

  std::atomic<long> count{0};
  gt::EventListener listener(gt::eventSocketPath().string());
  if (auto started = listener.start([&](gt::AgentEvent) { count.fetch_add(1, std::memory_order_relaxed); }); !started) {
    std::fprintf(stderr, "gt-bench-event-sink: %s\n", started.error().detail.c_str());
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int sig = 0;
  sigwait(&mask, &sig);
  listener.stop();
  std::printf("%ld records\n", count.load());
  return 0;
}
