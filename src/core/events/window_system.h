#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace gt {

// One desktop's way to raise another program's window (X11 through EWMH, KWin, Sway). Implementations
// live in src/platform; they are thread-safe, bounded and never throw.
class WindowSystem {
 public:
  struct Outcome {
    bool done = false;
    std::string what;  // one clause for the log: what was raised, or why nothing was
  };
  virtual ~WindowSystem() = default;
  // Raises and focuses the top-level window of the first of `pids` (nearest first) that has one, else
  // the window `windowId` ($WINDOWID, "" when unknown) belongs to. `activationToken` is the
  // notification server's token for this activation, "" when none.
  virtual Outcome raise(const std::vector<std::int64_t>& pids, const std::string& windowId,
                        const std::string& activationToken) = 0;
  // Whether the active window belongs to one of `pids` or holds `windowId`; nothing when this desktop
  // cannot tell.
  virtual std::optional<bool> isActive(const std::vector<std::int64_t>& pids, const std::string& windowId) = 0;
};

}  // namespace gt
