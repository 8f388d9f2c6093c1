#include "core/events/notifier.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <optional>
#include <unordered_map>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

namespace gt {

namespace {

constexpr std::string_view kCategory = "notifier";
// Here notifications are refused only when nothing serves them: there is no per-app switch to point at.
constexpr const char* kNoServiceHint =
    "No notification service answers on the session bus (org.freedesktop.Notifications); start the "
    "desktop's notification daemon (for example dunst or mako) and later events will show";

}  // namespace

// One worker thread, started on first use, running jobs in order; at most `capacity` wait, and on
// overflow the oldest are dropped and counted until the queue next runs empty.
struct Notifier::Queue {
  Queue(std::size_t capacity, std::function<void(std::size_t)> onDropped)
      : capacity(capacity), onDropped(std::move(onDropped)) {}
  ~Queue() { stop(); }

  void push(std::function<void()> job) {
    std::lock_guard<std::mutex> g(lock);
    if (stopping) return;
    if (!worker.joinable()) {
      try {
        worker = std::thread([this] { run(); });
      } catch (...) {
        return;  // no thread to run it: the job is lost, the caller carries on
      }
    }
    if (waiting.size() >= capacity) {
      waiting.pop_front();
      ++dropped;
    }
    waiting.push_back(std::move(job));
    changed.notify_all();
  }

  // Waits for the job in progress, if any; those still waiting are dropped.
  void stop() {
    {
      std::lock_guard<std::mutex> g(lock);
      stopping = true;
      changed.notify_all();
    }
    if (worker.joinable()) worker.join();
  }

  void run() {
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      changed.wait(g, [&] { return stopping || !waiting.empty(); });
      if (stopping) return;
      std::function<void()> next = std::move(waiting.front());
      waiting.pop_front();
      std::size_t lost = waiting.empty() ? std::exchange(dropped, 0) : 0;
      g.unlock();
      if (lost && onDropped) onDropped(lost);
      next();
      g.lock();
    }
  }

  const std::size_t capacity;
  const std::function<void(std::size_t)> onDropped;
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::function<void()>> waiting;
  std::size_t dropped = 0;
  bool stopping = false;
  std::thread worker;
};

// What clicks and closing need to remember, each bounded to the most recent kRemembered.
struct Notifier::State {
  std::atomic<bool> quiet{false};
  std::mutex lock;
  std::unordered_map<std::string, AgentEvent> events;  // identifier -> event, for clicks
  std::deque<std::string> eventOrder;
  std::unordered_map<std::string, std::string> shown;  // agent session -> identifier of its last notification
  std::deque<std::string> sessionOrder;

  template <typename Map, typename Value>
  static void keep(Map& map, std::deque<std::string>& order, const std::string& key, Value value) {
    if (map.insert_or_assign(key, std::move(value)).second) order.push_back(key);
    while (order.size() > kRemembered) {
      map.erase(order.front());
      order.pop_front();
    }
  }
};

namespace {

// Session ids are the agents' own, so they are told apart per agent. "" when the event names none.
std::string sessionKey(const AgentEvent& event) {
  if (!event.origin || event.origin->session.empty()) return {};
  return event.agent + '\n' + event.origin->session;
}

}  // namespace

Notifier::Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log,
                   std::shared_ptr<AgentReturn> agentReturn)
    : center_(std::move(center)),
      log_(std::move(log)),
      return_(std::move(agentReturn)),
      state_(std::make_unique<State>()),
      queue_(std::make_unique<Queue>(kMaxWaiting,
                                     [this](std::size_t dropped) {
                                       if (log_)
                                         log_->error(kLogSubsystem, kCategory,
                                                     "notification queue full: dropped the " +
                                                         std::to_string(dropped) + " oldest events");
                                     })),
      returns_(std::make_unique<Queue>(8, nullptr)) {
  if (!center_ || !return_) return;
  center_->setActivationHandler([this](const std::string& identifier, const std::string& token) {
    std::optional<AgentEvent> event;
    {
      std::lock_guard<std::mutex> g(state_->lock);
      if (auto it = state_->events.find(identifier); it != state_->events.end()) event = it->second;
    }
    if (!event) {
      if (log_) log_->info(kLogSubsystem, kCategory, "clicked a notification no longer known: " + identifier);
      return;
    }
    returns_->push([this, event = std::move(*event), token] { bringBack(event, token); });
  });
}

Notifier::~Notifier() {
  if (center_ && return_) center_->setActivationHandler({});  // no click may reach a half-destroyed notifier
  returns_->stop();
  queue_->stop();
}

void Notifier::post(AgentEvent event) {
  queue_->push([this, event = std::move(event)] { notify(event); });
}

void Notifier::setQuietWhenInFront(bool on) { state_->quiet = on; }

bool Notifier::quietWhenInFront() const { return state_->quiet; }

void Notifier::bringBack(const AgentEvent& event, const std::string& activationToken) const {
  if (!return_) return;
  std::string line = return_->bringBack(event, activationToken);
  if (log_) log_->info(kLogSubsystem, kCategory, line);
}

std::string Notifier::identifierFor(const AgentEvent& event) {
  return "glowticker-" + std::to_string(event.ts) + "-" + event.agent;
}

std::string Notifier::titleFor(const AgentEvent& event) { return event.agent + " \u00B7 " + event.title; }

void Notifier::notify(const AgentEvent& event) const {
  if (!center_) return;
  const std::string identifier = identifierFor(event);
  // The session has moved on: what its last notification asked is answered or stale.
  if (const std::string session = sessionKey(event); !session.empty()) {
    std::string previous;
    {
      std::lock_guard<std::mutex> g(state_->lock);
      if (auto it = state_->shown.find(session); it != state_->shown.end() && it->second != identifier)
        previous = it->second;
      State::keep(state_->shown, state_->sessionOrder, session, identifier);
    }
    if (!previous.empty())
      if (auto err = center_->close(previous); err && log_)
        log_->error(kLogSubsystem, kCategory, "notify close failed: " + *err);
  }
  if (return_ && state_->quiet && return_->inFront(event)) {
    if (log_) log_->info(kLogSubsystem, kCategory, "notify skipped (terminal in front): " + event.title);
    return;
  }
  if (auto missing = center_->checkService()) {
    if (log_)
      log_->error(kLogSubsystem, kCategory,
                  "notify skipped (" + *missing + "): " + event.title + ". " + kNoServiceHint);
    return;
  }
  if (return_) {
    std::lock_guard<std::mutex> g(state_->lock);
    State::keep(state_->events, state_->eventOrder, identifier, event);
  }
  NotificationRequest request{identifier, titleFor(event), event.message, return_ != nullptr};
  if (auto err = center_->add(request); err && log_)
    log_->error(kLogSubsystem, kCategory, "notify add failed: " + *err);
}

void Notifier::requestPermission() const {
  if (!center_) return;
  std::optional<std::string> missing = center_->checkService();
  if (log_ && missing)
    log_->error(
        kLogSubsystem, kCategory,
        "no notification service (" + *missing + "); notifications will be silently dropped. " + kNoServiceHint);
  else if (log_)
    log_->info(kLogSubsystem, kCategory, "notification service found");
}

}  // namespace gt
