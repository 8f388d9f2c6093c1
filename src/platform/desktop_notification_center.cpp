#include "platform/desktop_notification_center.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace gt {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kAppName = "Glowticker";
// The icon and the desktop file (glowticker.desktop) the desktop shows and groups our notifications under.
constexpr const char* kAppIcon = "glowticker";
constexpr const char* kDesktopEntry = "glowticker";
constexpr const char* kDefaultAction = "default";
constexpr const char* kReturnAction = "open-terminal";
constexpr const char* kReturnLabel = "打开终端";
// How long the signal thread sleeps at most between looks at the bus and at its stop flag.
constexpr int kSignalWaitMs = 1000;
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
// Only the service's current owner may report clicks: the bus resolves the sender name to that owner,
// so another peer on the session bus cannot fake a click and raise a terminal.
constexpr const char* kServerSignalsMatch =
    "type='signal',sender='org.freedesktop.Notifications',path='/org/freedesktop/Notifications',"
    "interface='org.freedesktop.Notifications'";
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
// The server's signals (clicks, tokens, closings) are read by whichever thread holds the connection; a
// thread of our own reads them while no call is running and hands clicks to the handler outside the
// bus lock, so the handler may call back into this center.
class FreedesktopNotificationCenter final : public NotificationCenter {
 public:
  FreedesktopNotificationCenter() {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) return;  // then clicks are not heard; notifications still work
    try {
      signals_ = std::thread([this] { readSignals(); });
    } catch (...) {
    }
  }

  ~FreedesktopNotificationCenter() override {
    stopping_ = true;
    wakeUp();
    if (signals_.joinable()) signals_.join();  // bounded by one bus call and one signal wait
    if (wake_ >= 0) ::close(wake_);
  }

  void setActivationHandler(ActivationHandler handler) override {
    std::lock_guard<std::mutex> guard(handlerMutex_);
    handler_ = std::move(handler);
  }

  std::optional<std::string> close(const std::string& identifier) override {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!ids_.count(identifier)) return std::nullopt;
    Deadline deadline;
    std::string problem;
    if (!connected(deadline, problem)) return problem;  // signals read here may say it is closed already
    auto it = ids_.find(identifier);
    if (it == ids_.end()) return std::nullopt;
    if (status_ == AuthorizationStatus::denied) return problem_;
    const std::uint32_t id = it->second;
    forget(identifier);
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &m, kService, kPath, kInterface, "CloseNotification");
    if (r < 0) return std::string("Could not build the request to close a notification: ") + std::strerror(-r);
    MessagePtr call(m);
    if ((r = sd_bus_message_append(call.get(), "u", id)) < 0)
      return std::string("Could not build the request to close a notification: ") + std::strerror(-r);
    MessagePtr reply;
    if (!callAndWait(call.get(), deadline, reply, problem))
      return "The desktop notification service did not close the notification: " + problem;
    return std::nullopt;
  }

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
      actions_ = false;
      if (sd_bus_message_enter_container(reply.get(), 'a', "s") >= 0) {
        const char* cap = nullptr;
        while (sd_bus_message_read_basic(reply.get(), 's', &cap) > 0) {
          if (cap && std::strcmp(cap, "body-markup") == 0) markup_ = true;
          if (cap && std::strcmp(cap, "actions") == 0) actions_ = true;
        }
      }
    }
    std::string body = *markup_ ? escapeMarkup(request.body) : request.body;
    std::uint32_t replaces = 0;
    if (auto it = ids_.find(request.identifier); it != ids_.end()) replaces = it->second;

    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &m, kService, kPath, kInterface, "Notify");
    if (r < 0) return std::string("Could not build the notification: ") + std::strerror(-r);
    MessagePtr call(m);
    r = sd_bus_message_append(call.get(), "susss", kAppName, replaces, kAppIcon, request.title.c_str(), body.c_str());
    if (r >= 0 && request.offerReturn && actions_)
      r = sd_bus_message_append(call.get(), "as", 4, kDefaultAction, kReturnLabel, kReturnAction, kReturnLabel);
    else if (r >= 0)
      r = sd_bus_message_append(call.get(), "as", 0);
    if (r >= 0) r = sd_bus_message_append(call.get(), "a{sv}", 1, "desktop-entry", "s", kDesktopEntry);
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
    tokens_.clear();
  }

  // Runs with mutex_ held, on whichever thread is reading the bus.
  static int onServerSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FreedesktopNotificationCenter*>(userdata);
    std::uint32_t id = 0;
    const char* text = nullptr;
    if (sd_bus_message_is_signal(m, kInterface, "NotificationClosed")) {
      if (sd_bus_message_read(m, "u", &id) >= 0)
        if (const std::string* identifier = self->identifierOf(id)) self->forget(*identifier);
    } else if (sd_bus_message_is_signal(m, kInterface, "ActivationToken")) {
      // Sent just before the click it belongs to.
      if (sd_bus_message_read(m, "us", &id, &text) >= 0 && self->identifierOf(id)) self->tokens_[id] = text;
    } else if (sd_bus_message_is_signal(m, kInterface, "ActionInvoked")) {
      const std::string* identifier = nullptr;
      if (sd_bus_message_read(m, "us", &id, &text) >= 0 && (identifier = self->identifierOf(id)) &&
          (std::strcmp(text, kDefaultAction) == 0 || std::strcmp(text, kReturnAction) == 0)) {
        std::string token;
        if (auto t = self->tokens_.find(id); t != self->tokens_.end()) token = std::move(t->second);
        self->tokens_.erase(id);
        if (self->clicks_.size() < kRememberedIdentifiers) self->clicks_.emplace_back(*identifier, std::move(token));
        self->wakeUp();
      }
    }
    return 0;
  }

  const std::string* identifierOf(std::uint32_t id) const {
    for (const auto& [identifier, shown] : ids_)
      if (shown == id) return &identifier;
    return nullptr;
  }

  void forget(std::string identifier) {  // by value: it may point into ids_ or order_
    if (auto it = ids_.find(identifier); it != ids_.end()) {
      tokens_.erase(it->second);
      ids_.erase(it);
    }
    for (auto o = order_.begin(); o != order_.end(); ++o)
      if (*o == identifier) {
        order_.erase(o);
        break;
      }
  }

  void wakeUp() {
    if (wake_ < 0) return;
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }

  // The signal thread: reads what the server sent while no call runs, hands clicks to the handler, then
  // sleeps on a copy of the bus socket (the connection may be replaced meanwhile) until it or the wake
  // counter stirs.
  void readSignals() {
    while (!stopping_) {
      int busFd = -1;
      short events = POLLIN;
      std::vector<std::pair<std::string, std::string>> clicks;
      {
        std::lock_guard<std::mutex> guard(mutex_);
        if (bus_) {
          int r;
          while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
          }
          if (r < 0 || sd_bus_is_open(bus_.get()) <= 0) {
            disconnect();
          } else {
            busFd = ::fcntl(sd_bus_get_fd(bus_.get()), F_DUPFD_CLOEXEC, 0);
            if (int e = sd_bus_get_events(bus_.get()); e > 0) events = static_cast<short>(e);
          }
        }
        clicks.swap(clicks_);
      }
      if (!clicks.empty()) {
        std::lock_guard<std::mutex> guard(handlerMutex_);
        for (auto& [identifier, token] : clicks)
          if (handler_) handler_(identifier, token);
      }
      pollfd fds[2] = {{wake_, POLLIN, 0}, {busFd, events, 0}};
      if (!stopping_) ::poll(fds, busFd >= 0 ? 2 : 1, kSignalWaitMs);
      if (busFd >= 0) ::close(busFd);
      std::uint64_t count;
      (void)!::read(wake_, &count, sizeof count);
    }
  }

  void disconnect() {
    bus_.reset();
    forgetService();
  }

  AuthorizationStatus statusLocked(const Deadline& deadline, std::string& problem) {
    if (!connected(deadline, problem)) return AuthorizationStatus::denied;
    if (!status_) {
      // As with a notification: a service that changes hands while we ask is asked again.
      MessagePtr reply;
      bool answered = callNoArgs("GetServerInformation", deadline, reply, problem);
      for (int again = 0; again < 2 && !answered && ownerChanged_ && !deadline.passed(); ++again)
        answered = callNoArgs("GetServerInformation", deadline, reply, problem);
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
    if (r >= 0) r = sd_bus_add_match_async(bus.get(), nullptr, kServerSignalsMatch, onServerSignal, nullptr, this);
    if (r < 0) {
      connectProblem_ = problem = noBus(r);
      retryAt_ = std::chrono::steady_clock::now() + kReconnectPause;
      return false;
    }
    bus_ = std::move(bus);
    wakeUp();  // the signal thread starts watching the new connection
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
      // Nobody owning the name is not cached: a server that has just started may not have been announced
      // to us yet, and the bus answers the next call at once either way.
      if (sd_bus_error_has_name(err, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
          sd_bus_error_has_name(err, SD_BUS_ERROR_NAME_HAS_NO_OWNER))
        status_.reset();
      else if (sd_bus_error_has_name(err, SD_BUS_ERROR_NO_REPLY))
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
    while (order_.size() > kRememberedIdentifiers) forget(order_.front());
  }

  std::mutex mutex_;  // guards everything below it, held across bus calls
  BusPtr bus_;
  std::optional<bool> markup_;  // set once the capabilities are known, with actions_
  bool actions_ = false;
  std::optional<AuthorizationStatus> status_;
  std::string problem_;  // why status_ is denied
  bool ownerChanged_ = false;
  std::chrono::steady_clock::time_point retryAt_;
  std::string connectProblem_;
  std::unordered_map<std::string, std::uint32_t> ids_;
  std::deque<std::string> order_;                            // insertion order, oldest first
  std::unordered_map<std::uint32_t, std::string> tokens_;    // server id -> activation token
  std::vector<std::pair<std::string, std::string>> clicks_;  // (identifier, token) not yet handed on

  std::mutex handlerMutex_;  // held while the handler runs
  ActivationHandler handler_;
  std::atomic<bool> stopping_{false};
  int wake_ = -1;        // eventfd: a click to hand on, a new connection, or stop
  std::thread signals_;  // last: started once everything above exists
};

}  // namespace

std::shared_ptr<NotificationCenter> makeDesktopNotificationCenter() {
  return std::make_shared<FreedesktopNotificationCenter>();
}

}  // namespace gt
