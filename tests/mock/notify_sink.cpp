// gt-notify-sink: a stand-in org.freedesktop.Notifications server; takes the name over, then prints "ready".
// --log FILE: a JSON line per Notify and per CloseNotification; --no-markup, --actions; --silent never answers.
// io.glowticker.NotifySink.Invoke(u id, s action, s token) clicks `id` (0: the newest): ActivationToken (with a
// token), ActionInvoked, NotificationClosed, broadcast; InvokeUnicast addresses them to the sender (GNOME Shell).
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <string_view>

namespace {

constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";

struct Sink {
  FILE* log = nullptr;
  bool plain = false, actions = false, silent = false;
  std::uint32_t lastId = 0, newest = 0;
  std::map<std::uint32_t, std::string> open;  // id -> the sender that asked for it
} sink;

void record(const nlohmann::ordered_json& line) {
  if (!sink.log) return;
  std::fprintf(sink.log, "%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  std::fflush(sink.log);
}

int getCapabilities(sd_bus_message* m, void*, sd_bus_error*) {
  const char* caps[3] = {"body"};
  int n = 1;
  if (!sink.plain) caps[n++] = "body-markup";
  if (sink.actions) caps[n++] = "actions";
  return sd_bus_reply_method_return(m, "as", n, caps[0], caps[1], caps[2]);  // the first n
}

int getServerInformation(sd_bus_message* m, void*, sd_bus_error*) {
  return sd_bus_reply_method_return(m, "ssss", "gt-notify-sink", "Glowticker", "1", "1.2");
}

int notify(sd_bus_message* m, void*, sd_bus_error*) {
  const char *app, *icon, *summary, *body, *text;
  std::uint32_t replaces = 0;
  int r = sd_bus_message_read(m, "susss", &app, &replaces, &icon, &summary, &body);
  nlohmann::ordered_json actions = nlohmann::ordered_json::array(), hints = nlohmann::ordered_json::object();
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "s");
  while (r >= 0 && (r = sd_bus_message_read_basic(m, 's', &text)) > 0) actions.push_back(text);
  if (r >= 0) r = sd_bus_message_exit_container(m);
  if (r >= 0) r = sd_bus_message_enter_container(m, 'a', "{sv}");
  while (r >= 0 && (r = sd_bus_message_enter_container(m, 'e', "sv")) > 0) {
    const char *key, *type;
    std::uint8_t byte;
    if ((r = sd_bus_message_read_basic(m, 's', &key)) < 0 || (r = sd_bus_message_peek_type(m, nullptr, &type)) < 0)
      break;
    if (std::string_view(type) == "y" && (r = sd_bus_message_read(m, "v", "y", &byte)) >= 0)
      hints[key] = byte;
    else if (r >= 0)
      r = sd_bus_message_skip(m, "v");
    if (r >= 0) r = sd_bus_message_exit_container(m);
  }
  if (r < 0 || (r = sd_bus_message_exit_container(m)) < 0) return r;
  std::uint32_t id = replaces != 0 && sink.open.count(replaces) ? replaces : ++sink.lastId;
  sink.open[id] = sd_bus_message_get_sender(m);
  sink.newest = id;
  record({{"sender", sink.open[id]},
          {"app_name", app},
          {"replaces_id", replaces},
          {"id", id},
          {"summary", summary},
          {"body", body},
          {"actions", actions},
          {"hints", hints}});
  return sd_bus_reply_method_return(m, "u", id);
}

// One of the server's signals, broadcast or addressed to `to`: (id, text), or (id, reason) without text.
int emit(sd_bus* bus, const char* to, const char* member, std::uint32_t id, const char* text,
         std::uint32_t reason = 0) {
  sd_bus_message* s = nullptr;
  int r = sd_bus_message_new_signal(bus, &s, kPath, kInterface, member);
  if (r >= 0 && to) r = sd_bus_message_set_destination(s, to);
  if (r >= 0) r = text ? sd_bus_message_append(s, "us", id, text) : sd_bus_message_append(s, "uu", id, reason);
  if (r >= 0) r = sd_bus_send(bus, s, nullptr);
  sd_bus_message_unref(s);
  return r;
}

int closeNotification(sd_bus_message* m, void*, sd_bus_error*) {
  std::uint32_t id = 0;
  int r = sd_bus_message_read(m, "u", &id);
  if (r < 0) return r;
  record({{"closed", id}});
  if (sink.open.erase(id))  // 3: closed by a call to CloseNotification
    emit(sd_bus_message_get_bus(m), nullptr, "NotificationClosed", id, nullptr, 3);
  return sd_bus_reply_method_return(m, "");
}

int invoke(sd_bus_message* m, void*, sd_bus_error* error) {
  std::uint32_t id = 0;
  const char *action, *token;
  int r = sd_bus_message_read(m, "uss", &id, &action, &token);
  if (r < 0) return r;
  if (id == 0) id = sink.newest;
  auto it = sink.open.find(id);
  if (it == sink.open.end())
    return sd_bus_error_setf(error, SD_BUS_ERROR_INVALID_ARGS, "no open notification with id %u", id);
  const char* to = sd_bus_message_is_method_call(m, nullptr, "InvokeUnicast") ? it->second.c_str() : nullptr;
  sd_bus* bus = sd_bus_message_get_bus(m);
  if (*token && (r = emit(bus, to, "ActivationToken", id, token)) < 0) return r;
  if ((r = emit(bus, to, "ActionInvoked", id, action)) < 0) return r;
  if ((r = emit(bus, to, "NotificationClosed", id, nullptr, 2)) < 0) return r;  // 2: dismissed by the user
  sink.open.erase(it);
  return sd_bus_reply_method_return(m, "u", id);
}

int takeAndNeverAnswer(sd_bus_message*, void*, sd_bus_error*) { return 1; }

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("GetCapabilities", "", "as", getCapabilities, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("GetServerInformation", "", "ssss", getServerInformation, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Notify", "susssasa{sv}i", "u", notify, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("CloseNotification", "u", "", closeNotification, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};
const sd_bus_vtable kControlVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Invoke", "uss", "u", invoke, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("InvokeUnicast", "uss", "u", invoke, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string_view, bool*> flags{
      {"--no-markup", &sink.plain}, {"--actions", &sink.actions}, {"--silent", &sink.silent}};
  for (int i = 1; i < argc; ++i)
    if (auto flag = flags.find(argv[i]); flag != flags.end())
      *flag->second = true;
    else if (std::string_view(argv[i]) != "--log" || i + 1 == argc || !(sink.log = std::fopen(argv[++i], "a")))
      return std::fprintf(stderr, "gt-notify-sink: bad argument or unwritable log: %s\n", argv[i]), 2;
  sd_bus* bus = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r >= 0 && sink.silent) r = sd_bus_add_filter(bus, nullptr, takeAndNeverAnswer, nullptr);
  if (r >= 0) r = sd_bus_add_object_vtable(bus, nullptr, kPath, kInterface, kVtable, nullptr);
  if (r >= 0) r = sd_bus_add_object_vtable(bus, nullptr, kPath, "io.glowticker.NotifySink", kControlVtable, nullptr);
  if (r >= 0) r = sd_bus_request_name(bus, kInterface, SD_BUS_NAME_REPLACE_EXISTING | SD_BUS_NAME_ALLOW_REPLACEMENT);
  if (r < 0) return std::fprintf(stderr, "gt-notify-sink: cannot serve %s: %s\n", kInterface, std::strerror(-r)), 1;
  std::puts("ready");
  std::fflush(stdout);
  // Until SIGTERM, or until the bus goes: a sink outliving its test's private bus would only linger.
  while ((r = sd_bus_process(bus, nullptr)) >= 0)
    if (r == 0 && sd_bus_wait(bus, UINT64_MAX) < 0) break;
  return 0;
}
