#pragma once
#include <functional>
#include <string>

#include "core/common/result.h"

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

// Why the notification service did not do what was asked; the detail is one line for the log.
enum class NotifyProblem {
  noService,  // no session bus, nobody owns the service's name, or the adapter could not start
  noAnswer,   // the service let a call time out: it counts as silent until it changes hands
  refused,    // the service answered with an error, or with something unreadable
};
using NotifyResult = Result<void, Problem<NotifyProblem>>;

// A notification the user clicked (its default action or its button). `activationToken` is the
// service's token for handing focus on, "" when it sent none.
using ActivationHandler = std::function<void(const std::string& identifier, const std::string& activationToken)>;

// The desktop's notification service. Implementations are thread-safe and every call is bounded.
class NotificationCenter {
 public:
  virtual ~NotificationCenter() = default;
  // Whether a notification service is there to show notifications. There is no permission to ask for:
  // a service that answers takes our notifications.
  virtual NotifyResult checkService() = 0;
  virtual NotifyResult add(const NotificationRequest& request) = 0;
  // Takes down the notification of that identifier if it is still shown; fine when it is gone (or never was).
  virtual NotifyResult close(const std::string& /*identifier*/) { return {}; }
  // Whether the notification of that identifier is still on screen as far as the service has told
  // (not closed by the user, by its expiry or by us).
  virtual bool isShown(const std::string& /*identifier*/) { return false; }
  // Called on a thread of the center's own for each click; must return quickly. Once this returns, the
  // previous handler is not running and is never called again. An empty handler stops the calls.
  virtual void setActivationHandler(ActivationHandler /*handler*/) {}
};

}  // namespace gt
