#pragma once
#include <string>

#include "core/events/agent_event.h"

namespace gt {

// Brings back the terminal an agent waits in (tmux pane, terminal window). Thread-safe; every call is
// bounded and never throws. Called off the UI thread.
class AgentReturn {
 public:
  virtual ~AgentReturn() = default;
  // Selects the agent's tmux pane and raises its terminal window where the desktop allows it.
  // `activationToken` is the notification server's token, "" when none. Returns one line for the log
  // saying what was done or why nothing could be.
  virtual std::string bringBack(const AgentEvent& event, const std::string& activationToken) = 0;
  // True only when known: the event's terminal window is the active window and, inside tmux, its pane
  // is the active pane of an attached client.
  virtual bool inFront(const AgentEvent& event) = 0;
};

}  // namespace gt
