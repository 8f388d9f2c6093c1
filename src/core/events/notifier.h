#pragma once
#include <chrono>
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
// Each session of an agent has notifications of its own: a session's newer event takes down its older
// notification, and a reminder (state "reminder": the agent repeating that it waits) is shown only when
// nothing of its session is still up. With an AgentReturn, clicking a notification brings back the
// agent's terminal, and the quiet switch holds back events whose terminal the user is looking at.
// Titles and bodies are cut to kMaxTitle and kMaxBody bytes; clicks keep no message.
//
// One worker thread, started on first use, does the notifier's slow work in order: clicks first (the
// user waits for them), then notifications. Each job is bounded by the notification service's and the
// terminal return's own limits, and the service remembers a server that did not answer, so a wedged
// one costs a single time-out.
class Notifier {
 public:
  static constexpr std::size_t kMaxWaiting = 256;      // notifications; on overflow the oldest are dropped
  static constexpr std::size_t kMaxClicksWaiting = 8;  // clicks; on overflow the oldest are dropped
  static constexpr std::size_t kRemembered = 256;      // events kept for clicks, and sessions kept for closing
  static constexpr std::size_t kMaxTitle = 200;        // bytes, the ellipsis included
  static constexpr std::size_t kMaxBody = 1000;        // bytes: a few lines of a notification, or of the panel

  // `agentReturn` may be null: then notifications offer no action.
  Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log,
           std::shared_ptr<AgentReturn> agentReturn = nullptr);
  ~Notifier();  // waits for the job in progress, if any (bounded by the center's calls); drops the rest
  Notifier(const Notifier&) = delete;
  Notifier& operator=(const Notifier&) = delete;

  // Queues the event for the worker and returns at once, so whoever posts never waits for the
  // notification service. Shown in posting order; at most kMaxWaiting wait, and on overflow the oldest
  // are dropped and their count logged once.
  void post(AgentEvent event);
  // Shows one notification now, on the caller's thread.
  void notify(const AgentEvent& event);
  // Takes no more events or clicks and gives the worker until `deadline` to show what waits; what is
  // left then is dropped and its count logged. False when a call to the service is still running.
  bool finish(std::chrono::steady_clock::time_point deadline);
  void requestPermission() const;
  // Queues bringing back the event's terminal for the worker, ahead of notifications; what was done is
  // logged. Does nothing without an AgentReturn.
  void bringBack(const AgentEvent& event, const std::string& activationToken = {});
  // "终端在前台时不提醒": when on, an event whose terminal is in front posts no notification.
  void setQuietWhenInFront(bool on);
  bool quietWhenInFront() const;

 private:
  struct Core;
  std::unique_ptr<Core> core_;
};

// `text` cut to at most `maxBytes` bytes at a character boundary (a whole grapheme cluster), with "…"
// in place of what is cut; unchanged when it fits.
std::string cutText(std::string text, std::size_t maxBytes);
// The event as notifications and the panel show it: title and message cut to the notifier's bounds.
AgentEvent shownPart(AgentEvent event);

}  // namespace gt
