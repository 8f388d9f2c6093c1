#include "app/app_state.h"

#include <QThreadPool>
#include <QTimer>
#include <utility>

#include "app/background.h"
#include "core/pairing/config_store.h"

namespace gt {

struct AppState::Poll {
  std::uint64_t generation = 0;  // bumped by each startPolling; older loops see the change and end
  std::uint64_t refreshSeq = 0;  // bumped by each refresh start and by unpair
};

AppState::AppState(Parts parts, QObject* parent)
    : QObject(parent), parts_(std::move(parts)), poll_(std::make_shared<Poll>()) {
  if (parts_.settings) quiet_ = parts_.settings->get().quietWhenInFront;
  if (parts_.notifier) parts_.notifier->setQuietWhenInFront(quiet_);
}

AppState::~AppState() {
  // Its callback posts to this object: the listener's thread may not still be in it once this object is gone.
  if (parts_.listener) parts_.listener->stop();
}

bool AppState::finish(std::chrono::steady_clock::time_point deadline) {
  if (parts_.listener) parts_.listener->stop();
  return !parts_.notifier || parts_.notifier->finish(deadline);
}

void AppState::addRecent(AgentEvent event) {
  recent_.push_front({std::move(event), QDateTime::currentDateTime()});
  if (recent_.size() > kRecentEvents) recent_.pop_back();
  emit recentEventsChanged();
}

void AppState::bringBack(const AgentEvent& event) {
  if (parts_.notifier) parts_.notifier->bringBack(event);
}

void AppState::setQuietWhenInFront(bool on) {
  if (on == quiet_) return;
  quiet_ = on;
  if (parts_.notifier) parts_.notifier->setQuietWhenInFront(on);
  emit quietWhenInFrontChanged();
  if (!parts_.settings) return;
  parts_.settings->set(NotifySettings{on});
  runInBackground(
      parts_.pool, this, [settings = parts_.settings] { return settings->save(); },
      [log = parts_.log](const Result<void, Problem<SettingsProblem>>& saved) {
        if (!saved && log) log->error(kLogSubsystem, "settings", "settings not saved: " + saved.error().detail);
      });
}

void AppState::setConn(ConnState c) {
  conn_ = std::move(c);
  emit connChanged();
}

void AppState::setCfg(std::optional<ClockConfig> c) {
  cfg_ = std::move(c);
  emit cfgChanged();
}

void AppState::start() {
  if (started_) return;
  started_ = true;
  requestNotificationPermission([this] { startPolling(); });
}

void AppState::refresh(std::function<void()> done) {
  // Refreshes may overlap (the poll loop and a pairing). Only the most recently started one, and none
  // started before an unpair, may write the state, so a slow answer about an older record can never
  // overwrite what a newer load found.
  const std::uint64_t seq = ++poll_->refreshSeq;
  auto finish = [done = std::move(done)] {
    if (done) done();
  };
  runInBackground(
      parts_.pool, this, [] { return ConfigStore::load(); },
      [this, seq, finish](std::optional<ClockConfig> loaded) {
        if (seq != poll_->refreshSeq) return finish();
        setCfg(loaded);
        if (!loaded || loaded->token.empty()) {
          setConn(ConnState::unpaired());
          return finish();
        }
        runInBackground(
            parts_.pool, this, [api = parts_.api, loaded] { return probeState(*api, loaded); },
            [this, seq, finish](ConnState state) {
              if (seq == poll_->refreshSeq) setConn(std::move(state));
              finish();
            });
      });
}

void AppState::startPolling() {
  const std::uint64_t generation = ++poll_->generation;
  // Each turn refreshes, then waits the interval after the refresh has ended, so the period is the
  // refresh's own duration plus the interval. A newer startPolling makes this loop end at its next turn.
  auto turn = std::make_shared<std::function<void()>>();
  *turn = [this, generation, weakTurn = std::weak_ptr<std::function<void()>>(turn)] {
    if (generation != poll_->generation) return;
    auto next = weakTurn.lock();
    refresh([this, generation, next] {
      if (generation != poll_->generation) return;
      QTimer::singleShot(parts_.pollInterval, Qt::PreciseTimer, this, [this, next] {
        startIntake();
        (*next)();
      });
    });
  };
  (*turn)();

  startIntake();
}

void AppState::startIntake() {
  // Each poll period: a listener that could not start (say, a run folder someone else controls) is tried
  // again, and a running one binds again if its socket was removed, so intake resumes without a restart.
  if (!parts_.listener) return;
  // The callback runs on the listener's thread: it hands the event to the notifier, which queues it
  // for its own thread so neither reading nor probes wait for it, and posts a copy to this object's
  // thread for the panel's list. Both get only what they show: a record may hold a megabyte.
  auto started = parts_.listener->start([this, notifier = parts_.notifier](AgentEvent full) {
    AgentEvent event = shownPart(std::move(full));
    QMetaObject::invokeMethod(
        this, [this, event] { addRecent(event); }, Qt::QueuedConnection);
    if (notifier) notifier->post(std::move(event));
  });
  auto problem = started ? std::nullopt : std::optional(started.error().detail);
  if (problem == intakeProblem_) return;
  intakeProblem_ = std::move(problem);
  emit intakeProblemChanged();
}

void AppState::pair(const std::string& host, std::int64_t httpPort, std::int64_t wsPort, const std::string& deviceName,
                    const std::string& code, std::function<void(Result<void, PairFailure>)> done) {
  runInBackground(
      parts_.pool, this,
      [api = parts_.api, host, httpPort, wsPort, deviceName, code] {
        return pairAndStore(*api, host, httpPort, wsPort, deviceName, code);
      },
      [this, done = std::move(done)](Result<ClockConfig, PairFailure> result) {
        if (!result) {
          if (done) done(fail(result.error()));
          return;
        }
        refresh([done] {
          if (done) done({});
        });
      });
}

Result<void, FileProblem> AppState::unpair() {
  if (auto deleted = ConfigStore::deleteConfig(); !deleted) return deleted;
  ++poll_->refreshSeq;  // a probe still in flight must not bring the old pairing back
  setCfg(std::nullopt);
  setConn(ConnState::unpaired());
  return {};
}

void AppState::requestNotificationPermission(std::function<void()> done) {
  runInBackground(
      parts_.pool, this,
      [notifier = parts_.notifier] {
        if (notifier) notifier->requestPermission();
        return true;
      },
      [done = std::move(done)](bool) {
        if (done) done();
      });
}

}  // namespace gt
