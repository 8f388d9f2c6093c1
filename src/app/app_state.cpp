#include "app/app_state.h"

#include <QFutureWatcher>
#include <QThreadPool>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>
#include <utility>

#include "core/pairing/clock_config.h"

namespace {

// Probes (2 s), pairing requests (5 s) and notification posts can all be waiting at once; the global
// pool has only as many threads as cores, so slow network calls would queue behind each other there.
// Never destroyed: the listener's reader threads may post to it until the process exits.
QThreadPool* workPool() {
  static QThreadPool* pool = [] {
    auto* p = new QThreadPool;
    p->setMaxThreadCount(16);
    p->setExpiryTimeout(30000);
    return p;
  }();
  return pool;
}

// Runs `work` on the pool and `then` with its result on `context`'s thread; nothing runs if `context`
// is gone by then (the watcher is its child and dies with it).
template <typename Work, typename Then>
void runThen(QObject* context, Work work, Then then) {
  using R = std::invoke_result_t<Work>;
  auto* watcher = new QFutureWatcher<R>(context);
  QObject::connect(watcher, &QFutureWatcherBase::finished, context, [watcher, then = std::move(then)]() mutable {
    watcher->deleteLater();
    then(watcher->result());
  });
  watcher->setFuture(QtConcurrent::run(workPool(), std::move(work)));
}

}  // namespace

struct AppState::Poll {
  std::uint64_t generation = 0;  // bumped by each startPolling; older loops see the change and end
  std::uint64_t refreshSeq = 0;  // bumped by each refresh start and by unpair
};

AppState::AppState(Parts parts, QObject* parent)
    : QObject(parent), parts_(std::move(parts)), poll_(std::make_shared<Poll>()) {}

AppState::~AppState() = default;

void AppState::setConn(gt::ConnState c) {
  conn_ = std::move(c);
  emit connChanged();
}

void AppState::setCfg(std::optional<gt::ClockConfig> c) {
  cfg_ = std::move(c);
  emit cfgChanged();
}

void AppState::refresh(std::function<void()> done) {
  // Refreshes may overlap (the poll loop and a pairing). Only the most recently started one, and none
  // started before an unpair, may write the state, so a slow answer about an older record can never
  // overwrite what a newer load found.
  const std::uint64_t seq = ++poll_->refreshSeq;
  auto finish = [done = std::move(done)] {
    if (done) done();
  };
  runThen(
      this, [] { return gt::ConfigStore::load(); },
      [this, seq, finish](std::optional<gt::ClockConfig> loaded) {
        if (seq != poll_->refreshSeq) return finish();
        setCfg(loaded);
        if (!loaded || loaded->token.empty()) {
          setConn(gt::ConnState::unpaired());
          return finish();
        }
        runThen(
            this, [api = parts_.api, loaded] { return gt::probeState(*api, loaded); },
            [this, seq, finish](gt::ConnState state) {
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
      QTimer::singleShot(parts_.pollInterval, Qt::PreciseTimer, this, [next] { (*next)(); });
    });
  };
  (*turn)();

  // The callback holds only the notifier: it runs on the listener's reader threads and must not
  // touch this object. Each event is posted on its own pool task so slow posts never delay reading.
  if (parts_.listener) {
    parts_.listener->start([notifier = parts_.notifier](gt::AgentEvent event) {
      if (!notifier) return;
      workPool()->start([notifier, event = std::move(event)] { notifier->notify(event); });
    });
  }
}

void AppState::pair(const std::string& host, std::int64_t httpPort, std::int64_t wsPort, const std::string& deviceName,
                    const std::string& code, std::function<void(std::optional<gt::PairFailure>)> done) {
  runThen(
      this,
      [api = parts_.api, host, httpPort, wsPort, deviceName, code] {
        return gt::pairAndStore(*api, host, httpPort, wsPort, deviceName, code);
      },
      [this, done = std::move(done)](std::variant<gt::ClockConfig, gt::PairFailure> result) {
        if (auto* failure = std::get_if<gt::PairFailure>(&result)) {
          if (done) done(*failure);
          return;
        }
        refresh([done] {
          if (done) done(std::nullopt);
        });
      });
}

std::error_code AppState::unpair() {
  if (std::error_code ec = gt::ConfigStore::deleteConfig()) return ec;
  ++poll_->refreshSeq;  // a probe still in flight must not bring the old pairing back
  setCfg(std::nullopt);
  setConn(gt::ConnState::unpaired());
  return {};
}

void AppState::requestNotificationPermission(std::function<void()> done) {
  runThen(
      this,
      [notifier = parts_.notifier] {
        if (notifier) notifier->requestPermission();
        return true;
      },
      [done = std::move(done)](bool) {
        if (done) done();
      });
}
