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

constexpr std::uint32_t kMaxWindows = 4096;

std::string hex(xcb_window_t w) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%x", w);
  return buf;
}

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

  // Every managed window with its owner and title. All requests first, then the replies: one round
  // trip to the server, not one per window.
  std::vector<WindowSystem::Window> windows() {
    std::vector<xcb_window_t> all;
    xcb_ewmh_get_windows_reply_t list;
    if (xcb_ewmh_get_client_list_reply(&ewmh_, xcb_ewmh_get_client_list(&ewmh_, screen_), &list, nullptr)) {
      all.assign(list.windows, list.windows + std::min<std::uint32_t>(list.windows_len, kMaxWindows));
      xcb_ewmh_get_windows_reply_wipe(&list);
    }
    std::vector<std::pair<xcb_get_property_cookie_t, xcb_get_property_cookie_t>> cookies;
    for (xcb_window_t w : all) cookies.emplace_back(xcb_ewmh_get_wm_pid(&ewmh_, w), xcb_ewmh_get_wm_name(&ewmh_, w));
    const xcb_window_t focused = active();
    std::vector<WindowSystem::Window> out;
    for (std::size_t i = 0; i < all.size(); ++i) {
      WindowSystem::Window w{hex(all[i]), 0, all[i], {}, all[i] == focused};
      std::uint32_t pid = 0;
      if (xcb_ewmh_get_wm_pid_reply(&ewmh_, cookies[i].first, &pid, nullptr)) w.pid = pid;
      xcb_ewmh_get_utf8_strings_reply_t name;
      if (xcb_ewmh_get_wm_name_reply(&ewmh_, cookies[i].second, &name, nullptr)) {
        w.title.assign(name.strings, std::min<std::uint32_t>(name.strings_len, 1024));
        xcb_ewmh_get_utf8_strings_reply_wipe(&name);
      }
      out.push_back(std::move(w));
    }
    return out;
  }
  xcb_window_t active() {
    xcb_window_t w = XCB_NONE;
    xcb_ewmh_get_active_window_reply(&ewmh_, xcb_ewmh_get_active_window(&ewmh_, screen_), &w, nullptr);
    return w;
  }
  // The managed top-level window that holds `w` ($WINDOWID names xterm's inner widget, not its
  // top-level), or XCB_NONE.
  xcb_window_t topLevelOf(xcb_window_t w) {
    std::vector<WindowSystem::Window> all = windows();
    for (int depth = 0; w != XCB_NONE && depth < 32; ++depth) {
      if (std::any_of(all.begin(), all.end(), [w](auto& c) { return c.x11 == w; })) return w;
      xcb_query_tree_reply_t* tree = xcb_query_tree_reply(conn_, xcb_query_tree(conn_, w), nullptr);
      if (!tree) return XCB_NONE;
      w = tree->parent == tree->root ? XCB_NONE : tree->parent;
      std::free(tree);
    }
    return XCB_NONE;
  }
  // The server's time now, read from the event a property change on a window of ours makes; 0 when it
  // does not come.
  xcb_timestamp_t now() {
    const xcb_window_t probe = xcb_generate_id(conn_);
    const std::uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(conn_, XCB_COPY_FROM_PARENT, probe, ewmh_.screens[screen_]->root, 0, 0, 1, 1, 0,
                      XCB_WINDOW_CLASS_INPUT_ONLY, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &mask);
    xcb_change_property(conn_, XCB_PROP_MODE_APPEND, probe, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8, 0, nullptr);
    xcb_flush(conn_);
    xcb_timestamp_t time = 0;
    const auto deadline = std::chrono::steady_clock::now() + 500ms;
    while (!time && std::chrono::steady_clock::now() < deadline && !xcb_connection_has_error(conn_)) {
      xcb_generic_event_t* e = xcb_poll_for_event(conn_);
      if (!e) {
        std::this_thread::sleep_for(1ms);
        continue;
      }
      if ((e->response_type & 0x7f) == XCB_PROPERTY_NOTIFY)
        time = reinterpret_cast<xcb_property_notify_event_t*>(e)->time;
      std::free(e);
    }
    xcb_destroy_window(conn_, probe);
    return time;
  }
  void activate(xcb_window_t w, const std::string& token) {
    // The server's time now: a window manager that weighs requests against focus stealing (mutter)
    // refuses one older than the user's latest action.
    xcb_timestamp_t time = now();
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
  void demandAttention(xcb_window_t w) {
    xcb_ewmh_request_change_wm_state(&ewmh_, screen_, w, XCB_EWMH_WM_STATE_ADD, ewmh_._NET_WM_STATE_DEMANDS_ATTENTION,
                                     XCB_NONE, XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
    // A round trip before the connection closes: sent last and unanswered, the request was lost at times.
    std::free(xcb_get_input_focus_reply(conn_, xcb_get_input_focus(conn_), nullptr));
  }

 private:
  xcb_connection_t* conn_ = nullptr;
  int screen_ = 0;
  xcb_ewmh_connection_t ewmh_{};
  bool atoms_ = false;
  bool wm_ = false;
};

class X11WindowSystem : public WindowSystem {
 public:
  explicit X11WindowSystem(std::string refusal) : refusal_(std::move(refusal)) {}
  Result<std::vector<Window>, Problem<WindowProblem>> windows() override {
    X11Session x;
    if (std::string why = x.problem(); !why.empty()) return fail(WindowProblem::noAnswer, why);
    return x.windows();
  }
  Outcome activate(const Window& window, const std::string& token) override {
    X11Session x;
    if (std::string p = x.problem(); !p.empty()) return {false, p};
    const auto w = static_cast<xcb_window_t>(window.x11);
    x.activate(w, token);
    std::string which = "X11: window " + window.handle + " of pid " + std::to_string(window.pid);
    // The window manager acts on the message asynchronously; a bounded look tells the log what happened.
    for (int i = 0; i < 100; ++i) {
      if (x.active() == w) return {true, which + " activated"};
      std::this_thread::sleep_for(10ms);
    }
    // Not made active: the request was refused or dropped. Asking for attention instead is what mutter
    // does with a request it refuses; GNOME Shell then offers its own prompt that brings the window.
    x.demandAttention(w);
    return {false, which + " was not made active by the window manager" + refusal_ +
                       "; asked to mark it as needing attention"};
  }
  std::uint64_t topLevel(std::uint64_t id) override {
    X11Session x;
    return x.problem().empty() && id <= UINT32_MAX ? x.topLevelOf(static_cast<xcb_window_t>(id)) : 0;
  }

 private:
  std::string refusal_;
};

}  // namespace

std::shared_ptr<WindowSystem> makeX11WindowSystem(std::string refusal) {
  return std::make_shared<X11WindowSystem>(std::move(refusal));
}

}  // namespace gt
