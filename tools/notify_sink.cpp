// gt-notify-sink: a minimal org.freedesktop.Notifications server for tests and demos. It shows
// nothing; it records every Notify and CloseNotification call as one JSON line, and clicks a
// notification when asked to over the bus.
#include <signal.h>
#include <systemd/sd-bus.h>
#include <systemd/sd-event.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <string_view>

namespace {

constexpr const char* kUsage = R"(Usage: gt-notify-sink [--log FILE] [--no-markup] [--actions] [--silent]

A stand-in desktop notification server for tests and demos. It owns the name
org.freedesktop.Notifications on the session bus ($DBUS_SESSION_BUS_ADDRESS, else
$XDG_RUNTIME_DIR/bus), answers GetCapabilities, GetServerInformation, Notify and
CloseNotification, and shows nothing.

To click a notification, call the sink's own method
  io.glowticker.NotifySink.Invoke(u id, s action, s token) -> u id
on /org/freedesktop/Notifications; id 0 means the newest notification still open. It emits
ActivationToken(id, token) when the token is not empty, then ActionInvoked(id, action), then
NotificationClosed(id, 2) as a server does when the user clicks. For example:
  busctl --user call org.freedesktop.Notifications /org/freedesktop/Notifications \
      io.glowticker.NotifySink Invoke uss 0 default ""

Options:
  --log FILE     append one JSON line per call to FILE, flushed at once; for Notify
                 {"app_name":…,"replaces_id":N,"id":N,"app_icon":…,"summary":…,"body":…,
                  "actions":[…],"hints":{…string hints…}}, for CloseNotification {"closed":N}
  --no-markup    do not advertise the "body-markup" capability
  --actions      advertise the "actions" capability
  --silent       take every call and never answer, as a wedged server does
  -h, --help     show this help and exit

Once the name is owned it prints "ready" on standard output. It runs until SIGTERM or SIGINT
and exits 0; it exits 1 when the bus cannot be reached or the name is already owned.
)";

struct Sink {
  FILE* log = nullptr;
  bool markup = true;
  bool actions = false;
  bool silent = false;
  std::uint32_t lastId = 0;
  std::uint32_t newest = 0;      // the id of the last Notify call
  std::set<std::uint32_t> open;  // ids shown and not closed
};

constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

void record(Sink& sink, const nlohmann::ordered_json& line) {
  if (!sink.log) return;
  std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
  std::fwrite(text.data(), 1, text.size(), sink.log);
  std::fflush(sink.log);
}

int getCapabilities(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* sink = static_cast<Sink*>(userdata);
  if (sink->silent) return 1;  // handled, and no reply ever comes
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(m, &reply);
  if (r < 0) return r;
  if (r >= 0) r = sd_bus_message_open_container(reply, 'a', "s");
  if (r >= 0) r = sd_bus_message_append(reply, "s", "body");
  if (r >= 0 && sink->markup) r = sd_bus_message_append(reply, "s", "body-markup");
  if (r >= 0 && sink->actions) r = sd_bus_message_append(reply, "s", "actions");
  if (r >= 0) r = sd_bus_message_close_container(reply);
  if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
  sd_bus_message_unref(reply);
  return r;
}

int getServerInformation(sd_bus_message* m, void* userdata, sd_bus_error*) {
  if (static_cast<Sink*>(userdata)->silent) return 1;
  return sd_bus_reply_method_return(m, "ssss", "gt-notify-sink", "Glowticker", "1", "1.2");
}

int notify(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* sink = static_cast<Sink*>(userdata);
  if (sink->silent) return 1;
  const char *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
  std::uint32_t replaces = 0;
  std::int32_t timeout = 0;
  int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
  if (r < 0) return r;
  nlohmann::ordered_json actions = nlohmann::ordered_json::array(), hints = nlohmann::ordered_json::object();
  if ((r = sd_bus_message_enter_container(m, 'a', "s")) < 0) return r;
  for (const char* a = nullptr; (r = sd_bus_message_read_basic(m, 's', &a)) > 0;) actions.push_back(a);
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  if ((r = sd_bus_message_enter_container(m, 'a', "{sv}")) < 0) return r;
  while ((r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char *key = nullptr, *type = nullptr, *value = nullptr;
    if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0) return r;
    if ((r = sd_bus_message_peek_type(m, nullptr, &type)) < 0) return r;
    if (type && std::string_view(type) == "s") {
      if ((r = sd_bus_message_read(m, "v", "s", &value)) < 0) return r;
      hints[key] = value;
    } else if ((r = sd_bus_message_skip(m, "v")) < 0) {
      return r;
    }
    if ((r = sd_bus_message_exit_container(m)) < 0) return r;
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  if ((r = sd_bus_message_read(m, "i", &timeout)) < 0) return r;

  std::uint32_t id;
  if (replaces != 0 && sink->open.count(replaces)) {
    id = replaces;
  } else {
    id = ++sink->lastId;
    sink->open.insert(id);
  }
  if (sink->log) {
    nlohmann::ordered_json line;
    line["app_name"] = app;
    line["replaces_id"] = replaces;
    line["id"] = id;
    line["app_icon"] = icon;
    line["summary"] = summary;
    line["body"] = body;
    line["actions"] = std::move(actions);
    line["hints"] = std::move(hints);
    record(*sink, line);
  }
  sink->newest = id;
  return sd_bus_reply_method_return(m, "u", id);
}

int closeNotification(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* sink = static_cast<Sink*>(userdata);
  std::uint32_t id = 0;
  int r = sd_bus_message_read(m, "u", &id);
  if (r < 0) return r;
  record(*sink, nlohmann::ordered_json{{"closed", id}});
  if (sink->open.erase(id))
    sd_bus_emit_signal(sd_bus_message_get_bus(m), kPath, kInterface, "NotificationClosed", "uu", id,
                       3u);  // 3: closed by a call to CloseNotification
  return sd_bus_reply_method_return(m, "");
}

// A click, as a server reports it.
int invoke(sd_bus_message* m, void* userdata, sd_bus_error* error) {
  auto* sink = static_cast<Sink*>(userdata);
  std::uint32_t id = 0;
  const char *action = nullptr, *token = nullptr;
  int r = sd_bus_message_read(m, "uss", &id, &action, &token);
  if (r < 0) return r;
  if (id == 0) id = sink->newest;
  if (!sink->open.count(id))
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no open notification with id %u", id);
  sd_bus* bus = sd_bus_message_get_bus(m);
  if (*token && (r = sd_bus_emit_signal(bus, kPath, kInterface, "ActivationToken", "us", id, token)) < 0) return r;
  if ((r = sd_bus_emit_signal(bus, kPath, kInterface, "ActionInvoked", "us", id, action)) < 0) return r;
  sink->open.erase(id);
  if ((r = sd_bus_emit_signal(bus, kPath, kInterface, "NotificationClosed", "uu", id, 2u)) < 0) return r;
  return sd_bus_reply_method_return(m, "u", id);
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetCapabilities", "", "as", getCapabilities, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", getServerInformation, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
    SD_BUS_SIGNAL("ActionInvoked", "us", 0),
    SD_BUS_SIGNAL("ActivationToken", "us", 0),
    SD_BUS_VTABLE_END,
};

const sd_bus_vtable kControlVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Invoke", "uss", "u", invoke, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

int fail(const char* what, int r) {
  std::fprintf(stderr, "gt-notify-sink: %s: %s\n", what, std::strerror(-r));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  Sink sink;
  const char* logPath = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--no-markup") {
      sink.markup = false;
    } else if (a == "--actions") {
      sink.actions = true;
    } else if (a == "--silent") {
      sink.silent = true;
    } else if (a == "--log" && i + 1 < argc) {
      logPath = argv[++i];
    } else {
      std::fprintf(stderr, "gt-notify-sink: unexpected argument '%s'. Run 'gt-notify-sink --help'.\n", argv[i]);
      return 2;
    }
  }
  if (logPath && !(sink.log = std::fopen(logPath, "a"))) {
    std::fprintf(stderr, "gt-notify-sink: cannot open the log file %s: %s\n", logPath, std::strerror(errno));
    return 1;
  }

  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  sigprocmask(SIG_BLOCK, &mask, nullptr);

  sd_event* event = nullptr;
  sd_bus* bus = nullptr;
  int r = sd_event_default(&event);
  if (r < 0) return fail("cannot create the event loop", r);
  // A null handler makes the loop exit on the signal.
  sd_event_add_signal(event, nullptr, SIGTERM, nullptr, nullptr);
  sd_event_add_signal(event, nullptr, SIGINT, nullptr, nullptr);

  if ((r = sd_bus_open_user(&bus)) < 0) return fail("cannot connect to the session bus", r);
  // Leave with the bus: a sink outliving its test's private bus would only linger.
  sd_bus_set_exit_on_disconnect(bus, 1);
  if ((r = sd_bus_add_object_vtable(bus, nullptr, "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                                    kVtable, &sink)) < 0)
    return fail("cannot export the notification object", r);
  if ((r = sd_bus_add_object_vtable(bus, nullptr, kPath, "io.glowticker.NotifySink", kControlVtable, &sink)) < 0)
    return fail("cannot export the control object", r);
  if ((r = sd_bus_request_name(bus, "org.freedesktop.Notifications", 0)) < 0)
    return fail("cannot own org.freedesktop.Notifications (is another notification server running?)", r);
  if ((r = sd_bus_attach_event(bus, event, SD_EVENT_PRIORITY_NORMAL)) < 0)
    return fail("cannot attach the bus to the event loop", r);

  std::puts("ready");
  std::fflush(stdout);
  r = sd_event_loop(event);

  sd_bus_flush_close_unref(bus);
  sd_event_unref(event);
  if (sink.log) std::fclose(sink.log);
  return r < 0 ? fail("event loop failed", r) : 0;
}
