#include "platform/window_systems.h"

#include <cstdlib>
#include <string_view>

namespace gt {

namespace {

std::string env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

}  // namespace

WindowSystemChoice chooseWindowSystem() {
  if (std::string sway = env("SWAYSOCK"); !sway.empty()) return {makeSwayWindowSystem(sway), {}};
  const std::string desktop = env("XDG_CURRENT_DESKTOP");
  const bool wayland = !env("WAYLAND_DISPLAY").empty() || env("XDG_SESSION_TYPE") == "wayland";
  if (wayland && desktop.find("KDE") != std::string::npos) return {makeKWinWindowSystem(), {}};
  if (wayland && desktop.find("GNOME") != std::string::npos) {
    // Its Xwayland terminals are still X11 windows under an EWMH window manager, mutter, which acts on a
    // request with the current time unless the shell holds a modal grab: then it drops it unseen.
    const char* why =
        "GNOME on Wayland lets no program raise another's Wayland window, so the terminal stays "
        "where it is";
    const char* refusal = " (GNOME Shell ignores such requests while its overview or a menu is open)";
    return {env("DISPLAY").empty() ? nullptr : makeX11WindowSystem(refusal), why, false};
  }
  if (wayland) return {nullptr, "this Wayland desktop offers no way to raise another program's window", false};
  if (!env("DISPLAY").empty()) return {makeX11WindowSystem(), {}};
  return {nullptr, "no display: no terminal window to raise", false};
}

}  // namespace gt
