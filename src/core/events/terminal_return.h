#pragma once
#include <chrono>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/common/bounded_run.h"
#include "core/events/agent_return.h"
#include "core/events/window_system.h"

namespace gt {

// Brings back an agent's terminal from what its hook saw (EventOrigin): inside tmux it selects the
// agent's window and pane on that tmux server (and switches a client to the session when none shows
// it), then raises the terminal window through the desktop's WindowSystem. For an agent inside tmux
// that terminal is the one running a tmux client attached to the agent's session, found from the
// client's process and its ancestors, the client's $WINDOWID and the title tmux gives it; otherwise
// from the hook's own ancestors and $WINDOWID. A window that cannot be told apart from its process's
// other windows is not raised. `tmux` runs as argv (never through a shell), each run bounded; a tmux
// server that let a run time out is not asked again for kWedgedPause, so it holds up nothing else.
class TerminalReturn : public AgentReturn {
 public:
  struct Options {
    std::string tmuxProgram = "tmux";
    std::chrono::milliseconds tmuxLimit{1500};
    bool frontKnown = true;  // false where the desktop cannot say which window is in front
  };
  static constexpr std::chrono::seconds kWedgedPause{30};
  // `windows` is null where no window system applies; `noWindows` then says why, for the log, as it
  // does when `windows` finds no window for the terminal.
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
  // Runs tmux with `args` on the origin's server.
  Result<std::string, Problem<RunProblem>> tmux(const EventOrigin& origin,
                                                std::initializer_list<std::string> args) const;
  std::optional<Pane> findPane(const EventOrigin& origin, std::string& why) const;
  // The terminals of the tmux clients attached to `session`, most recently active first.
  std::vector<TerminalHints> clientTerminals(const EventOrigin& origin, const std::string& session) const;
  std::string selectPane(const EventOrigin& origin, const Pane& pane) const;
  // The terminals that may show the agent: inside tmux those of the clients attached to its session
  // (after selecting its pane when `selecting`; nothing when the pane is not in view), else the hook's.
  // `line` receives what was done or went wrong, for the log.
  std::optional<std::vector<TerminalHints>> terminals(const EventOrigin& origin, std::string& line,
                                                      bool selecting) const;
  std::string raise(const std::vector<TerminalHints>& terminals, const std::string& token) const;

  std::shared_ptr<WindowSystem> windows_;
  std::string noWindows_;
  Options options_;
  static constexpr std::size_t kMaxWedged = 16;
  mutable std::mutex wedgedLock_;
  mutable std::map<std::string, std::chrono::steady_clock::time_point> wedged_;  // server -> asked again from
};

}  // namespace gt
