#pragma once
// Socket clients, an event collector, an in-memory log, a stand-in terminal return, this process's resources.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/common/log.h"
#include "core/events/agent_event.h"
#include "core/events/agent_return.h"
#include "core/events/event_listener.h"
#include "support/test_files.h"

namespace gt::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif

// Open descriptors of this process, less the one the listing itself holds.
inline int openFdCount() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {})) - 1;
}

// A size in /proc/self/status in KiB ("VmRSS" now, "VmHWM" the peak since start or a "5" to clear_refs).
inline std::int64_t memoryKiB(std::string_view key) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.starts_with(key) && line[key.size()] == ':') return std::atoll(line.c_str() + key.size() + 1);
  return 0;
}

// Polls `done` until it holds (true) or the time is up (false).
template <class Pred>
bool waitUntil(Pred done, std::chrono::milliseconds limit) {
  for (auto end = std::chrono::steady_clock::now() + limit; !done(); std::this_thread::sleep_for(limit / 1000))
    if (std::chrono::steady_clock::now() >= end) return false;
  return true;
}

inline sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

// A connected stream socket, or -1; a full backlog (EAGAIN) is retried, as a hook does.
inline int connectTo(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr = unixAddress(path);
  for (int attempt = 0; fd >= 0 && attempt < 2000; ++attempt) {
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return fd;
    if (errno != EAGAIN && errno != EINTR) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (fd >= 0) ::close(fd);
  return -1;
}

inline bool sendAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

inline std::string record(const std::string& agent, std::int64_t ts, const std::string& message = "m") {
  return encodeAgentEvent(AgentEvent{"t", agent, "s", "title", message, "p", ts}) + "\n";
}

template <typename T>
class SharedList {
 public:
  void push(T v) {
    std::lock_guard g(m_);
    v_.push_back(std::move(v));
    cv_.notify_all();
  }
  std::vector<T> get() {
    std::lock_guard g(m_);
    return v_;
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock g(m_);
    return cv_.wait_for(g, limit, [&] { return v_.size() >= n; });
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  std::vector<T> v_;
};

class MemoryLog : public Log, SharedList<std::string> {
 public:
  void error(std::string_view, std::string_view, std::string_view text) override { push(std::string(text)); }
  void info(std::string_view, std::string_view, std::string_view text) override { push(std::string(text)); }
  std::vector<std::string> lines() { return get(); }
  std::size_t count(std::string_view part) {
    return std::ranges::count_if(lines(), [&](auto& l) { return l.find(part) != std::string::npos; });
  }
};

class Collector : public SharedList<AgentEvent> {
 public:
  EventListener::Callback callback() {
    return [this](AgentEvent ev) { push(std::move(ev)); };
  }
  std::vector<AgentEvent> events() { return get(); }
};

// Brings back nothing; records what it was asked. Only tmux pane %1's terminal is in front.
struct FakeReturn : AgentReturn, SharedList<std::pair<AgentEvent, std::string>> {
  std::string bringBack(const AgentEvent& event, const std::string& token) override {
    push({event, token});
    return "brought back " + event.title;
  }
  bool inFront(const AgentEvent& event) override { return event.origin && event.origin->tmuxPane == "%1"; }
  std::vector<std::pair<AgentEvent, std::string>> calls() { return get(); }
};

}  // namespace gt::test
