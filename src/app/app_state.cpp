#include "app/app_state.h"

#include <QThreadPool>
#include <QTimer>
#include <utility>

#include "app/background.h"
#include "core/pairing/clock_config.h"

namespace gt {

struct AppState::Poll {
  std::uint64_t generation = 0;  // bumped by each startPolling; older loops see the change and end
  std::uint64_t refreshSeq = 0;  // bumped by each refresh start and by unpair
};

AppState::AppState(Parts parts, QObject* parent)
    : QObject(parent), parts_(std::move(parts)), poll_(std::make_shared<Poll>()) {}

AppState::~AppState() = default;

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
  // A listener that could not start (say, a run folder someone else controls) is tried again each poll
  // period, so intake resumes without a restart once the cause is gone.
  if (!parts_.listener || parts_.listener->isRunning()) return;
  // The callback holds only the notifier: it runs on the listener's threads and must not touch this
  // object. The notifier queues the event for its own thread, so neither reading nor probes wait for it.
  auto problem = parts_.listener->start([notifier = parts_.notifier](AgentEvent event) {
    if (notifier) notifier->post(std::move(event));
  });
  if (problem == intakeProblem_) return;
  intakeProblem_ = std::move(problem);
  emit intakeProblemChanged();
}

void AppState::pair(const std::string& host, std::int64_t httpPort, std::int64_t wsPort, const std::string& deviceName,
                    const std::string& code, std::function<void(std::optional<PairFailure>)> done) {
  runInBackground(
      parts_.pool, this,
      [api = parts_.api, host, httpPort, wsPort, deviceName, code] {
        return pairAndStore(*api, host, httpPort, wsPort, deviceName, code);
      },
      [this, done = std::move(done)](std::variant<ClockConfig, PairFailure> result) {
        if (auto* failure = std::get_if<PairFailure>(&result)) {
          if (done) done(*failure);
          return;
        }
        refresh([done] {
          if (done) done(std::nullopt);
        });
      });
}

std::error_code AppState::unpair() {
  if (std::error_code ec = ConfigStore::deleteConfig()) return ec;
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
