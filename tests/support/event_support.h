#pragma once
// Socket clients, an event collector, an in-memory log and a stand-in for bringing a terminal back.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/common/log.h"
#include "core/events/agent_event.h"
#include "core/events/agent_return.h"
#include "core/events/event_listener.h"

namespace gt::test {

inline sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  return addr;
}

// A connected stream socket, or -1. A full backlog refuses with EAGAIN; that is retried, as a hook does.
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

// A socket file as a crashed run leaves it: bound, then closed without unlink.
inline bool leaveStaleSocket(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr = unixAddress(path);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
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

// A list that threads append to; readers get a copy or wait, bounded, for a length.
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

// Log entries kept in memory, for counting what was said.
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
