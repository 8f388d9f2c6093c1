#pragma once
#include <QDateTime>
#include <QObject>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/events/event_listener.h"
#include "core/events/notifier.h"
#include "core/events/notify_settings.h"
#include "core/pairing/conn_state.h"
#include "core/pairing/pairing_flow.h"
#include "core/pairing/pairing_record.h"
#include "core/pairing/phone_client.h"

class QThreadPool;

namespace gt {

// The one owner of lasting state: link state, pairing record, poll loop, event intake. Lives on the UI
// thread; `conn` and `cfg` are read and written only there. Network work runs on the given pool and its
// results come back to the UI thread.
class AppState : public QObject {
  Q_OBJECT
 public:
  struct Parts {
    QThreadPool* pool = nullptr;  // must outlive this object
    std::shared_ptr<ClockAPI> api;
    std::shared_ptr<EventListener> listener;
    std::shared_ptr<Notifier> notifier;
    std::chrono::milliseconds pollInterval{10000};  // sleep between the end of one refresh and the next
    std::shared_ptr<SettingsStore> settings;        // loaded already; null keeps the settings in memory only
    std::shared_ptr<Log> log;                       // hears why the settings could not be saved
  };

  // One event as the panel lists it, with the time it arrived.
  struct RecentEvent {
    AgentEvent event;
    QDateTime arrived;
  };
  static constexpr std::size_t kRecentEvents = 10;

  explicit AppState(Parts parts, QObject* parent = nullptr);
  ~AppState() override;

  const ConnState& conn() const { return conn_; }
  const std::optional<ClockConfig>& cfg() const { return cfg_; }
  bool isOnline() const { return conn_.isOnline(); }
  // Why agents' events cannot arrive (the event socket could not be opened), or nullopt; as one line for
  // the panel and the tray's tooltip.
  const std::optional<std::string>& intakeProblem() const { return intakeProblem_; }
  std::optional<std::string> intakeProblemLine() const {
    if (!intakeProblem_) return std::nullopt;
    return "无法接收 agent 事件：" + *intakeProblem_;
  }

  // The last kRecentEvents events, newest first, whether or not they became notifications; their texts
  // cut as notifications cut them.
  const std::deque<RecentEvent>& recentEvents() const { return recent_; }
  // Does what clicking the event's notification does, on the notifier's worker.
  void bringBack(const AgentEvent& event);
  // "终端在前台时不提醒"; a change is saved in the background.
  bool quietWhenInFront() const { return quiet_; }
  void setQuietWhenInFront(bool on);

  // The start-up sequence, once: ask for notification permission, then start polling and event intake.
  void start();
  // The orderly end: takes no more events (the socket goes) and shows what waits until `deadline`, then
  // logs how many were not shown. False when a call to the notification service is still running.
  bool finish(std::chrono::steady_clock::time_point deadline);
  // Reloads the pairing file and probes the device; `done` runs on the UI thread afterwards.
  void refresh(std::function<void()> done = {});
  // (Re)starts the poll loop (first refresh at once) and starts the event listener.
  void startPolling();
  // Pairs, stores the record, then refreshes; `done` hears how it went.
  void pair(const std::string& host, std::int64_t httpPort, std::int64_t wsPort, const std::string& deviceName,
            const std::string& code, std::function<void(Result<void, PairFailure>)> done);
  // Deletes the record; on success cfg is cleared and conn becomes unpaired.
  Result<void, FileProblem> unpair();
  // Asks the notifier for permission off the UI thread; `done` runs on the UI thread afterwards.
  void requestNotificationPermission(std::function<void()> done = {});

 signals:
  // Emitted on every assignment, whether or not the value differs.
  void connChanged();
  void cfgChanged();
  void intakeProblemChanged();
  void recentEventsChanged();
  void quietWhenInFrontChanged();

 private:
  void setConn(ConnState c);
  void setCfg(std::optional<ClockConfig> c);
  void startIntake();
  void addRecent(AgentEvent event);

  Parts parts_;
  ConnState conn_;
  std::optional<ClockConfig> cfg_;
  std::optional<std::string> intakeProblem_;
  std::deque<RecentEvent> recent_;
  bool quiet_ = false;
  struct Poll;
  std::shared_ptr<Poll> poll_;
  bool started_ = false;
};

}  // namespace gt
