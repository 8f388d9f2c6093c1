#pragma once
// The app and view tests' stand-in device, a bounded gate for pool tasks, a temporary store, the pool and
// a fixture of the three.
#include <QSemaphore>
#include <QThreadPool>
#include <QWidget>
#include <QtTest>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "app/app_state.h"
#include "app/panel_services.h"
#include "core/pairing/config_store.h"
#include "support/event_support.h"
#include "support/test_files.h"

namespace apptest {

constexpr int kGateMs = 5000;   // how long a test waits for the code under test
constexpr int kHoldMs = 15000;  // how long a closed gate holds at most: longer, so a wait cannot pass by time-out

class Gate {
 public:
  void close() {
    sem_.tryAcquire(sem_.available());  // permits left by an earlier open() must not let a waiter through
    closed_ = true;
  }
  void open() {
    closed_ = false;
    sem_.release(1000);
  }
  void wait() {
    if (closed_) sem_.tryAcquire(1, kHoldMs);
  }

 private:
  std::atomic<bool> closed_{false};
  QSemaphore sem_;
};

class FakeDevice : public gt::ClockAPI {
 public:
  bool probe(const std::string& host, std::int64_t port, const std::string& token) const override {
    probes.push(host + " " + std::to_string(port) + " " + token);
    std::this_thread::sleep_for(probeDelay.load());
    return reachable;
  }
  gt::PairResult pair(const std::string& host, std::int64_t port, const std::string& code,
                      const std::string& client) const override {
    gate.wait();
    if (client.empty()) return gt::fail(gt::PairError::transport("no client name"));  // the app must name itself
    pairs.push(host + " " + std::to_string(port) + " " + code);
    std::lock_guard lock(mu_);
    return answer_;
  }
  void setAnswer(gt::PairResult r) {
    std::lock_guard lock(mu_);
    answer_ = std::move(r);
  }
  std::atomic<bool> reachable{true};
  std::atomic<std::chrono::milliseconds> probeDelay{std::chrono::milliseconds(0)};
  mutable Gate gate;
  mutable gt::test::SharedList<std::string> probes, pairs;  // each call as "host port codeOrToken"

 private:
  mutable std::mutex mu_;
  gt::PairResult answer_ = gt::PairSuccess{"tok-123", "Name The Phone Reports"};
};

// Never destroyed and as wide as the app's: a test's cleanup waits for it to drain instead.
inline QThreadPool* pool() {
  static QThreadPool* p = new QThreadPool;
  p->setMaxThreadCount(16);  // the same on every call
  return p;
}

inline gt::ClockConfig record(std::string name = "客厅的手机", std::string token = "tok-abc") {
  return {std::move(name), "127.0.0.1", 8765, 8766, std::move(token), "2026-03-01T09:05:07Z"};
}

// For each test a stand-in device, the app state on it (without a listener or a notifier: the end-to-end
// scripts see events become notifications) and a pairing store in a fresh temporary folder: init() calls
// setUp(), cleanup() tearDown().
struct StateFixture {
  std::optional<gt::test::TempDir> home_;
  std::shared_ptr<FakeDevice> device_;
  std::unique_ptr<gt::AppState> state_;
  void setUp() {
    gt::ConfigStore::setBaseDir(home_.emplace().path() / "base");
    device_ = std::make_shared<FakeDevice>();
    gt::AppState::Parts parts;
    parts.pool = pool();
    parts.api = device_;
    state_ = std::make_unique<gt::AppState>(std::move(parts));
  }
  void tearDown() {
    device_->gate.open();
    state_.reset();
    pool()->waitForDone(kGateMs);  // no task may still use the store or the fakes
    gt::ConfigStore::resetBaseDir();
    home_.reset();
  }
};

// Services that find nothing, install nothing and open nothing.
inline gt::PanelServices services() {
  return {pool(),
          [] { return gt::DeviceSearch{}; },
          [](gt::AgentID, bool) { return gt::HookResult(gt::HookSuccess{}); },
          [](gt::AgentID) { return false; },
          [] {},
          [] {}};
}

// Each named child of root as one character: '+' shown and enabled, 'x' shown but disabled, '-' hidden.
inline QString looks(const QWidget* root, const char* names) {
  QString out;
  for (const QString& name : QString::fromLatin1(names).split(u' ')) {
    const auto* w = root->findChild<QWidget*>(name);
    out += !w ? u'?' : !w->isVisible() ? u'-' : w->isEnabled() ? u'+' : u'x';
  }
  return out;
}

// Bounded: a refresh against the fake device ends in well under a second.
inline bool refreshAndWait(gt::AppState& state) {
  bool done = false;
  state.refresh([&] { done = true; });
  return QTest::qWaitFor([&] { return done; }, kGateMs);
}

}  // namespace apptest
