#include "core/events/notifier.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace gt {

namespace {

constexpr std::string_view kCategory = "notifier";
// Here notifications are refused only when nothing serves them: there is no per-app switch to point at.
constexpr const char* kNoServiceHint =
    "No notification service answers on the session bus (org.freedesktop.Notifications); start the "
    "desktop's notification daemon (for example dunst or mako) and later events will show";

std::string statusText(AuthorizationStatus status) { return std::to_string(static_cast<int>(status)); }

}  // namespace

struct Notifier::Queue {
  std::mutex lock;
  std::condition_variable changed;
  std::deque<AgentEvent> waiting;
  std::size_t dropped = 0;  // since the queue last ran empty
  bool stopping = false;
  std::thread worker;
};

Notifier::Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log)
    : center_(std::move(center)), log_(std::move(log)), queue_(std::make_unique<Queue>()) {}

Notifier::~Notifier() {
  {
    std::lock_guard<std::mutex> g(queue_->lock);
    queue_->stopping = true;
    queue_->changed.notify_all();
  }
  if (queue_->worker.joinable()) queue_->worker.join();
}

void Notifier::post(AgentEvent event) {
  Queue& q = *queue_;
  std::lock_guard<std::mutex> g(q.lock);
  if (q.stopping) return;
  if (!q.worker.joinable()) {
    try {
      q.worker = std::thread([this] {
        Queue& q = *queue_;
        std::unique_lock<std::mutex> g(q.lock);
        for (;;) {
          q.changed.wait(g, [&] { return q.stopping || !q.waiting.empty(); });
          if (q.stopping) return;
          AgentEvent next = std::move(q.waiting.front());
          q.waiting.pop_front();
          std::size_t dropped = q.waiting.empty() ? std::exchange(q.dropped, 0) : 0;
          g.unlock();
          if (dropped && log_)
            log_->error(kLogSubsystem, kCategory,
                        "notification queue full: dropped the " + std::to_string(dropped) + " oldest events");
          notify(next);
          g.lock();
        }
      });
    } catch (...) {
      return;  // no thread to show it: the event is lost, the caller carries on
    }
  }
  if (q.waiting.size() >= kMaxWaiting) {
    q.waiting.pop_front();
    ++q.dropped;
  }
  q.waiting.push_back(std::move(event));
  q.changed.notify_all();
}

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
                  "notify skipped (status=" + statusText(status) + "): " + event.title + ". " + kNoServiceHint);
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
                    "; notifications will be silently dropped. " + kNoServiceHint);
}

}  // namespace gt
