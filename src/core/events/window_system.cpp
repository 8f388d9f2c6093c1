#include "core/events/window_system.h"

#include <algorithm>
#include <cstdlib>

namespace gt {

namespace {

using Window = WindowSystem::Window;

std::uint64_t parsedWindowId(const std::string& text) {
  if (text.empty() || text.size() > 20) return 0;
  char* end = nullptr;
  unsigned long long id = std::strtoull(text.c_str(), &end, 0);
  return *end ? 0 : id;
}

}  // namespace

Result<Window, Problem<WindowProblem>> pickWindow(WindowSystem& system, const std::vector<Window>& windows,
                                                  const TerminalHints& hints) {
  // Asked only when needed: on X11 it takes a round trip to the display.
  std::optional<std::uint64_t> known;
  auto x11 = [&] {
    if (!known) known = parsedWindowId(hints.windowId) ? system.topLevel(parsedWindowId(hints.windowId)) : 0;
    return *known;
  };
  for (std::int64_t pid : hints.pids) {
    std::vector<const Window*> own;
    for (const Window& w : windows)
      if (w.pid == pid) own.push_back(&w);
    if (own.empty()) continue;
    if (own.size() == 1) return *own.front();
    // One terminal process, several windows (a terminal server): only what the hints say tells them apart.
    auto only = [&](auto matches) -> const Window* {
      if (std::count_if(own.begin(), own.end(), matches) != 1) return nullptr;
      return *std::find_if(own.begin(), own.end(), matches);
    };
    if (const Window* w = only([&](const Window* w) { return x11() && w->x11 == x11(); })) return *w;
    if (const Window* w = only([&](const Window* w) { return !hints.title.empty() && w->title == hints.title; }))
      return *w;
    return fail(WindowProblem::ambiguous,
                "pid " + std::to_string(pid) + " owns " + std::to_string(own.size()) +
                    " windows and nothing tells which one shows the agent, so none was raised");
  }
  for (const Window& w : windows)
    if (x11() && w.x11 == x11()) return w;
  return fail(WindowProblem::noWindow, "the terminal has no window here (it may have closed)");
}

}  // namespace gt
