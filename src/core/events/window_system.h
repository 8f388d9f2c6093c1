#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/common/result.h"

namespace gt {

// What is known of one terminal an agent may be shown in.
struct TerminalHints {
  std::vector<std::int64_t> pids;  // its processes and their ancestors, nearest first
  std::string windowId;            // $WINDOWID as the terminal set it (X11 and Xwayland), "" when unknown
  std::string title;               // the title tmux gives its window, "" when tmux sets none
};

// Why no window was found or raised; the detail is one clause for the log.
enum class WindowProblem {
  noAnswer,   // the desktop could not be asked, or did not answer
  ambiguous,  // the terminal's process owns several windows and nothing tells which one shows the agent
  noWindow,   // the terminal has no window here (it may have closed)
};

// One desktop's view of its top-level windows and its way to raise one (X11 through EWMH, KWin, Sway).
// Implementations live in src/platform; they are thread-safe, bounded and never throw.
class WindowSystem {
 public:
  struct Window {
    std::string handle;     // the desktop's own name for it
    std::int64_t pid = 0;   // the process that owns it, 0 when not known
    std::uint64_t x11 = 0;  // its X11 top-level window, for X11 and Xwayland windows
    std::string title;
    bool active = false;  // has the focus
  };
  struct Outcome {
    bool done = false;
    std::string what;  // one clause for the log: what was raised, or why nothing was
  };
  virtual ~WindowSystem() = default;
  // Every top-level window (noAnswer when the desktop does not give them).
  virtual Result<std::vector<Window>, Problem<WindowProblem>> windows() = 0;
  // Raises and focuses `window`, one of windows(). `activationToken` is the notification server's
  // token for this activation, "" when none.
  virtual Outcome activate(const Window& window, const std::string& activationToken) = 0;
  // The top-level X11 window holding X11 window `id` (a terminal's $WINDOWID may name an inner one).
  virtual std::uint64_t topLevel(std::uint64_t id) { return id; }
};

// The window of the terminal `hints` describes among `windows`: of the nearest process that has any,
// the one window it owns, or of several the one whose X11 id or title the hints give. Else the window
// $WINDOWID names, when no process of the chain has one. Ambiguous when it cannot be told: another
// window of the same process could show another session.
Result<WindowSystem::Window, Problem<WindowProblem>> pickWindow(WindowSystem& system,
                                                                const std::vector<WindowSystem::Window>& windows,
                                                                const TerminalHints& hints);

}  // namespace gt
