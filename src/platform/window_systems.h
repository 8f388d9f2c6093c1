#pragma once
#include <memory>
#include <string>

#include "core/events/window_system.h"

namespace gt {

// The desktop's window system, chosen from the session's environment: Sway ($SWAYSOCK), KWin on a
// Plasma Wayland session, X11 through EWMH where $DISPLAY is an X session or GNOME's Xwayland. Null
// where none applies; `why` says for the log why no window, or none of its native windows, can be
// raised (GNOME on Wayland lets no program focus another's Wayland window).
struct WindowSystemChoice {
  std::shared_ptr<WindowSystem> windows;
  std::string why;
  bool frontKnown = true;  // whether it can tell that a terminal is in front
};
WindowSystemChoice chooseWindowSystem();

// The X display of $DISPLAY, one connection per call; `refusal` (" (why)") ends the log line when the
// window manager did not make a window active: why this desktop may do that.
std::shared_ptr<WindowSystem> makeX11WindowSystem(std::string refusal = {});
std::shared_ptr<WindowSystem> makeKWinWindowSystem();  // KWin's scripting interface on the session bus
std::shared_ptr<WindowSystem> makeSwayWindowSystem(std::string socketPath);  // Sway's IPC socket

}  // namespace gt
