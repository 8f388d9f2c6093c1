#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>

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

// The system log. Implementations are thread-safe.
class Log {
 public:
  virtual ~Log() = default;
  virtual void error(std::string_view subsystem, std::string_view category, std::string_view text) = 0;
  virtual void info(std::string_view subsystem, std::string_view category, std::string_view text) = 0;
};

inline constexpr std::string_view kLogSubsystem = "io.glowticker.desktop";

// Turns agent events into desktop notifications; never fails outward, logs under category "notifier".
class Notifier {
 public:
  Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log);
  void notify(const AgentEvent& event) const;
  void requestPermission() const;

  static std::string identifierFor(const AgentEvent& event);  // "glowticker-<ts>-<agent>"
  static std::string titleFor(const AgentEvent& event);       // agent + " · " + title

 private:
  std::shared_ptr<NotificationCenter> center_;
  std::shared_ptr<Log> log_;
};

}  // namespace gt
