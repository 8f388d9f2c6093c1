// Which window system raises the agent's terminal, chosen from the session's environment.
#include "platform/window_systems.h"

#include <gtest/gtest.h>

#include "support/test_files.h"

namespace gt {
namespace {

// Each desktop gets its own adapter, or none with the reason the log gives; a stale $SWAYSOCK says so.
TEST(WindowSystems, EachSessionGetsItsAdapterOrTheReasonThereIsNone) {
  test::Env env("SWAYSOCK", "/nonexistent/sway-ipc.sock");
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_SESSION_TYPE", "XDG_CURRENT_DESKTOP"})
    env.set(name, nullptr);
  auto sway = chooseWindowSystem().windows->windows();
  EXPECT_NE(sway.error().detail.find("cannot reach /nonexistent/sway-ipc.sock"), std::string::npos)
      << sway.error().detail;
  env.set("SWAYSOCK", nullptr);
  const struct {
    const char *wayland, *desktop, *display, *why;
    bool adapter;
  } sessions[] = {{"", "", "", "no display", false},
                  {"", "GNOME", ":1", "", true},
                  {"wayland-0", "ubuntu:GNOME", ":1", "GNOME on Wayland", true},
                  {"wayland-0", "GNOME", "", "GNOME on Wayland", false},
                  {"wayland-0", "Hyprland", ":1", "offers no way", false}};
  for (const auto& s : sessions) {
    env.set("WAYLAND_DISPLAY", *s.wayland ? s.wayland : nullptr);
    env.set("XDG_CURRENT_DESKTOP", s.desktop);
    env.set("DISPLAY", *s.display ? s.display : nullptr);
    WindowSystemChoice choice = chooseWindowSystem();
    EXPECT_EQ(choice.windows != nullptr, s.adapter) << s.desktop;
    EXPECT_NE(choice.why.find(s.why), std::string::npos) << s.desktop << ": " << choice.why;
  }
}

}  // namespace
}  // namespace gt
