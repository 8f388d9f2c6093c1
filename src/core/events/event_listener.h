#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "core/events/agent_event.h"

namespace gt {

// Unix-domain stream socket server: one JSON record per line from any number of agent hooks, each
// decoded record handed to the callback on that connection's reader thread. Silent on every failure.
class EventListener {
 public:
  using Callback = std::function<void(AgentEvent)>;

  static constexpr std::size_t kMaxPathBytes = 103;       // sun_path of 104 bytes less the NUL, on every platform
  static constexpr int kBacklog = 8;
  static constexpr std::size_t kReadChunk = 65536;
  static constexpr std::size_t kMaxPendingBytes = 1 << 20;  // a longer record is skipped to its line feed

  explicit EventListener(std::string socketPath);
  ~EventListener();
  EventListener(const EventListener&) = delete;
  EventListener& operator=(const EventListener&) = delete;

  const std::string& socketPath() const;

  // Creates the parent directory, replaces any file at the path, binds and listens on the caller's
  // thread; accepting and reading run on background threads. Does nothing while running.
  void start(Callback onEvent);
  // Tears everything down, waiting at most 2 s for the accept loop; removes the socket file.
  void stop();
  bool isRunning() const;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace gt
