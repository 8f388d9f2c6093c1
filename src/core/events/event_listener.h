#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "core/common/log.h"
#include "core/common/result.h"
#include "core/events/agent_event.h"

namespace gt {

// What a crowd of clients may hold. At a limit the connection idle the longest is closed, so a new
// hook always gets in.
// Why the listener is not listening; the detail is one line for the user.
enum class ListenProblem {
  badPath,    // empty, too long for a socket address, or holding a NUL
  unsafeDir,  // a folder on the way is not the user's own private one
  inUse,      // another program listens on the path (a second copy of the app, say)
  system,     // the system refused a socket, bind, listen or thread
};

struct EventListenerLimits {
  std::size_t connections = 256;
  std::size_t pendingBytes = 32u << 20;  // partial records of all connections together
  std::chrono::milliseconds idle{30'000};
};

// Unix-domain stream socket server: one JSON record per line from any number of agent hooks of the
// same user. One thread serves every connection: it cuts and decodes the records and calls the callback
// with each, one at a time, in the order each connection sent them.
class EventListener {
 public:
  using Callback = std::function<void(AgentEvent)>;

  static constexpr std::size_t kMaxPathBytes = 103;         // sun_path of 104 bytes less the NUL, on every platform
  static constexpr std::size_t kMaxPendingBytes = 1 << 20;  // a longer record is skipped to its line feed

  using Limits = EventListenerLimits;

  // `log`, when given, hears why a start failed and about refused peers (category "listener").
  explicit EventListener(std::string socketPath, std::shared_ptr<Log> log = nullptr, Limits limits = {});
  ~EventListener();
  EventListener(const EventListener&) = delete;
  EventListener& operator=(const EventListener&) = delete;

  const std::string& socketPath() const;

  // Makes the socket's directory and the one holding it private (0700, the user's own, no symbolic
  // link), replaces a stale socket, binds (0600) and listens on the caller's thread. Never takes the path from a live
  // listener. While running it only checks that the socket file is still the one it bound; one removed (with its
  // folder, say) or replaced is bound again the same way, and the connections and the first callback stay.
  Result<void, Problem<ListenProblem>> start(Callback onEvent);
  // Closes every connection and waits at most 2 s for a callback in progress; removes the socket
  // file only if it is still the one this listener bound.
  void stop();
  bool isRunning() const;

 private:
  struct Run;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace gt
