// Takes agents' events on SOCKET as the app does and, for each, brings its terminal back as a click on
// its notification does, printing whether the terminal was in front before and after. Used by the
// desktop end-to-end script; stops after COUNT events or 30 s without one.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>

#include "core/events/event_listener.h"
#include "core/events/terminal_return.h"
#include "platform/window_systems.h"

int main(int argc, char** argv) {
  if (argc != 3) return std::fputs("usage: terminal_return_probe SOCKET COUNT\n", stderr), 2;
  gt::WindowSystemChoice choice = gt::chooseWindowSystem();
  gt::TerminalReturn back(choice.windows, choice.why);
  std::mutex m;
  std::condition_variable cv;
  std::deque<gt::AgentEvent> events;
  gt::EventListener listener(argv[1]);
  if (auto problem = listener.start([&](gt::AgentEvent e) {
        std::lock_guard<std::mutex> g(m);
        events.push_back(std::move(e));
        cv.notify_one();
      }))
    return std::fprintf(stderr, "cannot listen: %s\n", problem->c_str()), 1;
  std::puts("ready");
  std::fflush(stdout);
  for (int n = std::atoi(argv[2]); n > 0; --n) {
    std::unique_lock<std::mutex> lock(m);
    if (!cv.wait_for(lock, std::chrono::seconds(30), [&] { return !events.empty(); })) return 1;
    gt::AgentEvent e = std::move(events.front());
    events.pop_front();
    lock.unlock();
    std::printf("event %s\n", gt::encodeAgentEvent(e).c_str());
    std::printf("in front before: %d\n", back.inFront(e));
    std::printf("brought back: %s\n", back.bringBack(e, "").c_str());
    std::printf("in front after: %d\n", back.inFront(e));
    std::fflush(stdout);
  }
  return 0;
}
