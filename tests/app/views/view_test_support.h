#pragma once
// Stand-ins shared by the view tests: a device that answers pairing requests as told, and a gate that
// holds a pool task until the test lets it go (always with a time limit).
#include <QDir>
#include <QSemaphore>
#include <QWidget>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "core/pairing/clock_api.h"

namespace viewtest {

constexpr int kGateMs = 5000;   // how long a test waits for the view
constexpr int kHoldMs = 15000;  // how long a closed gate holds at most: longer, so a wait cannot pass by time-out

// Blocks callers of wait() while closed; open() lets every waiter and later caller through.
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
  struct PairCall {
    std::string host;
    std::int64_t httpPort;
    std::string code;
  };

  bool probe(const std::string&, std::int64_t, const std::string&) const override { return reachable; }
  gt::PairResult pair(const std::string& host, std::int64_t httpPort, const std::string& code,
                      const std::string&) const override {
    gate.wait();
    std::lock_guard lock(mu_);
    calls_.push_back({host, httpPort, code});
    return answer_;
  }

  void setAnswer(gt::PairResult r) {
    std::lock_guard lock(mu_);
    answer_ = std::move(r);
  }
  std::vector<PairCall> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }

  std::atomic<bool> reachable{true};
  mutable Gate gate;

 private:
  mutable std::mutex mu_;
  gt::PairResult answer_ = gt::PairSuccess{"tok", "phone"};
  mutable std::vector<PairCall> calls_;
};

// With GT_VIEW_SHOTS=<folder> set, saves a picture of the view for a person to look at.
inline void shot(QWidget* w, const char* name) {
  const QByteArray dir = qgetenv("GT_VIEW_SHOTS");
  if (dir.isEmpty()) return;
  QDir().mkpath(QString::fromLocal8Bit(dir));
  w->adjustSize();
  w->resize(320, w->heightForWidth(320) > 0 ? w->heightForWidth(320) : w->sizeHint().height());
  w->grab().save(QString::fromLocal8Bit(dir) + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
}

inline std::unique_ptr<AppState> makeState(std::shared_ptr<FakeDevice> device) {
  AppState::Parts parts;
  parts.api = std::move(device);
  return std::make_unique<AppState>(std::move(parts));
}

}  // namespace viewtest
