#include "platform/desktop_notification_center.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace gt {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kAppName = "Glowticker";
// One budget for a whole operation (connect, ask, notify), far below sd-bus's 25 s default: a
// wedged notification server must not hold an event for long.
constexpr std::chrono::microseconds kOperationBudget{3'000'000};
// Identifiers live only as long as the notification is likely still on screen; old ones are forgotten.
constexpr std::size_t kRememberedIdentifiers = 256;

struct Deadline {
  std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now() + kOperationBudget;
  // Never 0: sd-bus reads a zero time-out as "use the 25 s default".
  std::uint64_t leftUsec() const {
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(at - std::chrono::steady_clock::now()).count();
    return left > 0 ? static_cast<std::uint64_t>(left) : 1;
  }
  bool passed() const { return std::chrono::steady_clock::now() >= at; }
};

struct BusDeleter {
  // No flush: calls are synchronous, and a flush on a half-open connection has no time limit.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;

// Owns an sd_bus_error for the length of one call.
struct BusError {
  sd_bus_error err = SD_BUS_ERROR_NULL;
  ~BusError() { sd_bus_error_free(&err); }
  std::string describe(int r) const {
    if (err.message && *err.message) return err.message;
    if (err.name && *err.name) return err.name;
    return std::strerror(-r);
  }
};

// sd-bus objects are not thread-safe, so every call gets its own short-lived connection. The
// connection is driven to the ready state here under the call time-out: sd_bus_call alone would wait
// up to sd-bus's 90 s authentication time-out for a bus that accepts and never answers.
BusPtr openSessionBus(const Deadline& deadline, std::string& problem) {
  sd_bus* raw = nullptr;
  int r = sd_bus_open_user(&raw);
  if (r < 0) {
    problem = std::string("Could not connect to the desktop session bus (") + std::strerror(-r) +
              "); is a graphical session running?";
    return nullptr;
  }
  BusPtr bus(raw);
  sd_bus_set_method_call_timeout(bus.get(), static_cast<std::uint64_t>(kOperationBudget.count()));
  while ((r = sd_bus_is_ready(bus.get())) == 0) {
    r = sd_bus_process(bus.get(), nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    if (deadline.passed()) {
      r = -ETIMEDOUT;
      break;
    }
    r = sd_bus_wait(bus.get(), deadline.leftUsec());
    if (r < 0) break;
  }
  if (r < 0) {
    problem = std::string("Could not connect to the desktop session bus (") + std::strerror(-r) +
              "); is a graphical session running?";
    return nullptr;
  }
  return bus;
}

bool callNoArgs(sd_bus* bus, const char* member, const Deadline& deadline, MessagePtr& reply, std::string& problem) {
  sd_bus_message* m = nullptr;
  int r = sd_bus_message_new_method_call(bus, &m, kService, kPath, kInterface, member);
  if (r < 0) {
    problem = std::strerror(-r);
    return false;
  }
  MessagePtr call(m);
  BusError error;
  sd_bus_message* rep = nullptr;
  r = sd_bus_call(bus, call.get(), deadline.leftUsec(), &error.err, &rep);
  if (r < 0) {
    problem = "The desktop notification service did not answer: " + error.describe(r);
    return false;
  }
  reply.reset(rep);
  return true;
}

// False when the server does not answer; then `problem` says why.
bool askBodyMarkup(sd_bus* bus, const Deadline& deadline, bool& markup, std::string& problem) {
  MessagePtr reply;
  if (!callNoArgs(bus, "GetCapabilities", deadline, reply, problem)) return false;
  markup = false;
  if (sd_bus_message_enter_container(reply.get(), 'a', "s") < 0) return true;
  const char* cap = nullptr;
  while (sd_bus_message_read_basic(reply.get(), 's', &cap) > 0)
    if (cap && std::strcmp(cap, "body-markup") == 0) markup = true;
  return true;
}

std::string escapeMarkup(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

class FreedesktopNotificationCenter final : public NotificationCenter {
 public:
  AuthorizationStatus authorizationStatus() override {
    Deadline deadline;
    std::string problem;
    BusPtr bus = openSessionBus(deadline, problem);
    if (!bus) return AuthorizationStatus::denied;
    MessagePtr reply;
    return callNoArgs(bus.get(), "GetServerInformation", deadline, reply, problem) ? AuthorizationStatus::authorized
                                                                                   : AuthorizationStatus::denied;
  }

  AuthorizationAnswer requestAuthorization() override {
    // There is no permission prompt on this desktop: a notification service that answers is consent.
    return AuthorizationAnswer{authorizationStatus() == AuthorizationStatus::authorized, std::nullopt};
  }

  std::optional<std::string> add(const NotificationRequest& request) override {
    Deadline deadline;
    std::string problem;
    BusPtr bus = openSessionBus(deadline, problem);
    if (!bus) return problem;
    // A server that cannot say what it renders would not take the notification either, so its
    // silence ends the call here rather than costing a second time-out.
    bool markup = false;
    if (!askBodyMarkup(bus.get(), deadline, markup, problem)) return problem;
    std::string body = markup ? escapeMarkup(request.body) : request.body;

    // Held across the Notify call so two requests with one identifier cannot both miss the
    // remembered id and show two notifications.
    std::lock_guard<std::mutex> addGuard(addMutex_);
    std::uint32_t replaces = rememberedId(request.identifier);

    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus.get(), &m, kService, kPath, kInterface, "Notify");
    if (r < 0) return std::string("Could not build the notification: ") + std::strerror(-r);
    MessagePtr call(m);
    r = sd_bus_message_append(call.get(), "susss", kAppName, replaces, "", request.title.c_str(), body.c_str());
    if (r >= 0) r = sd_bus_message_append(call.get(), "as", 0);
    if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 0);
    if (r >= 0) r = sd_bus_message_append(call.get(), "i", static_cast<std::int32_t>(-1));
    if (r < 0) return std::string("Could not build the notification: ") + std::strerror(-r);

    BusError error;
    sd_bus_message* rep = nullptr;
    r = sd_bus_call(bus.get(), call.get(), deadline.leftUsec(), &error.err, &rep);
    if (r < 0) return "The desktop notification service did not take the notification: " + error.describe(r);
    MessagePtr reply(rep);
    std::uint32_t id = 0;
    if (sd_bus_message_read(reply.get(), "u", &id) < 0)
      return std::string("The desktop notification service gave an unreadable answer.");
    remember(request.identifier, id);
    return std::nullopt;
  }

 private:
  std::uint32_t rememberedId(const std::string& identifier) {
    std::lock_guard<std::mutex> guard(mapMutex_);
    auto it = ids_.find(identifier);
    return it == ids_.end() ? 0 : it->second;
  }

  void remember(const std::string& identifier, std::uint32_t id) {
    std::lock_guard<std::mutex> guard(mapMutex_);
    auto [it, inserted] = ids_.insert_or_assign(identifier, id);
    (void)it;
    if (!inserted) return;
    order_.push_back(identifier);
    while (order_.size() > kRememberedIdentifiers) {
      ids_.erase(order_.front());
      order_.pop_front();
    }
  }

  std::mutex addMutex_;
  std::mutex mapMutex_;
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::deque<std::string> order_;  // insertion order, oldest first
};

}  // namespace

std::shared_ptr<NotificationCenter> makeDesktopNotificationCenter() {
  return std::make_shared<FreedesktopNotificationCenter>();
}

}  // namespace gt
