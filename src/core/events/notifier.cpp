#include "core/events/notifier.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

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

// A session's events may share a time stamp with another session's: its id keeps them apart.
std::string identifierOf(const AgentEvent& event) {
  std::string id = "glowticker-" + std::to_string(event.ts) + "-" + event.agent;
  if (event.origin && !event.origin->session.empty()) id += "-" + event.origin->session;
  return id;
}

// Where the grapheme cluster holding byte `at` of `text` begins; `at` itself when ICU cannot say.
std::size_t clusterStart(const std::string& text, std::size_t at) {
  // Never inside a UTF-8 sequence, whatever ICU makes of bytes that are not UTF-8.
  while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
  UErrorCode status = U_ZERO_ERROR;
  // The cluster is decided by a few characters around `at`: look at no more than that.
  const std::size_t from = at > 64 ? at - 64 : 0, to = std::min(text.size(), at + 64);
  UText* ut = utext_openUTF8(nullptr, text.data() + from, static_cast<std::int64_t>(to - from), &status);
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  std::size_t start = at;
  if (U_SUCCESS(status)) {
    it->setText(ut, status);
    const std::int32_t rel = static_cast<std::int32_t>(at - from);
    if (U_SUCCESS(status))
      start = it->isBoundary(rel) ? at : from + static_cast<std::size_t>(std::max(it->preceding(rel), 0));
  }
  utext_close(ut);
  return start;
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
  std::unordered_map<std::string, AgentEvent> events;  // identifier -> event without its message, for clicks
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
  bool busy = false;      // the worker is doing a job
  bool showing = false;   // that job is a notification: one more not shown if the end comes first
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
        busy = true;
        g.unlock();
        bringBackNow(event, token);
      } else {
        AgentEvent event = std::move(waiting.front());
        waiting.pop_front();
        const std::size_t lost = waiting.empty() ? std::exchange(dropped, 0) : 0;
        busy = showing = true;
        g.unlock();
        if (lost) say(true, "notification queue full: dropped the " + std::to_string(lost) + " oldest events");
        notify(event);
      }
      g.lock();
      busy = showing = false;
      changed.notify_all();
    }
  }

  void bringBackNow(const AgentEvent& event, const std::string& token) const {
    say(false, agentReturn->bringBack(event, token));
  }

  // The identifier of the session's last notification, "" when none.
  std::string lastOf(const std::string& key) {
    std::lock_guard<std::mutex> g(stateLock);
    auto it = sessions.find(key);
    return it == sessions.end() ? std::string() : it->second;
  }

  // The identifier of `event`'s notification, and the identifier of the notification it takes down ("").
  std::pair<std::string, std::string> place(const AgentEvent& event, const std::string& key) {
    std::string identifier = identifierOf(event);
    if (key.empty()) return {std::move(identifier), {}};
    std::lock_guard<std::mutex> g(stateLock);
    std::string previous;
    // The session has moved on: what its last notification asked is answered or stale.
    if (auto it = sessions.find(key); it != sessions.end() && it->second != identifier) previous = it->second;
    keep(sessions, sessionOrder, key, identifier);
    return {std::move(identifier), std::move(previous)};
  }

  void notify(const AgentEvent& full) {
    if (!center) return;
    const AgentEvent event = shownPart(full);
    const std::string key = sessionKey(event);
    // A reminder repeats what the session's notification still on screen says, in vaguer words.
    if (event.state == "reminder" && !key.empty())
      if (std::string up = lastOf(key); !up.empty() && center->isShown(up)) {
        say(false, "notify skipped (its session's notification is still up): " + event.title);
        return;
      }
    auto [identifier, previous] = place(event, key);
    if (!previous.empty())
      if (NotifyResult closed = center->close(previous); !closed)
        say(true, "notify close failed: " + closed.error().detail);
    if (agentReturn && quiet && agentReturn->inFront(event)) {
      say(false, "notify skipped (terminal in front): " + event.title);
      return;
    }
    if (NotifyResult there = center->checkService(); !there) {
      say(true, "notify skipped (" + there.error().detail + "): " + event.title + ". " + kNoServiceHint);
      return;
    }
    if (agentReturn) {
      AgentEvent forClick = event;
      forClick.message.clear();
      std::lock_guard<std::mutex> g(stateLock);
      keep(events, eventOrder, identifier, std::move(forClick));
    }
    NotificationRequest request{identifier, event.agent + " \u00B7 " + event.title, event.message,
                                agentReturn != nullptr, event.state == "waiting" || event.state == "reminder"};
    if (NotifyResult added = center->add(request); !added) say(true, "notify add failed: " + added.error().detail);
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
  finish(std::chrono::steady_clock::time_point::min());
  if (core_->worker.joinable()) core_->worker.join();
}

void Notifier::post(AgentEvent event) {
  Core& c = *core_;
  std::lock_guard<std::mutex> g(c.lock);
  if (c.closing || !c.ready()) return;
  pushBounded(c.waiting, shownPart(std::move(event)), kMaxWaiting, c.dropped);
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

bool Notifier::finish(std::chrono::steady_clock::time_point deadline) {
  Core& c = *core_;
  std::unique_lock<std::mutex> g(c.lock);
  c.closing = true;
  c.changed.wait_until(g, deadline, [&] { return c.waiting.empty() && c.clicks.empty() && !c.busy; });
  const std::size_t left = c.waiting.size() + std::exchange(c.dropped, 0) + (c.showing ? 1 : 0);
  c.waiting.clear();
  c.clicks.clear();
  c.stopping = true;
  c.changed.notify_all();
  const bool idle = !c.busy;
  g.unlock();
  if (left) c.say(true, "ending: " + std::to_string(left) + " events not shown");
  return idle;
}

void Notifier::requestPermission() const {
  const Core& c = *core_;
  if (!c.center) return;
  if (NotifyResult there = c.center->checkService(); !there)
    c.say(true, "no notification service (" + there.error().detail + "); notifications will be silently dropped. " +
                    kNoServiceHint);
  else
    c.say(false, "notification service found");
}

std::string cutText(std::string text, std::size_t maxBytes) {
  static constexpr std::string_view kEllipsis = "\u2026";
  if (text.size() <= maxBytes) return text;
  if (maxBytes < kEllipsis.size()) return {};
  std::string out = text.substr(0, clusterStart(text, maxBytes - kEllipsis.size()));  // not the long one's storage
  return out.append(kEllipsis);
}

AgentEvent shownPart(AgentEvent event) {
  event.title = cutText(std::move(event.title), Notifier::kMaxTitle);
  event.message = cutText(std::move(event.message), Notifier::kMaxBody);
  return event;
}

}  // namespace gt
