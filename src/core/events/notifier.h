#pragma once
#include <cstddef>
#include <memory>
#include <optional>
#include <string>

#include "core/common/log.h"
#include "core/events/agent_event.h"

namespace gt {

// Authorization status as a notification service reports it.
enum class AuthorizationStatus : int { notDetermined = 0, denied = 1, authorized = 2, provisional = 3, ephemeral = 4 };

struct NotificationRequest {
  std::string identifier;  // a later request with the same identifier replaces the shown one
  std::string title;
  std::string body;        // plain text, shown exactly as given
};

struct AuthorizationAnswer {
  bool granted = false;
  std::optional<std::string> error;  // set when the request itself failed
};

// The desktop's notification service. Implementations are thread-safe and every call is bounded.
class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;
  virtual AuthorizationStatus authorizationStatus() = 0;
  virtual AuthorizationAnswer requestAuthorization() = 0;
  // nullopt on success, else the error's description.
  virtual std::optional<std::string> add(const NotificationRequest& request) = 0;
};

// Turns agent events into desktop notifications; never fails outward, logs under category "notifier".
class Notifier {
 public:
  static constexpr std::size_t kMaxWaiting = 256;

  Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log);
  ~Notifier();  // waits for the notification in progress, if any (bounded by the center's calls)
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Hands the event to this notifier's own worker thread and returns at once, so whoever posts never
  // waits for the notification service. Shown in posting order; at most kMaxWaiting wait, and on
  // overflow the oldest are dropped and their count logged once.
  void post(AgentEvent event);
  // Shows one notification now, on the caller's thread.
  void notify(const AgentEvent& event) const;
  void requestPermission() const;

  static std::string identifierFor(const AgentEvent& event);  // "glowticker-<ts>-<agent>"
  static std::string titleFor(const AgentEvent& event);       // agent + " · " + title

 private:
  std::shared_ptr<NotificationCenter> center_;
  std::shared_ptr<Log> log_;
  struct Queue;
  std::unique_ptr<Queue> queue_;
};

}  // namespace gt
