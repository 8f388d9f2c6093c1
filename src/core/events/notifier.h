#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/common/log.h"
#include "core/events/agent_event.h"
#include "core/events/agent_return.h"
#include "core/events/notification_center.h"

namespace gt {

// Turns agent events into desktop notifications; never fails outward, logs under category "notifier".
// With an AgentReturn, clicking a notification brings back the agent's terminal, a session's newer
// event takes down its older notification, and the quiet switch holds back events whose terminal the
// user is looking at.
class Notifier {
 public:
  static constexpr std::size_t kMaxWaiting = 256;
  static constexpr std::size_t kRemembered = 256;  // events kept for clicks, and sessions kept for closing

  // `agentReturn` may be null: then notifications offer no action.
  Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log,
           std::shared_ptr<AgentReturn> agentReturn = nullptr);
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
  // Brings back the event's terminal on the caller's thread (never the UI thread: it may take a while)
  // and logs what was done. Does nothing without an AgentReturn.
  void bringBack(const AgentEvent& event, const std::string& activationToken = {}) const;
  // "终端在前台时不提醒": when on, an event whose terminal is in front posts no notification.
  void setQuietWhenInFront(bool on);
  bool quietWhenInFront() const;

  static std::string identifierFor(const AgentEvent& event);  // "glowticker-<ts>-<agent>"
  static std::string titleFor(const AgentEvent& event);       // agent + " · " + title

 private:
  std::shared_ptr<NotificationCenter> center_;
  std::shared_ptr<Log> log_;
  std::shared_ptr<AgentReturn> return_;
  struct State;
  std::unique_ptr<State> state_;
  struct Queue;
  std::unique_ptr<Queue> queue_;
  std::unique_ptr<Queue> returns_;  // clicks, so a slow return holds up neither notifications nor the bus
};

}  // namespace gt
