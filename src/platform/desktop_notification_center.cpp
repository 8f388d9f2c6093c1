#include "platform/desktop_notification_center.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace gt {

namespace {

using Result = NotifyResult;
using Clock = std::chrono::steady_clock;
using MessagePtr = std::unique_ptr<sd_bus_message, decltype([](sd_bus_message* m) { sd_bus_message_unref(m); })>;
// No flush on closing: a flush on a half-open connection has no time limit.
using BusPtr = std::unique_ptr<sd_bus, decltype([](sd_bus* bus) { sd_bus_close_unref(bus); })>;

constexpr const char* kService = "org.freedesktop.Notifications";  // also its interface
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kAppName = "Glowticker";
// The icon and the desktop file (glowticker.desktop) the desktop shows and groups our notifications under.
constexpr const char* kAppId = "glowticker";
constexpr const char* kDefaultAction = "default";
constexpr const char* kReturnAction = "open-terminal";
constexpr const char* kReturnLabel = "打开终端";
// One budget for a whole operation (connect, ask, notify), far below sd-bus's 25 s default: a
// wedged notification server must not hold an event for long.
constexpr auto kOperationBudget = std::chrono::seconds(3);
// Notifications are remembered only as long as they are likely still on screen; the oldest are forgotten.
constexpr std::size_t kRemembered = 256;
// After a failed connection attempt, calls fail at once for this long instead of each paying for
// another attempt at a wedged bus.
constexpr auto kReconnectPause = std::chrono::seconds(1);

constexpr const char* kOwnerChangedMatch =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',interface='org.freedesktop.DBus',"
    "member='NameOwnerChanged',arg0='org.freedesktop.Notifications'";
// The bus resolves this sender to the service's owner only for broadcast signals: a signal addressed to
// us is delivered from any peer, so each one's sender is also checked against the owner (owner_).
constexpr const char* kServerSignalsMatch =
    "type='signal',sender='org.freedesktop.Notifications',path='/org/freedesktop/Notifications',"
    "interface='org.freedesktop.Notifications'";

std::string escapeMarkup(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '<' ? "&lt;" : c == '>' ? "&gt;" : c == '&' ? "&amp;" : std::string_view(&c, 1);
  return out;
}

// One thread owns the bus connection and runs one poll loop over it, as a notification daemon does:
// callers hand their operation to it and wait for the result; replies and the server's signals (clicks,
// tokens, closings) are read there, and clicks go to the handler from there. No lock is held across a
// bus call. What the server can do and whether it answers are asked once and kept until the service
// changes hands (NameOwnerChanged) or the connection drops; a server that let a call time out counts as
// silent until then, so a wedged server costs one time-out, not one per event.
class FreedesktopNotificationCenter final : public NotificationCenter {
 public:
  FreedesktopNotificationCenter() {
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) return;  // then every call fails
    try {
      loop_ = std::thread([this] { run(); });
    } catch (...) {
    }
  }

  ~FreedesktopNotificationCenter() override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    wakeUp();
    if (loop_.joinable()) loop_.join();  // bounded by the operation in progress
    if (wake_ >= 0) ::close(wake_);
  }

  // The handler is called only on the loop, so once the loop has taken the new one the old is done.
  void setActivationHandler(ActivationHandler handler) override {
    (void)onLoop([&] { return handler_ = std::move(handler), Result(); });
  }

  Result close(const std::string& identifier) override {
    return onLoop([&]() -> Result {
      const Shown* shown = find(identifier, &Shown::identifier);  // the server may have closed it already
      if (!shown) return Result();
      const std::uint32_t id = shown->id;
      std::erase_if(shown_, [&](const Shown& s) { return s.id == id; });
      return call("CloseNotification", nullptr, [&](sd_bus_message* m) { return sd_bus_message_append(m, "u", id); });
    });
  }

  Result checkService() override {
    return onLoop([&] { return retried([&] { return answers_ ? Result() : call("GetServerInformation"); }); });
  }

  bool isShown(const std::string& identifier) override {
    bool shown = false;
    (void)onLoop([&] { return shown = find(identifier, &Shown::identifier) != nullptr, Result(); });
    return shown;
  }

  Result add(const NotificationRequest& request) override {
    return onLoop([&] { return retried([&] { return addOnce(request); }); });
  }

 private:
  // A notification shown and not yet closed, by our identifier or the server's id.
  struct Shown {
    std::string identifier;
    std::uint32_t id;
    std::string token;  // the activation token the server sent for its click
  };

  // Runs `op` on the loop, within one budget and after handling whatever came in, and returns its result.
  Result onLoop(const std::function<Result()>& op) {
    auto job = [&] {
      deadline_ = Clock::now() + kOperationBudget;
      catchUp();
      return op();
    };
    if (std::this_thread::get_id() == loop_.get_id()) return job();  // from the click handler
    std::packaged_task<Result()> task(job);
    std::future<Result> result = task.get_future();
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (!loop_.joinable() || stopping_)
        return fail(NotifyProblem::noService, "The desktop notification adapter could not start its thread.");
      jobs_.push_back(std::move(task));
    }
    wakeUp();
    return result.get();  // each operation on the loop is bounded
  }

  void run() {
    for (bool last = false; !last;) {
      std::deque<std::packaged_task<Result()>> jobs;
      {
        std::lock_guard<std::mutex> guard(lock_);
        jobs.swap(jobs_);
        last = stopping_;
      }
      for (auto& job : jobs) job();
      // Until nothing is left that sd-bus has read already: poll would not report it.
      for (catchUp(); !clicks_.empty(); catchUp())
        for (auto& [identifier, token] : std::exchange(clicks_, {}))
          if (ActivationHandler handler = handler_) handler(identifier, token);  // a copy: it may replace itself
      pollfd fds[2] = {{wake_, POLLIN, 0}, {-1, 0, 0}};
      if (bus_) fds[1] = {sd_bus_get_fd(bus_.get()), static_cast<short>(std::max(sd_bus_get_events(bus_.get()), 0)), 0};
      if (!last) ::poll(fds, 2, -1);
      std::uint64_t count;
      (void)!::read(wake_, &count, sizeof count);
    }
  }

  void wakeUp() {
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }

  // Handles whatever came in: replies, the server's signals, a dropped connection.
  void catchUp() {
    int r = 0;
    while (bus_ && (r = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    if (bus_ && (r < 0 || sd_bus_is_open(bus_.get()) <= 0)) disconnect();
  }

  // A service that changes hands while we call it (a notification daemon restarting, its owner signals
  // arriving late) is asked again, of its new owner, within the same budget.
  Result retried(const std::function<Result()>& once) {
    Result failed = once();
    for (int again = 0; again < 2 && !failed && ownerChanged_ && Clock::now() < deadline_; ++again) failed = once();
    return failed;
  }

  Result addOnce(const NotificationRequest& request) {
    // A server that cannot say what it renders would not take the notification either, so its silence
    // ends the call here rather than costing a second time-out.
    MessagePtr reply;
    if (!markup_) {
      if (Result asked = call("GetCapabilities", &reply); !asked) return asked;
      markup_ = actions_ = false;
      if (sd_bus_message_enter_container(reply.get(), 'a', "s") >= 0)
        for (const char* cap = nullptr; sd_bus_message_read_basic(reply.get(), 's', &cap) > 0;) {
          markup_ = *markup_ || std::strcmp(cap, "body-markup") == 0;
          actions_ = actions_ || std::strcmp(cap, "actions") == 0;
        }
    }
    const std::string body = *markup_ ? escapeMarkup(request.body) : request.body;
    Shown* shown = find(request.identifier, &Shown::identifier);
    const std::uint32_t replaces = shown ? shown->id : 0;
    const char* actions[] = {kDefaultAction, kReturnLabel, kReturnAction, kReturnLabel, nullptr};
    const std::uint8_t urgency = request.waitsForUser ? 2 : 1;  // critical: the server keeps it on screen
    Result notified = call("Notify", &reply, [&](sd_bus_message* m) {
      int r = sd_bus_message_append(m, "susss", kAppName, replaces, kAppId, request.title.c_str(), body.c_str());
      if (r >= 0)
        r = sd_bus_message_append_strv(m, const_cast<char**>(request.offerReturn && actions_ ? actions : actions + 4));
      return r < 0 ? r  // -1: the server's own time-out
                   : sd_bus_message_append(m, "a{sv}i", 2, "desktop-entry", "s", kAppId, "urgency", "y", urgency, -1);
    });
    std::uint32_t id = 0;
    if (!notified) return notified;
    if (sd_bus_message_read(reply.get(), "u", &id) < 0)
      return fail(NotifyProblem::refused, "The desktop notification service gave an unreadable answer.");
    if ((shown = find(request.identifier, &Shown::identifier)))  // again: signals were read meanwhile
      shown->id = id;
    else
      shown_.push_back({request.identifier, id, {}});
    if (shown_.size() > kRemembered) shown_.pop_front();
    return {};
  }

  // The service's owner: the answer to GetNameOwner (an error when it has none), or NameOwnerChanged.
  static int onOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FreedesktopNotificationCenter*>(userdata);
    const char* owner = "";
    if (sd_bus_message_is_signal(m, nullptr, "NameOwnerChanged")) {
      sd_bus_message_skip(m, "ss");
      self->forgetService();
      self->ownerChanged_ = true;
    }
    if (!sd_bus_message_is_method_error(m, nullptr)) sd_bus_message_read(m, "s", &owner);
    self->owner_ = owner;
    return 0;
  }

  static int onServerSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FreedesktopNotificationCenter*>(userdata);
    std::uint32_t id = 0;
    const char* text = "";
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || self->owner_ != sender || sd_bus_message_read(m, "u", &id) < 0) return 0;  // a forgery
    Shown* shown = self->find(id, &Shown::id);
    if (!shown) return 0;
    if (sd_bus_message_is_signal(m, kService, "NotificationClosed"))
      std::erase_if(self->shown_, [&](const Shown& s) { return s.id == id; });
    else if (sd_bus_message_is_signal(m, kService, "ActivationToken") && sd_bus_message_read(m, "s", &text) >= 0)
      shown->token = text;  // sent just before the click it belongs to
    else if (sd_bus_message_is_signal(m, kService, "ActionInvoked") && sd_bus_message_read(m, "s", &text) >= 0 &&
             (std::strcmp(text, kDefaultAction) == 0 || std::strcmp(text, kReturnAction) == 0) &&
             self->clicks_.size() < kRemembered)
      self->clicks_.emplace_back(shown->identifier, std::exchange(shown->token, {}));
    return 0;
  }

  template <class Key>
  Shown* find(const Key& key, Key Shown::*field) {
    auto it = std::ranges::find(shown_, key, field);
    return it == shown_.end() ? nullptr : &*it;
  }

  void forgetService() {
    markup_.reset();
    answers_ = false;
    silent_.clear();
    shown_.clear();  // the new server knows none of the old ids
  }

  void disconnect() {
    bus_.reset();
    forgetService();
  }

  // Drives `bus` until `done()`; the last sd-bus result, -ETIMEDOUT once the operation's budget is spent.
  int drive(sd_bus* bus, const std::function<bool()>& done) {
    int r = 0;
    while (r >= 0 && !done()) {
      r = sd_bus_process(bus, nullptr);
      if (r == 0) r = Clock::now() < deadline_ ? sd_bus_wait(bus, usecLeft()) : -ETIMEDOUT;
    }
    return r;
  }

  // Never 0: sd-bus reads a zero time-out as "use the 25 s default".
  std::uint64_t usecLeft() const {
    return std::max<std::int64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now()).count(), 1);
  }

  // Opens the connection unless it is open, within the budget.
  Result connect() {
    if (bus_) return {};
    if (Clock::now() < retryAt_) return fail(NotifyProblem::noService, connectProblem_);
    sd_bus* raw = nullptr;
    int r = sd_bus_open_user(&raw);
    BusPtr bus(raw);
    // Driven to the ready state here: otherwise the first call would wait up to sd-bus's 90 s
    // authentication time-out for a bus that accepts and never answers.
    if (r >= 0) r = drive(bus.get(), [&] { return sd_bus_is_ready(bus.get()) != 0; });
    if (r >= 0) r = sd_bus_add_match_async(bus.get(), nullptr, kOwnerChangedMatch, onOwner, nullptr, this);
    if (r >= 0) r = sd_bus_add_match_async(bus.get(), nullptr, kServerSignalsMatch, onServerSignal, nullptr, this);
    // Answered before anything the service sends in reply to our calls; later changes come as NameOwnerChanged.
    owner_.clear();
    if (r >= 0)
      r = sd_bus_call_method_async(bus.get(), nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "GetNameOwner", onOwner, this, "s", kService);
    if (r < 0) {
      retryAt_ = Clock::now() + kReconnectPause;
      connectProblem_ = std::string("Could not connect to the desktop session bus (") + std::strerror(-r) +
                        "); is a graphical session running?";
      return fail(NotifyProblem::noService, connectProblem_);
    }
    bus_ = std::move(bus);
    return {};
  }

  // Calls `member` of the service with the arguments `append` adds and waits for the reply, until the
  // budget is spent or the service changes hands. A service that let a call time out counts as silent.
  Result call(const char* member, MessagePtr* reply = nullptr,
              const std::function<int(sd_bus_message*)>& append = nullptr) {
    if (Result connected = connect(); !connected) return connected;
    if (!silent_.empty()) return fail(NotifyProblem::noAnswer, silent_);
    const std::string failed = std::string("The desktop notification service failed ") + member + ": ";
    sd_bus_message* m = nullptr;
    int r = sd_bus_message_new_method_call(bus_.get(), &m, kService, kPath, kService, member);
    MessagePtr request(m), answer;
    if (r >= 0 && append) r = append(m);
    if (r < 0)
      return fail(NotifyProblem::refused, failed + "the request could not be built (" + std::strerror(-r) + ")");
    auto keep = [](sd_bus_message* a, void* to, sd_bus_error*) {
      static_cast<MessagePtr*>(to)->reset(sd_bus_message_ref(a));
      return 1;
    };
    sd_bus_slot* slot = nullptr;
    ownerChanged_ = false;
    r = sd_bus_call_async(bus_.get(), &slot, m, keep, &answer, usecLeft());
    if (r >= 0) r = drive(bus_.get(), [&] { return answer || ownerChanged_; });
    sd_bus_slot_unref(slot);  // a reply still to come is dropped with it
    const sd_bus_error* err = answer ? sd_bus_message_get_error(answer.get()) : nullptr;
    if (r == -ETIMEDOUT || (err && sd_bus_error_has_name(err, SD_BUS_ERROR_NO_REPLY))) {
      answers_ = false;
      return fail(NotifyProblem::noAnswer, silent_ = failed + "no answer in time");  // until the service changes hands
    }
    if (r < 0) return disconnect(), fail(NotifyProblem::noService, failed + std::strerror(-r));
    if (!answer) return fail(NotifyProblem::noService, failed + "the service changed hands");
    // An error is not kept: nobody owning the name may be a server that has just started and not been
    // announced to us yet, and the bus answers the next call at once either way.
    // Nobody owning the name is an error of the bus, not of a server.
    if (err)
      return fail(
          sd_bus_error_has_name(err, SD_BUS_ERROR_SERVICE_UNKNOWN) ? NotifyProblem::noService : NotifyProblem::refused,
          failed + (err->message && *err->message ? err->message : err->name));
    answers_ = true;
    if (reply) *reply = std::move(answer);
    return {};
  }

  // Shared between callers and the loop.
  std::mutex lock_;
  std::deque<std::packaged_task<Result()>> jobs_;
  bool stopping_ = false;
  int wake_ = -1;  // eventfd: an operation to run, or stop

  // The loop's own.
  BusPtr bus_;
  Clock::time_point deadline_;  // of the operation running
  Clock::time_point retryAt_;
  std::string connectProblem_;
  std::string owner_;           // the unique name that owns kService, "" while none does
  bool ownerChanged_ = false;   // since the call running began
  bool answers_ = false;        // the service has answered a call
  std::string silent_;          // why it counts as silent, "" while it does not
  std::optional<bool> markup_;  // set once the capabilities are known, with actions_
  bool actions_ = false;
  std::deque<Shown> shown_;                                  // oldest first
  std::vector<std::pair<std::string, std::string>> clicks_;  // (identifier, token) not yet handed on
  ActivationHandler handler_;
  std::thread loop_;  // last: started once everything above exists
};

}  // namespace

std::shared_ptr<NotificationCenter> makeDesktopNotificationCenter() {
  return std::make_shared<FreedesktopNotificationCenter>();
}

}  // namespace gt
