// AppState against a stand-in device (a ClockAPI subclass), a real pairing store in a temporary base
// directory, and a real event socket with a recording notification centre.
#include "app/app_state.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "core/pairing/clock_config.h"

namespace {

class FakeDevice : public gt::ClockAPI {
 public:
  bool reachable = true;
  std::chrono::milliseconds probeDelay{0};
  gt::PairResult pairAnswer = gt::PairSuccess{"tok-123", "Name The Phone Reports"};

  bool probe(const std::string& host, std::int64_t httpPort, const std::string& token) const override {
    {
      std::lock_guard lock(mu_);
      probes_.push_back({host, httpPort, token, clock_.elapsed()});
    }
    if (probeDelay.count() > 0) std::this_thread::sleep_for(probeDelay);
    return reachable;
  }
  gt::PairResult pair(const std::string& host, std::int64_t httpPort, const std::string& code,
                      const std::string& client) const override {
    std::lock_guard lock(mu_);
    pairs_.push_back({host, httpPort, code, client});
    return pairAnswer;
  }

  struct Probe {
    std::string host;
    std::int64_t port;
    std::string token;
    qint64 atMs;
  };
  struct Pair {
    std::string host;
    std::int64_t port;
    std::string code;
    std::string client;
  };
  std::vector<Probe> probes() const {
    std::lock_guard lock(mu_);
    return probes_;
  }
  std::vector<Pair> pairs() const {
    std::lock_guard lock(mu_);
    return pairs_;
  }
  FakeDevice() { clock_.start(); }

 private:
  mutable std::mutex mu_;
  mutable std::vector<Probe> probes_;
  mutable std::vector<Pair> pairs_;
  QElapsedTimer clock_;
};

class RecordingCenter : public gt::NotificationCenter {
 public:
  gt::AuthorizationStatus authorizationStatus() override { return gt::AuthorizationStatus::authorized; }
  gt::AuthorizationAnswer requestAuthorization() override {
    ++permissionRequests;
    return {true, std::nullopt};
  }
  std::optional<std::string> add(const gt::NotificationRequest& request) override {
    std::lock_guard lock(mu);
    added.push_back(request);
    return std::nullopt;
  }
  std::vector<gt::NotificationRequest> snapshot() {
    std::lock_guard lock(mu);
    return added;
  }
  std::atomic<int> permissionRequests{0};
  std::mutex mu;
  std::vector<gt::NotificationRequest> added;
};

class NullLog : public gt::Log {
 public:
  void error(std::string_view, std::string_view, std::string_view) override {}
  void info(std::string_view, std::string_view, std::string_view) override {}
};

gt::ClockConfig sampleConfig(std::string token = "tok-abc") {
  return {"客厅的手机", "127.0.0.1", 8765, 8766, std::move(token), "2026-03-01T09:05:07Z"};
}

bool sendLine(const std::string& socketPath, const std::string& line) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  ::close(fd);
  return ok;
}

}  // namespace

class AppStateTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  std::shared_ptr<FakeDevice> device_;
  std::shared_ptr<RecordingCenter> center_;
  std::unique_ptr<AppState> state_;

  void makeState(std::chrono::milliseconds interval = std::chrono::milliseconds(10000),
                 std::shared_ptr<gt::EventListener> listener = nullptr) {
    AppState::Parts parts;
    parts.api = device_;
    parts.listener = std::move(listener);
    parts.notifier = std::make_shared<gt::Notifier>(center_, std::make_shared<NullLog>());
    parts.pollInterval = interval;
    state_ = std::make_unique<AppState>(std::move(parts));
  }
  // Bounded: a refresh against the fake device ends in well under a second.
  void refreshAndWait() {
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
  }

 private slots:
  void init() {
    QVERIFY(dir_.isValid());
    QDir(dir_.path()).removeRecursively();
    QDir().mkpath(dir_.path());
    gt::ConfigStore::setBaseDir(std::filesystem::path(dir_.path().toStdString()) / "base");
    device_ = std::make_shared<FakeDevice>();
    center_ = std::make_shared<RecordingCenter>();
  }
  void cleanup() {
    state_.reset();
    gt::ConfigStore::resetBaseDir();
  }

  void startsUnpairedAndReadsNothing() {
    QVERIFY(!gt::ConfigStore::save(sampleConfig()));
    makeState();
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QVERIFY(!state_->isOnline());
    QCOMPARE(device_->probes().size(), 0u);
  }

  void refreshOutcomes() {
    makeState();
    QSignalSpy connSpy(state_.get(), &AppState::connChanged);
    QSignalSpy cfgSpy(state_.get(), &AppState::cfgChanged);

    // No file: unpaired, no request; every assignment is announced even when nothing changes.
    refreshAndWait();
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QCOMPARE(connSpy.count(), 1);
    QCOMPARE(cfgSpy.count(), 1);

    // A record with an empty token counts as unpaired and causes no request.
    QVERIFY(!gt::ConfigStore::save(sampleConfig("")));
    refreshAndWait();
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(state_->cfg());
    QCOMPARE(device_->probes().size(), 0u);

    // Reachable: shown with the name stored in the file, not the phone's own name.
    QVERIFY(!gt::ConfigStore::save(sampleConfig()));
    refreshAndWait();
    QCOMPARE(state_->conn(), gt::ConnState::connected("客厅的手机"));
    QCOMPARE(QString::fromStdString(state_->conn().label()), QStringLiteral("已连接 客厅的手机"));
    QVERIFY(state_->isOnline());
    QCOMPARE(*state_->cfg(), sampleConfig());
    auto probes = device_->probes();
    QCOMPARE(probes.size(), 1u);
    QCOMPARE(probes[0].host, std::string("127.0.0.1"));
    QCOMPARE(probes[0].port, 8766);
    QCOMPARE(probes[0].token, std::string("tok-abc"));

    // Unreachable: offline, record still loaded.
    device_->reachable = false;
    refreshAndWait();
    QCOMPARE(state_->conn(), gt::ConnState::offline());
    QVERIFY(!state_->isOnline());
    QVERIFY(state_->cfg());

    // A file another process broke or removed: back to unpaired.
    { std::ofstream(gt::ConfigStore::configPath()) << "{ not json"; }
    refreshAndWait();
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QCOMPARE(connSpy.count(), 5);
    QCOMPARE(cfgSpy.count(), 5);
  }

  void pairStoresCallersNameAndWholeSecondUtcTime() {
    makeState();
    std::optional<std::optional<gt::PairFailure>> result;
    state_->pair("127.0.0.1", 8766, 8765, "书房", "0123", [&](std::optional<gt::PairFailure> f) { result = f; });
    QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 5000);
    QVERIFY(!result->has_value());

    auto pairs = device_->pairs();
    QCOMPARE(pairs.size(), 1u);
    QCOMPARE(pairs[0].code, std::string("0123"));  // leading zero kept
    QCOMPARE(pairs[0].port, 8766);
    QVERIFY(!pairs[0].client.empty());

    auto stored = gt::ConfigStore::load();
    QVERIFY(stored);
    QCOMPARE(stored->deviceName, std::string("书房"));
    QCOMPARE(stored->token, std::string("tok-123"));
    QCOMPARE(stored->wsPort, 8765);
    QCOMPARE(stored->httpPort, 8766);
    QVERIFY2(QRegularExpression("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$")
                 .match(QString::fromStdString(stored->pairedAt))
                 .hasMatch(),
             stored->pairedAt.c_str());
    QDateTime paired = QDateTime::fromString(QString::fromStdString(stored->pairedAt), Qt::ISODate);
    QVERIFY(paired.isValid());
    QVERIFY(std::abs(paired.secsTo(QDateTime::currentDateTimeUtc())) <= 5);

    // The refresh ran before done: the new pairing is already visible.
    QCOMPARE(state_->cfg(), stored);
    QCOMPARE(state_->conn(), gt::ConnState::connected("书房"));
  }

  void pairFailureChangesNothing() {
    makeState();
    device_->pairAnswer = gt::PairError::locked(30);
    QSignalSpy connSpy(state_.get(), &AppState::connChanged);
    QSignalSpy cfgSpy(state_.get(), &AppState::cfgChanged);
    std::optional<std::optional<gt::PairFailure>> result;
    state_->pair("127.0.0.1", 8766, 8765, "书房", "9999", [&](std::optional<gt::PairFailure> f) { result = f; });
    QTRY_VERIFY_WITH_TIMEOUT(result.has_value(), 5000);
    QVERIFY(result->has_value());
    QVERIFY((*result)->pairError);
    QCOMPARE(*(*result)->pairError, gt::PairError::locked(30));
    QVERIFY(!gt::ConfigStore::load());
    QCOMPARE(connSpy.count(), 0);
    QCOMPARE(cfgSpy.count(), 0);
  }

  void unpair() {
    makeState();
    QVERIFY(!gt::ConfigStore::save(sampleConfig()));
    refreshAndWait();
    QCOMPARE(state_->conn(), gt::ConnState::connected("客厅的手机"));

    // The file vanished behind our back: unpair fails and the state stays as it was.
    QVERIFY(!gt::ConfigStore::deleteConfig());
    QSignalSpy connSpy(state_.get(), &AppState::connChanged);
    QVERIFY(state_->unpair());
    QCOMPARE(state_->conn(), gt::ConnState::connected("客厅的手机"));
    QVERIFY(state_->cfg());
    QCOMPARE(connSpy.count(), 0);

    QVERIFY(!gt::ConfigStore::save(sampleConfig()));
    QVERIFY(!state_->unpair());
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QVERIFY(!std::filesystem::exists(gt::ConfigStore::configPath()));
  }

  void probeInFlightDuringUnpairDoesNotRevive() {
    makeState();
    QVERIFY(!gt::ConfigStore::save(sampleConfig()));
    device_->probeDelay = std::chrono::milliseconds(300);
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(device_->probes().size() == 1, 5000);
    QVERIFY(!state_->unpair());
    QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
  }

  void oneLoopAfterTwoStartsAndPeriodIsRefreshPlusInterval() {
    QVERIFY(!gt::ConfigStore::save(sampleConfig()));
    device_->probeDelay = std::chrono::milliseconds(100);
    makeState(std::chrono::milliseconds(200));
    state_->startPolling();
    state_->startPolling();
    // Expected probe starts at about 0, 300, 600, 900 ms (+ scheduling); two loops would double them.
    QTest::qWait(1050);
    auto probes = device_->probes();
    QVERIFY2(probes.size() >= 2 && probes.size() <= 5, QByteArray::number(qulonglong(probes.size())));
    std::vector<qint64> gaps;
    for (std::size_t i = 1; i < probes.size(); ++i) gaps.push_back(probes[i].atMs - probes[i - 1].atMs);
    for (qint64 gap : gaps) QVERIFY2(gap >= 280, QByteArray::number(gap));  // no second loop interleaving
    QStringList shown;
    for (qint64 gap : gaps) shown << QString::number(gap);
    qInfo("probe-to-probe gaps (ms), refresh 100 + interval 200: %s", qPrintable(shown.join(' ')));
    std::sort(gaps.begin(), gaps.end());
    QVERIFY2(gaps[gaps.size() / 2] < 600, QByteArray::number(gaps[gaps.size() / 2]));
    QCOMPARE(state_->conn(), gt::ConnState::connected("客厅的手机"));
  }

  void firstRefreshRunsAtOnceAndOfflineWithinProbeTime() {
    QVERIFY(!gt::ConfigStore::save(sampleConfig()));
    device_->reachable = false;
    makeState();
    QElapsedTimer t;
    t.start();
    state_->startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(state_->conn() == gt::ConnState::offline(), 3000);
    QVERIFY(t.elapsed() < 2000);
  }

  void eventsBecomeNotificationsAndPermissionIsAsked() {
    QString sock = dir_.path() + "/run/events.sock";
    auto listener = std::make_shared<gt::EventListener>(sock.toStdString());
    makeState(std::chrono::milliseconds(10000), listener);

    bool asked = false;
    state_->requestNotificationPermission([&] { asked = true; });
    QTRY_VERIFY_WITH_TIMEOUT(asked, 5000);
    QCOMPARE(center_->permissionRequests.load(), 1);

    state_->startPolling();
    state_->startPolling();  // the first callback stays in force
    QVERIFY(listener->isRunning());
    gt::AgentEvent ev{"stop", "claude", "done", "任务完成", "a < b & c", "demo", -5};
    QVERIFY(sendLine(sock.toStdString(), gt::encodeAgentEvent(ev) + "\n"));
    QTRY_VERIFY_WITH_TIMEOUT(center_->snapshot().size() == 1, 5000);
    auto got = center_->snapshot()[0];
    QCOMPARE(got.identifier, std::string("glowticker--5-claude"));
    QCOMPARE(got.title, std::string("claude · 任务完成"));
    QCOMPARE(got.body, std::string("a < b & c"));
    QTest::qWait(200);
    QCOMPARE(center_->snapshot().size(), 1u);
    listener->stop();
  }
};

QTEST_GUILESS_MAIN(AppStateTest)
#include "app_state_test.moc"
