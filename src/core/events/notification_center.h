#pragma once
#include <functional>
#include <optional>
#include <string>

namespace gt {

struct NotificationRequest {
  std::string identifier;  // a later request with the same identifier replaces the shown one
  std::string title;
  std::string body;  // plain text, shown exactly as given
  // Offer the default action and the "打开终端" button, where the service shows actions.
  bool offerReturn = false;
  // The agent waits for the user: shown with critical urgency, so it stays until answered or taken down.
  bool waitsForUser = false;
};

// A notification the user clicked (its default action or its button). `activationToken` is the
// service's token for handing focus on, "" when it sent none.
using ActivationHandler = std::function<void(const std::string& identifier, const std::string& activationToken)>;

// The desktop's notification service. Implementations are thread-safe and every call is bounded.
class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;
  // Whether a notification service is there to show notifications: nullopt when one answers, else why
  // not. There is no permission to ask for: a service that answers takes our notifications.
  virtual std::optional<std::string> checkService() = 0;
  // nullopt on success, else the error's description.
  virtual std::optional<std::string> add(const NotificationRequest& request) = 0;
  // Takes down the notification of that identifier if it is still shown. nullopt when it is gone (or
  // never was), else the error's description.
  virtual std::optional<std::string> close(const std::string& /*identifier*/) { return std::nullopt; }
  // Called on a thread of the center's own for each click; must return quickly. Once this returns, the
  // previous handler is not running and is never called again. An empty handler stops the calls.
  virtual void setActivationHandler(ActivationHandler /*handler*/) {}
};

}  // namespace gt
