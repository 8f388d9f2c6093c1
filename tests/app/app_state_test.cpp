// AppState against a stand-in device, a real pairing store in a temporary folder, and a real event
// socket with a recording notification centre.
#include "app/app_state.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QRegularExpression>
#include <QSignalSpy>
#include <algorithm>

#include "support/app_test_support.h"

using namespace apptest;
using std::chrono::milliseconds;

class AppStateTest : public QObject {
  Q_OBJECT
  std::unique_ptr<TempHome> home_;
  std::shared_ptr<FakeDevice> device_;
  std::shared_ptr<RecordingCenter> center_;
  std::unique_ptr<AppState> state_;

  void makeState(milliseconds interval = milliseconds(10000), std::shared_ptr<gt::EventListener> listener = {}) {
    state_ = apptest::makeState(device_, center_, interval, std::move(listener));
  }
  void pair(const std::string& code, std::optional<gt::PairFailure>& failure) {
    bool done = false;
    state_->pair("127.0.0.1", 8766, 8765, "书房", code, [&](std::optional<gt::PairFailure> f) {
      failure = std::move(f);
      done = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(done, kGateMs);
  }

 private slots:
  void init() {
    home_ = std::make_unique<TempHome>();
    device_ = std::make_shared<FakeDevice>();
    center_ = std::make_shared<RecordingCenter>();
  }
  void cleanup() {
    state_.reset();
    home_.reset();
  }

  void refreshOutcomes() {
    // Construction reads nothing, even with a record on disk.
    QVERIFY(!gt::ConfigStore::save(record()));
    makeState();
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QVERIFY(device_->probes().empty());
    QVERIFY(!gt::ConfigStore::deleteConfig());
    QSignalSpy connSpy(state_.get(), &AppState::connChanged);
    QSignalSpy cfgSpy(state_.get(), &AppState::cfgChanged);

    // No file: unpaired; every assignment is announced even when nothing changes.
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QCOMPARE(connSpy.count(), 1);
    QCOMPARE(cfgSpy.count(), 1);

    // An empty token counts as unpaired and causes no request.
    QVERIFY(!gt::ConfigStore::save(record("客厅的手机", "")));
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(state_->cfg());
    QVERIFY(device_->probes().empty());

    // Reachable: shown with the name stored in the file, not the phone's own name.
    QVERIFY(!gt::ConfigStore::save(record()));
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(QString::fromStdString(state_->conn().label()), QStringLiteral("已连接 客厅的手机"));
    QVERIFY(state_->isOnline());
    QCOMPARE(*state_->cfg(), record());
    auto probes = device_->probes();
    QCOMPARE(probes.size(), 1u);
    QCOMPARE(probes[0].host, std::string("127.0.0.1"));
    QCOMPARE(probes[0].port, 8766);
    QCOMPARE(probes[0].codeOrToken, std::string("tok-abc"));

    device_->reachable = false;
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), gt::ConnState::offline());
    QVERIFY(!state_->isOnline());
    QVERIFY(state_->cfg());

    // A file another process broke: back to unpaired.
    gt::test::writeAll(gt::ConfigStore::configPath(), "{ not json");
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QCOMPARE(connSpy.count(), 5);
    QCOMPARE(cfgSpy.count(), 5);
  }

  void pairStoresCallersNameAndWholeSecondUtcTime() {
    makeState();
    // A refused pairing stores and announces nothing.
    device_->setAnswer(gt::PairError::locked(30));
    QSignalSpy connSpy(state_.get(), &AppState::connChanged);
    QSignalSpy cfgSpy(state_.get(), &AppState::cfgChanged);
    std::optional<gt::PairFailure> failure;
    pair("9999", failure);
    QVERIFY(failure && failure->pairError);
    QCOMPARE(*failure->pairError, gt::PairError::locked(30));
    QVERIFY(!gt::ConfigStore::load());
    QCOMPARE(connSpy.count() + cfgSpy.count(), 0);

    device_->setAnswer(gt::PairSuccess{"tok-123", "Name The Phone Reports"});
    pair("0123", failure);
    QVERIFY(!failure);
    auto pairs = device_->pairs();
    QCOMPARE(pairs.size(), 2u);
    QCOMPARE(pairs[1].codeOrToken, std::string("0123"));  // leading zero kept
    QCOMPARE(pairs[1].port, 8766);
    auto stored = gt::ConfigStore::load();
    QVERIFY(stored);
    QCOMPARE(*stored, (gt::ClockConfig{"书房", "127.0.0.1", 8765, 8766, "tok-123", stored->pairedAt}));
    const QString at = QString::fromStdString(stored->pairedAt);
    QVERIFY2(QRegularExpression("^\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}Z$").match(at).hasMatch(), qPrintable(at));
    QVERIFY(std::abs(QDateTime::fromString(at, Qt::ISODate).secsTo(QDateTime::currentDateTimeUtc())) <= 5);
    // The refresh ran before done: the new pairing is already visible.
    QCOMPARE(state_->cfg(), stored);
    QCOMPARE(state_->conn(), gt::ConnState::connected("书房"));
  }

  void unpair() {
    makeState();
    QVERIFY(!gt::ConfigStore::save(record()));
    QVERIFY(refreshAndWait(*state_));
    // The file vanished behind our back: unpair fails and the state stays as it was.
    QVERIFY(!gt::ConfigStore::deleteConfig());
    QSignalSpy connSpy(state_.get(), &AppState::connChanged);
    QVERIFY(state_->unpair());
    QCOMPARE(state_->conn(), gt::ConnState::connected("客厅的手机"));
    QVERIFY(state_->cfg());
    QCOMPARE(connSpy.count(), 0);

    // Unpairing while a probe is in flight: its late answer must not revive the pairing.
    QVERIFY(!gt::ConfigStore::save(record()));
    device_->probeDelay = milliseconds(300);
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(device_->probes().size() == 2, kGateMs);
    QVERIFY(!state_->unpair());
    QVERIFY(!std::filesystem::exists(gt::ConfigStore::configPath()));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QTRY_VERIFY_WITH_TIMEOUT(done, kGateMs);
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!state_->cfg());
  }

  void oneLoopAfterTwoStartsAndPeriodIsRefreshPlusInterval() {
    QVERIFY(!gt::ConfigStore::save(record()));
    device_->probeDelay = milliseconds(100);
    makeState(milliseconds(200));
    state_->startPolling();
    state_->startPolling();
    // Probes start at about 0, 300, 600, 900 ms (+ scheduling); two loops would double them.
    QTest::qWait(1050);
    auto probes = device_->probes();
    QVERIFY2(probes.size() >= 2 && probes.size() <= 5, QByteArray::number(qulonglong(probes.size())));
    std::vector<qint64> gaps;
    for (std::size_t i = 1; i < probes.size(); ++i) gaps.push_back(probes[i].atMs - probes[i - 1].atMs);
    for (qint64 gap : gaps) QVERIFY2(gap >= 280, QByteArray::number(gap));
    std::sort(gaps.begin(), gaps.end());
    QVERIFY2(gaps[gaps.size() / 2] < 600, QByteArray::number(gaps[gaps.size() / 2]));
    QCOMPARE(state_->conn(), gt::ConnState::connected("客厅的手机"));
  }

  void eventsBecomeNotificationsAndPermissionIsAsked() {
    const std::string sock = home_->dir.file("run/events.sock");
    auto listener = std::make_shared<gt::EventListener>(sock);
    makeState(milliseconds(10000), listener);
    bool asked = false;
    state_->requestNotificationPermission([&] { asked = true; });
    QTRY_VERIFY_WITH_TIMEOUT(asked, kGateMs);
    QCOMPARE(center_->permissionRequests.load(), 1);

    // The first refresh runs at once, not after the 10-s interval.
    QVERIFY(!gt::ConfigStore::save(record()));
    device_->reachable = false;
    QElapsedTimer t;
    t.start();
    state_->startPolling();
    state_->startPolling();  // the first callback stays in force: one notification per event
    QVERIFY(listener->isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(state_->conn() == gt::ConnState::offline(), 3000);
    QVERIFY(t.elapsed() < 2000);
    const std::string line =
        gt::encodeAgentEvent({"stop", "claude", "done", "任务完成", "a < b & c", "demo", -5}) + "\n";
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    QVERIFY(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    QCOMPARE(::write(fd, line.data(), line.size()), ssize_t(line.size()));
    ::close(fd);
    QTRY_COMPARE_WITH_TIMEOUT(center_->snapshot().size(), 1u, kGateMs);
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
