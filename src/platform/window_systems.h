#pragma once
#include <memory>
#include <string>

#include "core/events/window_system.h"

namespace gt {

// The desktop's window system, chosen from the session's environment: Sway ($SWAYSOCK), KWin on a
// Plasma Wayland session, X11 through EWMH where $DISPLAY is an X session. Null where none applies,
// with `why` saying so for the log (GNOME on Wayland lets no program focus another's window).
struct WindowSystemChoice {
  std::shared_ptr<WindowSystem> windows;
  std::string why;
};
WindowSystemChoice chooseWindowSystem();

std::shared_ptr<WindowSystem> makeX11WindowSystem();   // the X display of $DISPLAY, one connection per call
std::shared_ptr<WindowSystem> makeKWinWindowSystem();  // KWin's scripting interface on the session bus
std::shared_ptr<WindowSystem> makeSwayWindowSystem(std::string socketPath);  // Sway's IPC socket

}  // namespace gt
