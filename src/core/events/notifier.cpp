#include "core/events/notifier.h"

#include <string>
#include <utility>

namespace gt {

namespace {

constexpr std::string_view kCategory = "notifier";

std::string statusText(AuthorizationStatus status) { return std::to_string(static_cast<int>(status)); }

}  // namespace

Notifier::Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log)
    : center_(std::move(center)), log_(std::move(log)) {}

std::string Notifier::identifierFor(const AgentEvent& event) {
  return "glowticker-" + std::to_string(event.ts) + "-" + event.agent;
}

std::string Notifier::titleFor(const AgentEvent& event) { return event.agent + " \u00B7 " + event.title; }

void Notifier::notify(const AgentEvent& event) const {
  if (!center_) return;
  AuthorizationStatus status = center_->authorizationStatus();
  // Provisional delivery is allowed to post, unlike the check after requesting permission.
  if (status != AuthorizationStatus::authorized && status != AuthorizationStatus::provisional) {
    if (log_)
      log_->error(kLogSubsystem, kCategory,
                  "notify skipped (status=" + statusText(status) + "): " + event.title +
                      ". Enable in System Settings > Notifications > Glowticker");
    return;
  }
  NotificationRequest request{identifierFor(event), titleFor(event), event.message};
  if (auto err = center_->add(request); err && log_)
    log_->error(kLogSubsystem, kCategory, "notify add failed: " + *err);
}

void Notifier::requestPermission() const {
  if (!center_) return;
  AuthorizationAnswer answer = center_->requestAuthorization();
  if (log_) {
    if (answer.error)
      log_->error(kLogSubsystem, kCategory, "requestAuthorization failed: " + *answer.error);
    else
      log_->info(kLogSubsystem, kCategory,
                 std::string("requestAuthorization granted=") + (answer.granted ? "true" : "false"));
  }
  AuthorizationStatus status = center_->authorizationStatus();
  if (status != AuthorizationStatus::authorized && log_)
    log_->error(kLogSubsystem, kCategory,
                "notification authorizationStatus=" + statusText(status) +
                    "; notifications will be silently dropped. Enable in System Settings > Notifications > "
                    "Glowticker");
}

}  // namespace gt
