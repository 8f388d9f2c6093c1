#pragma once
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/events/agent_return.h"
#include "core/events/window_system.h"

namespace gt {

// Brings back an agent's terminal from what its hook saw (EventOrigin): inside tmux it selects the
// agent's window and pane on that tmux server (and switches a client to the session when none shows
// it), then raises the terminal window through the desktop's WindowSystem. For an agent inside tmux
// that terminal is the one running a tmux client attached to the agent's session, found from the
// client's process and its ancestors; otherwise it is the hook's own ancestors or $WINDOWID.
// `tmux` runs as argv (never through a shell), each run bounded.
class TerminalReturn : public AgentReturn {
 public:
  struct Options {
    std::string tmuxProgram = "tmux";
    std::chrono::milliseconds tmuxLimit{1500};
  };
  // `windows` is null where no window system applies; `noWindows` then says why, for the log.
  TerminalReturn(std::shared_ptr<WindowSystem> windows, std::string noWindows, Options options);
  TerminalReturn(std::shared_ptr<WindowSystem> windows, std::string noWindows)
      : TerminalReturn(std::move(windows), std::move(noWindows), Options{}) {}

  std::string bringBack(const AgentEvent& event, const std::string& activationToken) override;
  bool inFront(const AgentEvent& event) override;

 private:
  struct Pane {
    std::string session;  // the session id, "$N"
    bool attached = false;
    bool active = false;  // the active pane of its session's active window
  };
  std::vector<std::string> tmux(const EventOrigin& origin) const;  // the command up to its subcommand
  std::optional<Pane> findPane(const EventOrigin& origin, std::string& why) const;
  // The pids of the tmux clients attached to `session` with their ancestors, most recently active first.
  std::vector<std::int64_t> clientChains(const EventOrigin& origin, const std::string& session) const;
  std::string selectPane(const EventOrigin& origin, const Pane& pane) const;

  std::shared_ptr<WindowSystem> windows_;
  std::string noWindows_;
  Options options_;
};

}  // namespace gt
