#include "core/events/notifier.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

namespace gt {

namespace {

constexpr std::string_view kCategory = "notifier";
// Here notifications are refused only when nothing serves them: there is no per-app switch to point at.
constexpr const char* kNoServiceHint =
    "No notification service answers on the session bus (org.freedesktop.Notifications); start the "
    "desktop's notification daemon (for example dunst or mako) and later events will show";

// Session ids are the agents' own, so they are told apart per agent. "" when the event names none.
std::string sessionKey(const AgentEvent& event) {
  if (!event.origin || event.origin->session.empty()) return {};
  return event.agent + '\n' + event.origin->session;
}

// Adds `key` to `map`, keeping only the kRemembered most recently added keys.
template <typename Map, typename Value>
void keep(Map& map, std::deque<std::string>& order, const std::string& key, Value value) {
  if (map.insert_or_assign(key, std::move(value)).second) order.push_back(key);
  while (order.size() > Notifier::kRemembered) {
    map.erase(order.front());
    order.pop_front();
  }
}

template <typename T>
void pushBounded(std::deque<T>& queue, T item, std::size_t capacity, std::size_t& dropped) {
  if (queue.size() >= capacity) {
    queue.pop_front();
    ++dropped;
  }
  queue.push_back(std::move(item));
}

}  // namespace

struct Notifier::Core {
  Core(std::shared_ptr<NotificationCenter> c, std::shared_ptr<Log> l, std::shared_ptr<AgentReturn> r)
      : center(std::move(c)), log(std::move(l)), agentReturn(std::move(r)) {}

  const std::shared_ptr<NotificationCenter> center;
  const std::shared_ptr<Log> log;
  const std::shared_ptr<AgentReturn> agentReturn;
  std::atomic<bool> quiet{false};

  // What clicks and closing need, each bounded to the most recent kRemembered.
  std::mutex stateLock;
  std::unordered_map<std::string, AgentEvent> events;  // identifier -> event, for clicks
  std::deque<std::string> eventOrder;
  std::unordered_map<std::string, std::string> sessions;  // sessionKey -> identifier of its last notification
  std::deque<std::string> sessionOrder;

  // The worker and its two queues.
  std::mutex lock;
  std::condition_variable changed;
  std::deque<std::pair<AgentEvent, std::string>> clicks;  // event, activation token
  std::deque<AgentEvent> waiting;
  std::size_t dropped = 0;  // notifications dropped since the queue last ran empty
  std::thread worker;
  bool closing = false;   // nothing new is taken
  bool stopping = false;  // the worker ends after its job

  void say(bool error, const std::string& text) const {
    if (!log) return;
    if (error)
      log->error(kLogSubsystem, kCategory, text);
    else
      log->info(kLogSubsystem, kCategory, text);
  }

  // Starts the worker if needed; false when no thread could be made (the job is then lost).
  bool ready() {
    if (worker.joinable()) return true;
    try {
      worker = std::thread([this] { run(); });
      return true;
    } catch (...) {
      return false;
    }
  }

  void run() {
    std::unique_lock<std::mutex> g(lock);
    for (;;) {
      changed.wait(g, [&] { return stopping || !clicks.empty() || !waiting.empty(); });
      if (stopping) break;
      if (!clicks.empty()) {
        auto [event, token] = std::move(clicks.front());
        clicks.pop_front();
        g.unlock();
        bringBackNow(event, token);
      } else {
        AgentEvent event = std::move(waiting.front());
        waiting.pop_front();
        const std::size_t lost = waiting.empty() ? std::exchange(dropped, 0) : 0;
        g.unlock();
        if (lost) say(true, "notification queue full: dropped the " + std::to_string(lost) + " oldest events");
        notify(event);
      }
      g.lock();
    }
  }

  void bringBackNow(const AgentEvent& event, const std::string& token) const {
    say(false, agentReturn->bringBack(event, token));
  }

  // The identifier of `event`'s notification, and the identifier of the notification it takes down ("").
  std::pair<std::string, std::string> place(const AgentEvent& event) {
    std::string identifier = "glowticker-" + std::to_string(event.ts) + "-" + event.agent;
    const std::string key = sessionKey(event);
    if (key.empty()) return {std::move(identifier), {}};
    std::lock_guard<std::mutex> g(stateLock);
    std::string previous;
    // The session has moved on: what its last notification asked is answered or stale.
    if (auto it = sessions.find(key); it != sessions.end() && it->second != identifier) previous = it->second;
    keep(sessions, sessionOrder, key, identifier);
    return {std::move(identifier), std::move(previous)};
  }

  void notify(const AgentEvent& event) {
    if (!center) return;
    auto [identifier, previous] = place(event);
    if (!previous.empty())
      if (auto err = center->close(previous)) say(true, "notify close failed: " + *err);
    if (agentReturn && quiet && agentReturn->inFront(event)) {
      say(false, "notify skipped (terminal in front): " + event.title);
      return;
    }
    if (auto missing = center->checkService()) {
      say(true, "notify skipped (" + *missing + "): " + event.title + ". " + kNoServiceHint);
      return;
    }
    if (agentReturn) {
      std::lock_guard<std::mutex> g(stateLock);
      keep(events, eventOrder, identifier, event);
    }
    NotificationRequest request{identifier, event.agent + " \u00B7 " + event.title, event.message,
                                agentReturn != nullptr, event.state == "waiting"};
    if (auto err = center->add(request)) say(true, "notify add failed: " + *err);
  }
};

Notifier::Notifier(std::shared_ptr<NotificationCenter> center, std::shared_ptr<Log> log,
                   std::shared_ptr<AgentReturn> agentReturn)
    : core_(std::make_unique<Core>(std::move(center), std::move(log), std::move(agentReturn))) {
  if (!core_->center || !core_->agentReturn) return;
  // The center drops this handler before the notifier is gone (see the destructor).
  core_->center->setActivationHandler([this](const std::string& identifier, const std::string& token) {
    std::optional<AgentEvent> event;
    {
      std::lock_guard<std::mutex> g(core_->stateLock);
      if (auto it = core_->events.find(identifier); it != core_->events.end()) event = it->second;
    }
    if (event)
      bringBack(*event, token);
    else
      core_->say(false, "clicked a notification no longer known: " + identifier);
  });
}

Notifier::~Notifier() {
  if (core_->center && core_->agentReturn) core_->center->setActivationHandler({});
  stop();
}

void Notifier::post(AgentEvent event) {
  Core& c = *core_;
  std::lock_guard<std::mutex> g(c.lock);
  if (c.closing || !c.ready()) return;
  pushBounded(c.waiting, std::move(event), kMaxWaiting, c.dropped);
  c.changed.notify_all();
}

void Notifier::notify(const AgentEvent& event) { core_->notify(event); }

void Notifier::bringBack(const AgentEvent& event, const std::string& activationToken) {
  Core& c = *core_;
  if (!c.agentReturn) return;
  std::lock_guard<std::mutex> g(c.lock);
  if (c.closing || !c.ready()) return;
  std::size_t ignored = 0;  // a click dropped for newer ones is not worth a log line
  pushBounded(c.clicks, {event, activationToken}, kMaxClicksWaiting, ignored);
  c.changed.notify_all();
}

void Notifier::setQuietWhenInFront(bool on) { core_->quiet = on; }

bool Notifier::quietWhenInFront() const { return core_->quiet; }

void Notifier::stop() {
  Core& c = *core_;
  {
    std::lock_guard<std::mutex> g(c.lock);
    c.closing = c.stopping = true;
    c.changed.notify_all();
  }
  if (c.worker.joinable()) c.worker.join();
}

void Notifier::requestPermission() const {
  const Core& c = *core_;
  if (!c.center) return;
  if (std::optional<std::string> missing = c.center->checkService())
    c.say(true,
          "no notification service (" + *missing + "); notifications will be silently dropped. " + kNoServiceHint);
  else
    c.say(false, "notification service found");
}

}  // namespace gt
