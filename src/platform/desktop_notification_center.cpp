#include "platform/desktop_notification_center.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
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
  // No flush: a flush on a half-open connection has no time limit.
  void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
  void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;

std::string describe(const sd_bus_error* err, int r) {
  if (err && err->message && *err->message) return err->message;
  if (err && err->name && *err->name) return err->name;
  return std::strerror(r < 0 ? -r : r);
}

std::string noBus(int r) {
  return std::string("Could not connect to the desktop session bus (") + std::strerror(-r) +
         "); is a graphical session running?";
}

constexpr const char* kOwnerChangedMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg0='org.freedesktop.Notifications'";
// After a failed connection attempt, calls fail at once for this long instead of each paying for
// another attempt at a wedged bus.
constexpr auto kReconnectPause = std::chrono::seconds(1);

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

// One connection for the life of the process; sd-bus objects are not thread-safe, so every use is
// under one mutex. What the server can do and whether it answers are asked once and kept until the
// service changes hands (NameOwnerChanged) or the connection drops; a server that let a call time out
// counts as denied until then, so a wedged server costs one time-out, not one per event.
class FreedesktopNotificationCenter final : public NotificationCenter {
 public:
  AuthorizationStatus authorizationStatus() override {
    std::lock_guard<std::mutex> guard(mutex_);
    Deadline deadline;
    std::string problem;
    return statusLocked(deadline, problem);
  }

  AuthorizationAnswer requestAuthorization() override {
    // There is no permission prompt on this desktop: a notification service that answers is consent.
    return AuthorizationAnswer{authorizationStatus() == AuthorizationStatus::authorized, std::nullopt};
  }

  std::optional<std::string> add(const NotificationRequest& request) override {
    std::lock_guard<std::mutex> guard(mutex_);
    Deadline deadline;
    // A service that changes hands while we call it (a notification daemon restarting, its owner
    // signals arriving late) gets the notification again from the new owner, within the same budget.
    std::optional<std::string> failed = addLocked(request, deadline);
    for (int again = 0; again < 2 && failed && ownerChanged_ && !deadline.passed(); ++again)
      failed = addLocked(request, deadline);
    return failed;
  }

 private:
  std::optional<std::string> addLocked(const NotificationRequest& request, const Deadline& deadline) {
    std::string problem;
    if (!connected(deadline, problem)) return problem;
    if (status_ == AuthorizationStatus::denied) return problem_;
    // A server that cannot say what it renders would not take the notification either, so its
    // silence ends the call here rather than costing a second time-out.
    if (!markup_) {
      MessagePtr reply;
      if (!callNoArgs("GetCapabilities", deadline, reply, problem)) return problem;
      markup_ = false;
      if (sd_bus_message_enter_container(reply.get(), 'a', "s") >= 0) {
        const char* cap = nullptr;
        while (sd_bus_message_read_basic(reply.get(), 's', &cap) > 0)
          if (cap && std::strcmp(cap, "body-markup") == 0) markup_ = true;
      }
    }
    std::string body = *markup_ ? escapeMarkup(request.body) : request.body;
    std::uint32_t replaces = 0;
    if (auto it = ids_.find(request.identifier); it != ids_.end()) replaces = it->second;

    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &m, kService, kPath, kInterface, "Notify");
    if (r < 0) return std::string("Could not build the notification: ") + std::strerror(-r);
    MessagePtr call(m);
    r = sd_bus_message_append(call.get(), "susss", kAppName, replaces, "", request.title.c_str(), body.c_str());
    if (r >= 0) r = sd_bus_message_append(call.get(), "as", 0);
    if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 0);
    if (r >= 0) r = sd_bus_message_append(call.get(), "i", static_cast<std::int32_t>(-1));
    if (r < 0) return std::string("Could not build the notification: ") + std::strerror(-r);
    MessagePtr reply;
    if (!callAndWait(call.get(), deadline, reply, problem))
      return "The desktop notification service did not take the notification: " + problem;
    std::uint32_t id = 0;
    if (sd_bus_message_read(reply.get(), "u", &id) < 0)
      return std::string("The desktop notification service gave an unreadable answer.");
    remember(request.identifier, id);
    return std::nullopt;
  }

  struct Pending {
    MessagePtr reply;
    bool done = false;
  };

  static int onReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* pending = static_cast<Pending*>(userdata);
    pending->reply.reset(sd_bus_message_ref(m));
    pending->done = true;
    return 1;
  }

  static int onOwnerChanged(sd_bus_message*, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FreedesktopNotificationCenter*>(userdata);
    self->forgetService();
    self->ownerChanged_ = true;
    return 0;
  }

  void forgetService() {
    markup_.reset();
    status_.reset();
    ids_.clear();  // the new server knows none of the old ids
    order_.clear();
  }

  void disconnect() {
    bus_.reset();
    forgetService();
  }

  AuthorizationStatus statusLocked(const Deadline& deadline, std::string& problem) {
    if (!connected(deadline, problem)) return AuthorizationStatus::denied;
    if (!status_) {
      MessagePtr reply;
      callNoArgs("GetServerInformation", deadline, reply, problem);
    }
    return status_.value_or(AuthorizationStatus::denied);
  }

  // Reuses the connection while it is open, after handling whatever signals came meanwhile.
  bool connected(const Deadline& deadline, std::string& problem) {
    if (bus_) {
      int r;
      while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
      }
      if (r >= 0 && sd_bus_is_open(bus_.get()) > 0) return true;
      disconnect();
    }
    if (std::chrono::steady_clock::now() < retryAt_) return problem = connectProblem_, false;
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    BusPtr bus(raw);
    // Driven to the ready state here under the call time-out: otherwise the first call would wait
    // up to sd-bus's 90 s authentication time-out for a bus that accepts and never answers.
    while (r >= 0 && (r = sd_bus_is_ready(bus.get())) == 0) {
      r = sd_bus_process(bus.get(), nullptr);
      if (r != 0) continue;
      r = deadline.passed() ? -ETIMEDOUT : sd_bus_wait(bus.get(), deadline.leftUsec());
    }
    if (r >= 0) r = sd_bus_add_match_async(bus.get(), nullptr, kOwnerChangedMatch, onOwnerChanged, nullptr, this);
    if (r < 0) {
      connectProblem_ = problem = noBus(r);
      retryAt_ = std::chrono::steady_clock::now() + kReconnectPause;
      return false;
    }
    bus_ = std::move(bus);
    return true;
  }

  // One method call, answered or given up at the deadline, or as soon as the service changes hands.
  // Whether the server answered at all decides the cached status.
  bool callAndWait(sd_bus_message* call, const Deadline& deadline, MessagePtr& reply, std::string& problem) {
    Pending pending;
    sd_bus_slot* slot = nullptr;
    ownerChanged_ = false;
    int r = sd_bus_call_async(bus_.get(), &slot, call, onReply, &pending, deadline.leftUsec());
    while (r >= 0 && !pending.done && !ownerChanged_) {
      r = sd_bus_process(bus_.get(), nullptr);
      if (r != 0) continue;
      r = deadline.passed() ? -ETIMEDOUT : sd_bus_wait(bus_.get(), deadline.leftUsec());
    }
    sd_bus_slot_unref(slot);  // a reply still to come is dropped with it
    if (!pending.done) {
      problem = ownerChanged_ ? "the service changed hands" : describe(nullptr, r);
      if (r == -ETIMEDOUT) markSilent(problem);
      if (r < 0 && r != -ETIMEDOUT) disconnect();
      return false;
    }
    if (const sd_bus_error* err = sd_bus_message_get_error(pending.reply.get())) {
      problem = describe(err, sd_bus_message_get_errno(pending.reply.get()));
      if (sd_bus_error_has_name(err, SD_BUS_ERROR_NO_REPLY) || sd_bus_error_has_name(err, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
          sd_bus_error_has_name(err, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        markSilent(problem);
      return false;
    }
    status_ = AuthorizationStatus::authorized;
    reply = std::move(pending.reply);
    return true;
  }

  bool callNoArgs(const char* member, const Deadline& deadline, MessagePtr& reply, std::string& problem) {
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &m, kService, kPath, kInterface, member);
    if (r < 0) return problem = std::strerror(-r), false;
    MessagePtr call(m);
    if (callAndWait(call.get(), deadline, reply, problem)) return true;
    problem = "The desktop notification service did not answer: " + problem;
    if (status_ == AuthorizationStatus::denied) problem_ = problem;
    return false;
  }

  // Until the service changes hands, further calls fail at once with this.
  void markSilent(const std::string& why) {
    status_ = AuthorizationStatus::denied;
    problem_ = "The desktop notification service did not answer: " + why;
  }

  void remember(const std::string& identifier, std::uint32_t id) {
    auto [it, inserted] = ids_.insert_or_assign(identifier, id);
    (void)it;
    if (!inserted) return;
    order_.push_back(identifier);
    while (order_.size() > kRememberedIdentifiers) {
      ids_.erase(order_.front());
      order_.pop_front();
    }
  }

  std::mutex mutex_;  // guards everything below, held across bus calls
  BusPtr bus_;
  std::optional<bool> markup_;
  std::optional<AuthorizationStatus> status_;
  std::string problem_;  // why status_ is denied
  bool ownerChanged_ = false;
  std::chrono::steady_clock::time_point retryAt_;
  std::string connectProblem_;
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::deque<std::string> order_;  // insertion order, oldest first
};

}  // namespace

std::shared_ptr<NotificationCenter> makeDesktopNotificationCenter() {
  return std::make_shared<FreedesktopNotificationCenter>();
}

}  // namespace gt
