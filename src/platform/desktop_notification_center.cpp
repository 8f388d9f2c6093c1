#include "platform/desktop_notification_center.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
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
// One budget for a whole operation (connect, ask, notify), far below sd-bus's 25 s default: a
// wedged notification server must not hold an event for long.
constexpr std::chrono::microseconds kOperationBudget{3'000'000};
// Identifiers live only as long as the notification is likely still on screen; old ones are forgotten.
constexpr std::size_t kRememberedIdentifiers = 256;
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

std::string escapeMarkup(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else if (c == '&')
      out += "&amp;";
    else
      out += c;
  }
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
    if (wake_ < 0) return;  // then every call fails with kNoLoop
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
    onLoop(false, [&] { return handler_ = std::move(handler), true; });
  }

  std::optional<std::string> close(const std::string& identifier) override {
    return onLoop<std::optional<std::string>>(kNoLoop, [&]() -> std::optional<std::string> {
      if (!find(identifier)) return std::nullopt;
      Deadline deadline;
      std::string problem;
      if (!connected(deadline, problem)) return problem;  // signals read here may say it is closed already
      const Shown* shown = find(identifier);
      if (!shown) return std::nullopt;
      if (answers_ == false) return problem_;
      const std::uint32_t id = shown->id;
      std::erase_if(shown_, [&](const Shown& s) { return s.id == id; });
      MessagePtr call = newCall("CloseNotification"), reply;
      if (!call || sd_bus_message_append(call.get(), "u", id) < 0)
        return std::string("Could not build the request to close a notification.");
      if (!callAndWait(call.get(), deadline, reply, problem))
        return "The desktop notification service did not close the notification: " + problem;
      return std::nullopt;
    });
  }

  std::optional<std::string> checkService() override {
    return onLoop<std::optional<std::string>>(kNoLoop, [&]() -> std::optional<std::string> {
      Deadline deadline;
      std::string problem;
      if (!connected(deadline, problem)) return problem;
      // As with a notification: a service that changes hands while we ask is asked again.
      MessagePtr reply;
      for (int tries = 0; !answers_ && tries < 3 && !deadline.passed() && (tries == 0 || ownerChanged_); ++tries)
        callNoArgs("GetServerInformation", deadline, reply, problem);
      if (answers_ == false) return problem_;
      return answers_ ? std::nullopt : std::optional(problem);
    });
  }

  std::optional<std::string> add(const NotificationRequest& request) override {
    return onLoop<std::optional<std::string>>(kNoLoop, [&] {
      Deadline deadline;
      // A service that changes hands while we call it (a notification daemon restarting, its owner
      // signals arriving late) gets the notification again from the new owner, within the same budget.
      std::optional<std::string> failed = addOnce(request, deadline);
      for (int again = 0; again < 2 && failed && ownerChanged_ && !deadline.passed(); ++again)
        failed = addOnce(request, deadline);
      return failed;
    });
  }

 private:
  static constexpr const char* kNoLoop = "The desktop notification adapter could not start its thread.";

  // Runs `op` on the loop and returns its result; `ifNoLoop` when there is no loop to run it.
  template <class R, class Op>
  R onLoop(R ifNoLoop, Op op) {
    if (std::this_thread::get_id() == loop_.get_id()) return op();  // from the click handler
    std::optional<R> result;
    std::unique_lock<std::mutex> guard(lock_);
    if (!loop_.joinable() || stopping_) return ifNoLoop;
    jobs_.push_back([&] {
      R r = op();
      std::lock_guard<std::mutex> g(lock_);
      result = std::move(r);
      done_.notify_all();
    });
    wakeUp();
    done_.wait(guard, [&] { return result.has_value(); });  // each operation on the loop is bounded
    return std::move(*result);
  }

  void run() {
    for (bool last = false; !last;) {
      std::deque<std::function<void()>> jobs;
      {
        std::lock_guard<std::mutex> guard(lock_);
        jobs.swap(jobs_);
        last = stopping_;
      }
      for (auto& job : jobs) job();
      if (bus_ && !processAll()) disconnect();
      for (auto& [identifier, token] : std::exchange(clicks_, {}))
        if (ActivationHandler handler = handler_) handler(identifier, token);  // a copy: it may replace itself
      pollfd fds[2] = {{wake_, POLLIN, 0}, {bus_ ? sd_bus_get_fd(bus_.get()) : -1, POLLIN, 0}};
      if (bus_) fds[1].events = static_cast<short>(std::max(sd_bus_get_events(bus_.get()), 0));
      if (!last) ::poll(fds, 2, -1);
      std::uint64_t count;
      (void)!::read(wake_, &count, sizeof count);
    }
  }

  void wakeUp() {
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
  }

  // Handles whatever came in; false when the connection is gone.
  bool processAll() {
    int r;
    while ((r = sd_bus_process(bus_.get(), nullptr)) > 0) {
    }
    return r >= 0 && sd_bus_is_open(bus_.get()) > 0;
  }

  std::optional<std::string> addOnce(const NotificationRequest& request, const Deadline& deadline) {
    std::string problem;
    if (!connected(deadline, problem)) return problem;
    if (answers_ == false) return problem_;
    // A server that cannot say what it renders would not take the notification either, so its
    // silence ends the call here rather than costing a second time-out.
    if (!markup_) {
      MessagePtr reply;
      if (!callNoArgs("GetCapabilities", deadline, reply, problem)) return problem;
      markup_ = actions_ = false;
      if (sd_bus_message_enter_container(reply.get(), 'a', "s") >= 0)
        for (const char* cap = nullptr; sd_bus_message_read_basic(reply.get(), 's', &cap) > 0;) {
          if (std::strcmp(cap, "body-markup") == 0) markup_ = true;
          if (std::strcmp(cap, "actions") == 0) actions_ = true;
        }
    }
    std::string body = *markup_ ? escapeMarkup(request.body) : request.body;
    std::uint32_t replaces = 0;
    if (const Shown* shown = find(request.identifier)) replaces = shown->id;

    const char* actions[] = {kDefaultAction, kReturnLabel, kReturnAction, kReturnLabel, nullptr};
    const std::uint8_t urgency = request.waitsForUser ? 2 : 1;  // critical: the server keeps it on screen
    MessagePtr call = newCall("Notify"), reply;
    int r = call ? sd_bus_message_append(call.get(), "susss", kAppName, replaces, kAppIcon, request.title.c_str(),
                                         body.c_str())
                 : -ENOMEM;
    if (r >= 0)
      r = sd_bus_message_append_strv(call.get(),
                                     const_cast<char**>(request.offerReturn && actions_ ? actions : actions + 4));
    if (r >= 0)
      r = sd_bus_message_append(call.get(), "a{sv}i", 2, "desktop-entry", "s", kDesktopEntry, "urgency", "y", urgency,
                                std::int32_t{-1});  // -1: the server's own time-out
    if (r < 0) return std::string("Could not build the notification: ") + std::strerror(-r);
    if (!callAndWait(call.get(), deadline, reply, problem))
      return "The desktop notification service did not take the notification: " + problem;
    std::uint32_t id = 0;
    if (sd_bus_message_read(reply.get(), "u", &id) < 0)
      return std::string("The desktop notification service gave an unreadable answer.");
    if (Shown* shown = find(request.identifier))
      shown->id = id;
    else
      shown_.push_back({request.identifier, id, {}});
    if (shown_.size() > kRememberedIdentifiers) shown_.pop_front();
    return std::nullopt;
  }

  static int onOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FreedesktopNotificationCenter*>(userdata);
    const char *name, *before, *after = "";
    sd_bus_message_read(m, "sss", &name, &before, &after);
    self->owner_ = after;
    self->forgetService();
    self->ownerChanged_ = true;
    return 0;
  }

  static int onOwner(sd_bus_message* m, void* userdata, sd_bus_error*) {
    const char* owner = "";  // none when the name has no owner
    if (!sd_bus_message_is_method_error(m, nullptr)) sd_bus_message_read(m, "s", &owner);
    static_cast<FreedesktopNotificationCenter*>(userdata)->owner_ = owner;
    return 0;
  }

  void forgetService() {
    markup_.reset();
    answers_.reset();
    shown_.clear();  // the new server knows none of the old ids
  }

  static int onServerSignal(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* self = static_cast<FreedesktopNotificationCenter*>(userdata);
    std::uint32_t id = 0;
    const char* text = nullptr;
    const char* sender = sd_bus_message_get_sender(m);
    if (!sender || self->owner_.empty() || self->owner_ != sender) return 0;  // another peer's forgery
    if (sd_bus_message_is_signal(m, kInterface, "NotificationClosed")) {
      if (sd_bus_message_read(m, "u", &id) >= 0)
        std::erase_if(self->shown_, [&](const Shown& s) { return s.id == id; });
    } else if (sd_bus_message_is_signal(m, kInterface, "ActivationToken")) {
      // Sent just before the click it belongs to.
      if (sd_bus_message_read(m, "us", &id, &text) >= 0)
        if (Shown* shown = self->find(id)) shown->token = text;
    } else if (sd_bus_message_is_signal(m, kInterface, "ActionInvoked")) {
      Shown* shown = nullptr;
      if (sd_bus_message_read(m, "us", &id, &text) >= 0 && (shown = self->find(id)) &&
          (std::strcmp(text, kDefaultAction) == 0 || std::strcmp(text, kReturnAction) == 0) &&
          self->clicks_.size() < kRememberedIdentifiers)
        self->clicks_.emplace_back(shown->identifier, std::exchange(shown->token, {}));
    }
    return 0;
  }

  // A notification shown and not yet closed, by our identifier or the server's id.
  struct Shown {
    std::string identifier;
    std::uint32_t id;
    std::string token;  // the activation token the server sent for its click
  };
  Shown* find(std::uint32_t id) {
    auto it = std::ranges::find(shown_, id, &Shown::id);
    return it == shown_.end() ? nullptr : &*it;
  }
  Shown* find(const std::string& identifier) {
    auto it = std::ranges::find(shown_, identifier, &Shown::identifier);
    return it == shown_.end() ? nullptr : &*it;
  }

  void disconnect() {
    bus_.reset();
    forgetService();
  }

  // Reuses the connection while it is open, after handling whatever signals came meanwhile.
  bool connected(const Deadline& deadline, std::string& problem) {
    if (bus_ && processAll()) return true;
    if (bus_) disconnect();
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
    // Answered before anything the service sends in reply to our calls; later changes come as NameOwnerChanged.
    owner_.clear();
    if (r >= 0)
      r = sd_bus_call_method_async(bus.get(), nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "GetNameOwner", onOwner, this, "s", kService);
    if (r < 0) {
      connectProblem_ = problem = std::string("Could not connect to the desktop session bus (") + std::strerror(-r) +
                                  "); is a graphical session running?";
      retryAt_ = std::chrono::steady_clock::now() + kReconnectPause;
      return false;
    }
    bus_ = std::move(bus);
    return true;
  }

  MessagePtr newCall(const char* member) {
    sd_bus_message* m = nullptr;
    sd_bus_message_new_method_call(bus_.get(), &m, kService, kPath, kInterface, member);
    return MessagePtr(m);
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

  // One method call, answered or given up at the deadline, or as soon as the service changes hands.
  // Whether the server answered at all is kept in answers_.
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
        answers_.reset();
      else if (sd_bus_error_has_name(err, SD_BUS_ERROR_NO_REPLY))
        markSilent(problem);
      return false;
    }
    answers_ = true;
    reply = std::move(pending.reply);
    return true;
  }

  bool callNoArgs(const char* member, const Deadline& deadline, MessagePtr& reply, std::string& problem) {
    MessagePtr call = newCall(member);
    if (call && callAndWait(call.get(), deadline, reply, problem)) return true;
    problem = "The desktop notification service did not answer: " + (call ? problem : "no memory");
    if (answers_ == false) problem_ = problem;
    return false;
  }

  // Until the service changes hands, further calls fail at once with this.
  void markSilent(const std::string& why) {
    answers_ = false;
    problem_ = "The desktop notification service did not answer: " + why;
  }

  // Shared between callers and the loop.
  std::mutex lock_;
  std::condition_variable done_;
  std::deque<std::function<void()>> jobs_;
  bool stopping_ = false;
  int wake_ = -1;  // eventfd: an operation to run, or stop

  // The loop's own.
  BusPtr bus_;
  std::optional<bool> markup_;  // set once the capabilities are known, with actions_
  bool actions_ = false;
  std::optional<bool> answers_;  // whether the service answered; false once it let a call time out
  std::string problem_;          // why it counts as silent
  bool ownerChanged_ = false;
  std::string owner_;  // the unique name that owns kService, "" while none does
  std::chrono::steady_clock::time_point retryAt_;
  std::string connectProblem_;
  std::deque<Shown> shown_;  // oldest first; only as long as a notification is likely still on screen
  std::vector<std::pair<std::string, std::string>> clicks_;  // (identifier, token) not yet handed on
  ActivationHandler handler_;
  std::thread loop_;  // last: started once everything above exists
};

}  // namespace

std::shared_ptr<NotificationCenter> makeDesktopNotificationCenter() {
  return std::make_shared<FreedesktopNotificationCenter>();
}

}  // namespace gt
