// Raising a window on X11 the EWMH way: the window manager is asked with a _NET_ACTIVE_WINDOW client
// message, as a pager asks, rather than the window being focused behind its back.
#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/window_systems.h"

namespace gt {

namespace {

using namespace std::chrono_literals;

// One connection for one call: calls come from any thread and are rare.
class X11Session {
 public:
  X11Session() {
    conn_ = xcb_connect(nullptr, &screen_);
    if (xcb_connection_has_error(conn_)) return;
    if (!xcb_ewmh_init_atoms_replies(&ewmh_, xcb_ewmh_init_atoms(conn_, &ewmh_), nullptr)) return;
    atoms_ = true;
    xcb_window_t check = 0;
    wm_ = xcb_ewmh_get_supporting_wm_check_reply(
              &ewmh_, xcb_ewmh_get_supporting_wm_check(&ewmh_, ewmh_.screens[screen_]->root), &check, nullptr) &&
          check != XCB_NONE;
  }
  ~X11Session() {
    if (atoms_) xcb_ewmh_connection_wipe(&ewmh_);
    xcb_disconnect(conn_);
  }
  X11Session(const X11Session&) = delete;
  X11Session& operator=(const X11Session&) = delete;

  // Why this display cannot be used, or "".
  std::string problem() const {
    if (xcb_connection_has_error(conn_)) return "X11: cannot reach the display";
    if (!wm_) return "X11: no EWMH window manager runs";
    return {};
  }

  std::vector<xcb_window_t> clients() {
    std::vector<xcb_window_t> out;
    xcb_ewmh_get_windows_reply_t list;
    if (xcb_ewmh_get_client_list_reply(&ewmh_, xcb_ewmh_get_client_list(&ewmh_, screen_), &list, nullptr)) {
      out.assign(list.windows, list.windows + list.windows_len);
      xcb_ewmh_get_windows_reply_wipe(&list);
    }
    return out;
  }
  std::int64_t pidOf(xcb_window_t w) {
    std::uint32_t pid = 0;
    return xcb_ewmh_get_wm_pid_reply(&ewmh_, xcb_ewmh_get_wm_pid(&ewmh_, w), &pid, nullptr) ? pid : 0;
  }
  xcb_window_t active() {
    xcb_window_t w = XCB_NONE;
    xcb_ewmh_get_active_window_reply(&ewmh_, xcb_ewmh_get_active_window(&ewmh_, screen_), &w, nullptr);
    return w;
  }
  // The managed top-level window that holds `w` ($WINDOWID names xterm's inner widget, not its
  // top-level), or XCB_NONE.
  xcb_window_t topLevelOf(xcb_window_t w, const std::vector<xcb_window_t>& clients) {
    for (int depth = 0; w != XCB_NONE && depth < 32; ++depth) {
      if (std::find(clients.begin(), clients.end(), w) != clients.end()) return w;
      xcb_query_tree_reply_t* tree = xcb_query_tree_reply(conn_, xcb_query_tree(conn_, w), nullptr);
      if (!tree) return XCB_NONE;
      w = tree->parent == tree->root ? XCB_NONE : tree->parent;
      std::free(tree);
    }
    return XCB_NONE;
  }
  // The window of the first pid that has one, else the one holding `windowId`.
  xcb_window_t find(const std::vector<std::int64_t>& pids, const std::string& windowId, std::int64_t& pid) {
    std::vector<xcb_window_t> all = clients();
    // All requests first, then the replies: one round trip to the server, not one per window.
    std::vector<xcb_get_property_cookie_t> cookies;
    for (xcb_window_t w : all) cookies.push_back(xcb_ewmh_get_wm_pid(&ewmh_, w));
    std::vector<std::int64_t> owners;
    for (xcb_get_property_cookie_t c : cookies) {
      std::uint32_t p = 0;
      owners.push_back(xcb_ewmh_get_wm_pid_reply(&ewmh_, c, &p, nullptr) ? p : 0);
    }
    for (std::int64_t p : pids) {
      // Several windows of one process (one terminal server, many windows): the most recently mapped.
      for (std::size_t i = all.size(); i-- > 0;)
        if (owners[i] == p) return pid = p, all[i];
    }
    pid = 0;
    char* end = nullptr;
    unsigned long id = std::strtoul(windowId.c_str(), &end, 0);
    return windowId.empty() || *end ? XCB_NONE : topLevelOf(static_cast<xcb_window_t>(id), all);
  }
  void activate(xcb_window_t w, const std::string& token) {
    xcb_timestamp_t time = XCB_CURRENT_TIME;
    if (!token.empty()) {
      // A startup-notification id carries the time of the user's click after "_TIME"; the window
      // manager weighs it against focus stealing, and reads the id itself from _NET_STARTUP_ID.
      if (std::size_t at = token.rfind("_TIME"); at != std::string::npos)
        time = static_cast<xcb_timestamp_t>(std::strtoul(token.c_str() + at + 5, nullptr, 10));
      const char kName[] = "_NET_STARTUP_ID";
      if (xcb_intern_atom_reply_t* atom =
              xcb_intern_atom_reply(conn_, xcb_intern_atom(conn_, 0, sizeof kName - 1, kName), nullptr)) {
        xcb_change_property(conn_, XCB_PROP_MODE_REPLACE, w, atom->atom, ewmh_.UTF8_STRING, 8,
                            static_cast<std::uint32_t>(token.size()), token.data());
        std::free(atom);
      }
    }
    xcb_ewmh_request_change_active_window(&ewmh_, screen_, w, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER, time, active());
    xcb_flush(conn_);
  }

 private:
  xcb_connection_t* conn_ = nullptr;
  int screen_ = 0;
  xcb_ewmh_connection_t ewmh_{};
  bool atoms_ = false;
  bool wm_ = false;
};

std::string hex(xcb_window_t w) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", w);
  return buf;
}

class X11WindowSystem : public WindowSystem {
 public:
  Outcome raise(const std::vector<std::int64_t>& pids, const std::string& windowId, const std::string& token) override {
    X11Session x;
    if (std::string p = x.problem(); !p.empty()) return {false, p};
    std::int64_t pid = 0;
    xcb_window_t w = x.find(pids, windowId, pid);
    if (w == XCB_NONE) return {false, "X11: the terminal has no window on this display (it may have closed)"};
    x.activate(w, token);
    std::string which = "X11: window " + hex(w) + (pid ? " of pid " + std::to_string(pid) : " holding $WINDOWID");
    // The window manager acts on the message asynchronously; a short look tells the log what happened.
    for (int i = 0; i < 25; ++i) {
      if (x.active() == w) return {true, which + " activated"};
      std::this_thread::sleep_for(10ms);
    }
    return {true, which + " asked to activate (the window manager has not made it active yet)"};
  }
  std::optional<bool> isActive(const std::vector<std::int64_t>& pids, const std::string& windowId) override {
    X11Session x;
    if (!x.problem().empty()) return std::nullopt;
    xcb_window_t active = x.active();
    if (active == XCB_NONE) return false;
    // The terminal is the nearest of `pids` with a window, as raise() finds it; an ancestor further
    // up (a terminal started from another terminal's shell) is another window.
    std::int64_t pid = 0;
    xcb_window_t w = x.find(pids, windowId, pid);
    return w != XCB_NONE && (w == active || (pid && x.pidOf(active) == pid));
  }
};

}  // namespace

std::shared_ptr<WindowSystem> makeX11WindowSystem() { return std::make_shared<X11WindowSystem>(); }

}  // namespace gt
