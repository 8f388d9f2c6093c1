// gt-notify-sink: a minimal org.freedesktop.Notifications server for tests and demos. It shows
// nothing; it records every Notify call as one JSON line.
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

constexpr const char* kUsage = R"(Usage: gt-notify-sink [--log FILE] [--no-markup] [--silent]

A stand-in desktop notification server for tests and demos. It owns the name
org.freedesktop.Notifications on the session bus ($DBUS_SESSION_BUS_ADDRESS, else
$XDG_RUNTIME_DIR/bus), answers GetCapabilities, GetServerInformation, Notify and
CloseNotification, and shows nothing.

Options:
  --log FILE     append one JSON line per Notify call to FILE, flushed at once:
                 {"app_name":…,"replaces_id":N,"id":N,"summary":…,"body":…}
  --no-markup    do not advertise the "body-markup" capability
  --silent       take every call and never answer, as a wedged server does
  -h, --help     show this help and exit

Once the name is owned it prints "ready" on standard output. It runs until SIGTERM or SIGINT
and exits 0; it exits 1 when the bus cannot be reached or the name is already owned.
)";

struct Sink {
  FILE* log = nullptr;
  bool markup = true;
  bool silent = false;
  std::uint32_t lastId = 0;
  std::set<std::uint32_t> open;  // ids shown and not closed
};

int getCapabilities(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* sink = static_cast<Sink*>(userdata);
  if (sink->silent) return 1;  // handled, and no reply ever comes
  sd_bus_message* reply = nullptr;
  int r = sd_bus_message_new_method_return(m, &reply);
  if (r < 0) return r;
  if (sink->markup)
    r = sd_bus_message_append(reply, "as", 2, "body", "body-markup");
  else
    r = sd_bus_message_append(reply, "as", 1, "body");
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
  if ((r = sd_bus_message_skip(m, "asa{sv}")) < 0) return r;
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
    line["summary"] = summary;
    line["body"] = body;
    std::string text = line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
    std::fwrite(text.data(), 1, text.size(), sink->log);
    std::fflush(sink->log);
  }
  return sd_bus_reply_method_return(m, "u", id);
}

int closeNotification(sd_bus_message* m, void* userdata, sd_bus_error*) {
  auto* sink = static_cast<Sink*>(userdata);
  std::uint32_t id = 0;
  int r = sd_bus_message_read(m, "u", &id);
  if (r < 0) return r;
  if (sink->open.erase(id))
    sd_bus_emit_signal(sd_bus_message_get_bus(m), "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                       "NotificationClosed", "uu", id, 3u);  // 3: closed by a call to CloseNotification
  return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetCapabilities", "", "as", getCapabilities, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", getServerInformation, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_SIGNAL("NotificationClosed", "uu", 0),
    SD_BUS_SIGNAL("ActionInvoked", "us", 0),
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
