// The status view against a stand-in device, a real pairing store in a temporary base directory and a
// scripted hook installer whose runs the test can hold open.
#include "app/views/status_view.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QThreadPool>
#include <QtTest>
#include <array>
#include <filesystem>

#include "app/views/view_tasks.h"
#include "core/pairing/clock_config.h"
#include "view_test_support.h"

using gt::AgentID;
using viewtest::FakeDevice;
using viewtest::Gate;

namespace {

std::size_t idx(AgentID a) { return static_cast<std::size_t>(a); }

// The hook installer and state reader, per agent: a scripted answer, a gate, and a call log.
class FakeHooks {
 public:
  struct Call {
    AgentID agent;
    bool enabled;
  };

  HookToggleRow::SetHookFn setHookFn() {
    return [this](AgentID agent, bool enabled) {
      ++started;
      gates_[idx(agent)].wait();
      std::lock_guard lock(mu_);
      calls_.push_back({agent, enabled});
      return answers_[idx(agent)];
    };
  }
  HookToggleRow::IsInstalledFn isInstalledFn() {
    return [this](AgentID agent) {
      ++reads;
      return installed_[idx(agent)].load();
    };
  }

  void answer(AgentID a, gt::HookResult r) {
    std::lock_guard lock(mu_);
    answers_[idx(a)] = std::move(r);
  }
  void setInstalled(AgentID a, bool v) { installed_[idx(a)] = v; }
  Gate& gate(AgentID a) { return gates_[idx(a)]; }
  std::vector<Call> calls() const {
    std::lock_guard lock(mu_);
    return calls_;
  }
  void openAll() {
    for (auto& g : gates_) g.open();
  }
  std::atomic<int> reads{0};
  std::atomic<int> started{0};

 private:
  mutable std::mutex mu_;
  std::array<gt::HookResult, 3> answers_{gt::HookSuccess{}, gt::HookSuccess{}, gt::HookSuccess{}};
  std::array<std::atomic<bool>, 3> installed_{};
  std::array<Gate, 3> gates_;
  std::vector<Call> calls_;
};

gt::HookSuccess success(std::vector<gt::InstallReport> reports, std::string note) {
  return gt::HookSuccess{std::move(reports), std::move(note)};
}
gt::InstallReport report(std::string agent, std::string action, std::string backup = {}) {
  return gt::InstallReport{std::move(agent), "/home/u/.x/config", std::move(action), std::move(backup), {"n"}};
}
gt::HookError failure(std::string description) { return gt::HookError{"HookInstaller", 1, std::move(description)}; }

}  // namespace

class StatusViewTest : public QObject {
  Q_OBJECT

  QTemporaryDir home_;
  std::shared_ptr<FakeDevice> device_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<FakeHooks> hooks_;
  std::unique_ptr<StatusView> view_;
  std::vector<QUrl> opened_;
  int quits_ = 0;

  template <typename T>
  T* child(const QString& name) {
    auto* w = view_->findChild<T*>(name);
    if (!w) qFatal("no widget %s", qPrintable(name));
    return w;
  }
  QCheckBox* box(AgentID a) {
    return child<QCheckBox>(QStringLiteral("hookToggle-") + QString::fromUtf8(gt::rawValue(a)));
  }
  QScrollArea* resultBox() { return child<QScrollArea>(QStringLiteral("installResult")); }
  QLabel* errorLine() { return child<QLabel>(QStringLiteral("hookError")); }
  QString resultText() { return child<QLabel>(QStringLiteral("installResultText"))->text(); }

  void makeView() {
    StatusView::Services s;
    s.setHook = hooks_->setHookFn();
    s.isInstalled = hooks_->isInstalledFn();
    s.openUrl = [this](const QUrl& u) { opened_.push_back(u); };
    s.quit = [this] { ++quits_; };
    view_ = std::make_unique<StatusView>(state_.get(), s);
    view_->resize(320, view_->sizeHint().height());
    view_->show();
    for (AgentID a : gt::kAllAgents) QTRY_VERIFY_WITH_TIMEOUT(!view_->row(a)->reading(), viewtest::kGateMs);
  }
  // A user click on an agent's switch; the change runs until the row is idle again.
  void click(AgentID a) { QTest::mouseClick(box(a), Qt::LeftButton, {}, QPoint(6, box(a)->height() / 2)); }
  void clickAndWait(AgentID a) {
    click(a);
    QTRY_VERIFY_WITH_TIMEOUT(!view_->row(a)->busy(), viewtest::kGateMs);
  }
  void savePairing() {
    gt::ClockConfig cfg{"Desk", "192.168.1.20", 8081, 8080, "tok", "2026-03-01T09:05:07Z"};
    QVERIFY(!gt::ConfigStore::save(cfg));
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, viewtest::kGateMs);
  }

 private slots:
  void init() {
    QVERIFY(home_.isValid());
    gt::ConfigStore::setBaseDir(std::filesystem::path(home_.path().toStdString()) / "base");
    device_ = std::make_shared<FakeDevice>();
    state_ = viewtest::makeState(device_);
    hooks_ = std::make_unique<FakeHooks>();
    opened_.clear();
    quits_ = 0;
  }
  void cleanup() {
    if (hooks_) hooks_->openAll();
    view_.reset();
    ViewTasks::pool()->waitForDone(viewtest::kGateMs);
    state_.reset();
    hooks_.reset();
    (void)gt::ConfigStore::deleteConfig();
    gt::ConfigStore::resetBaseDir();
  }

  void linkRowAndAddressLine() {
    makeView();
    auto* link = child<QLabel>(QStringLiteral("linkLabel"));
    auto* address = child<QLabel>(QStringLiteral("addressLabel"));
    auto dotColour = [&] { return child<QLabel>(QStringLiteral("linkDot"))->property("dotColor").value<QColor>(); };
    QCOMPARE(link->text(), QStringLiteral("未配对"));
    QCOMPARE(dotColour(), QColor(0x8e, 0x8e, 0x93));
    QVERIFY(!address->isVisible());  // no record loaded

    savePairing();
    QCOMPARE(link->text(), QStringLiteral("已连接 Desk"));
    QCOMPARE(dotColour().green() > dotColour().red(), true);
    QVERIFY(address->isVisible());
    QCOMPARE(address->text(), QStringLiteral("192.168.1.20  ws=8081 http=8080"));
    viewtest::shot(view_.get(), "status-connected");

    device_->reachable = false;
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, viewtest::kGateMs);
    QCOMPARE(link->text(), QStringLiteral("离线 / 不可达"));
    QCOMPARE(dotColour().red() > dotColour().green(), true);
    QVERIFY(address->isVisible());

    // Unpairing deletes the record; the address line goes with it.
    QTest::mouseClick(child<QPushButton>(QStringLiteral("unpairButton")), Qt::LeftButton);
    QVERIFY(!std::filesystem::exists(gt::ConfigStore::configPath()));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(!address->isVisible());
    QCOMPARE(link->text(), QStringLiteral("未配对"));
  }

  void failedUnpairChangesNothing() {
    savePairing();
    makeView();
    // Another process removed the file: deletion fails, the view and state stay as they were.
    QVERIFY(!gt::ConfigStore::deleteConfig());
    QTest::mouseClick(child<QPushButton>(QStringLiteral("unpairButton")), Qt::LeftButton);
    QCOMPARE(state_->conn(), gt::ConnState::connected("Desk"));
    QVERIFY(state_->cfg());
    QVERIFY(child<QLabel>(QStringLiteral("addressLabel"))->isVisible());
    QVERIFY(!errorLine()->isVisible());
    QVERIFY(!resultBox()->isVisible());
  }

  void rowsAndFixedTexts() {
    makeView();
    QCOMPARE(box(AgentID::codex)->text(), QStringLiteral("Codex"));
    QCOMPARE(box(AgentID::claude)->text(), QStringLiteral("Claude"));
    QCOMPARE(box(AgentID::kimi)->text(), QStringLiteral("Kimi"));
    QVERIFY(box(AgentID::codex)->mapTo(view_.get(), QPoint()).y() <
            box(AgentID::claude)->mapTo(view_.get(), QPoint()).y());
    QVERIFY(box(AgentID::claude)->mapTo(view_.get(), QPoint()).y() <
            box(AgentID::kimi)->mapTo(view_.get(), QPoint()).y());
    QCOMPARE(child<QLabel>(QStringLiteral("hookNote"))->text(),
             QStringLiteral("hook 对新启动的会话生效，已运行的 agent 会话请重启。"));
    QVERIFY(!resultBox()->isVisible());
    QVERIFY(!errorLine()->isVisible());
    QVERIFY(resultBox()->maximumHeight() <= 100);

    QTest::mouseClick(child<QPushButton>(QStringLiteral("openConfigButton")), Qt::LeftButton);
    QCOMPARE(opened_.size(), std::size_t(1));
    QVERIFY(opened_[0].isLocalFile());
    QCOMPARE(opened_[0].toLocalFile(), QString::fromStdString(gt::ConfigStore::baseDir().string()));
    QTest::mouseClick(child<QPushButton>(QStringLiteral("quitButton")), Qt::LeftButton);
    QCOMPARE(quits_, 1);
  }

  void installedHookShowsOnWithoutRunningTheTool() {
    hooks_->setInstalled(AgentID::claude, true);
    makeView();
    QVERIFY(!box(AgentID::codex)->isChecked());
    QVERIFY(box(AgentID::claude)->isChecked());
    QVERIFY(view_->row(AgentID::claude)->flow().applied);
    QVERIFY(box(AgentID::claude)->isEnabled());
    QTest::qWait(20);
    QVERIFY(hooks_->calls().empty());
    // Shown again (panel reopened): read again, still no tool run.
    const int reads = hooks_->reads;
    hooks_->setInstalled(AgentID::claude, false);
    view_->hide();
    view_->show();
    QTRY_VERIFY_WITH_TIMEOUT(!box(AgentID::claude)->isChecked(), viewtest::kGateMs);
    QVERIFY(hooks_->reads > reads);
    QVERIFY(hooks_->calls().empty());
  }

  void successfulChangeShowsTheReport() {
    makeView();
    hooks_->answer(AgentID::claude, success({report("claude", "installed", "/home/u/.claude/settings.json.bak"),
                                             report("claude", "kept")},
                                            "请重启 claude 会话"));
    hooks_->gate(AgentID::claude).close();
    click(AgentID::claude);
    QVERIFY(view_->row(AgentID::claude)->busy());
    QVERIFY(!box(AgentID::claude)->isEnabled());
    QVERIFY(box(AgentID::claude)->isChecked());
    hooks_->gate(AgentID::claude).open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->row(AgentID::claude)->busy(), viewtest::kGateMs);
    QVERIFY(box(AgentID::claude)->isEnabled());
    QVERIFY(box(AgentID::claude)->isChecked());
    QVERIFY(view_->row(AgentID::claude)->flow().applied);
    QVERIFY(resultBox()->isVisible());
    QCOMPARE(resultText(), QStringLiteral("claude: installed (备份: /home/u/.claude/settings.json.bak)\n"
                                          "claude: kept\n"
                                          "请重启 claude 会话"));
    QCOMPARE(hooks_->calls().size(), std::size_t(1));
    QCOMPARE(hooks_->calls()[0].agent, AgentID::claude);
    QCOMPARE(hooks_->calls()[0].enabled, true);

    // And off again.
    hooks_->answer(AgentID::claude, success({report("claude", "removed")}, ""));
    clickAndWait(AgentID::claude);
    QCOMPARE(hooks_->calls().back().enabled, false);
    QVERIFY(!view_->row(AgentID::claude)->flow().applied);
    QCOMPARE(resultText(), QStringLiteral("claude: removed"));
  }

  void reportTextShapes() {
    QCOMPARE(HookToggleRow::reportText(success({}, "")), QString());
    QCOMPARE(HookToggleRow::reportText(success({}, "note")), QStringLiteral("\nnote"));
    QCOMPARE(HookToggleRow::reportText(success({report("a", "x")}, "note")), QStringLiteral("a: x\nnote"));
    QCOMPARE(HookToggleRow::reportText(success({report("a", "x", "b"), report("c", "y")}, "")),
             QStringLiteral("a: x (备份: b)\nc: y"));

    // An empty report still shows the (empty) box.
    makeView();
    clickAndWait(AgentID::kimi);
    QVERIFY(view_->installResult());
    QCOMPARE(*view_->installResult(), QString());
    QVERIFY(resultBox()->isVisible());
    QVERIFY(resultBox()->height() <= 100);
    // A report far longer than the box scrolls inside it.
    std::vector<gt::InstallReport> many(40, report("kimi", "installed", "/a/b"));
    hooks_->answer(AgentID::kimi, success(many, "note"));
    clickAndWait(AgentID::kimi);
    QTRY_VERIFY_WITH_TIMEOUT(resultBox()->height() <= 100, viewtest::kGateMs);
    QVERIFY(resultText().count(QLatin1Char('\n')) == 40);
    viewtest::shot(view_.get(), "status-long-report");
  }

  void failedChangeRevertsAndRetries() {
    makeView();
    hooks_->answer(AgentID::codex, failure("tool exploded\n"));
    clickAndWait(AgentID::codex);
    QVERIFY(!box(AgentID::codex)->isChecked());
    QVERIFY(!view_->row(AgentID::codex)->flow().applied);
    QVERIFY(errorLine()->isVisible());
    QCOMPARE(errorLine()->text(), QStringLiteral("codex 操作失败：tool exploded\n"));
    // Reverting the switch is the row's own update: it starts no second run.
    QTest::qWait(20);
    QCOMPARE(hooks_->calls().size(), std::size_t(1));

    // Clicking again retries; success leaves the earlier error line in place.
    hooks_->answer(AgentID::codex, success({report("codex", "installed")}, ""));
    clickAndWait(AgentID::codex);
    QCOMPARE(hooks_->calls().size(), std::size_t(2));
    QVERIFY(hooks_->calls()[1].enabled);
    QVERIFY(box(AgentID::codex)->isChecked());
    QVERIFY(resultBox()->isVisible());
    QVERIFY(errorLine()->isVisible());
    QCOMPARE(resultText(), QStringLiteral("codex: installed"));

    // A later failure elsewhere keeps the result box and replaces the error.
    hooks_->answer(AgentID::kimi, failure("<i>markup</i>"));
    clickAndWait(AgentID::kimi);
    QCOMPARE(resultText(), QStringLiteral("codex: installed"));
    QCOMPARE(errorLine()->text(), QStringLiteral("kimi 操作失败：<i>markup</i>"));
    QCOMPARE(errorLine()->textFormat(), Qt::PlainText);
    viewtest::shot(view_.get(), "status-result-and-error");

    // Long unbroken paths and messages wrap or scroll inside the 320-px panel (less its margins) instead
    // of widening it.
    hooks_->answer(AgentID::claude, success({report("claude", "installed", "/home/" + std::string(200, 'x'))}, ""));
    clickAndWait(AgentID::claude);
    hooks_->answer(AgentID::kimi, failure(std::string(200, 'y')));
    clickAndWait(AgentID::kimi);
    QVERIFY2(view_->minimumSizeHint().width() <= 280, qPrintable(QString::number(view_->minimumSizeHint().width())));
  }

  void failedRemovalTurnsBackOn() {
    hooks_->setInstalled(AgentID::kimi, true);
    makeView();
    hooks_->answer(AgentID::kimi, failure("permission denied"));
    clickAndWait(AgentID::kimi);
    QCOMPARE(hooks_->calls().at(0).enabled, false);
    QVERIFY(box(AgentID::kimi)->isChecked());
    QCOMPARE(*view_->hookError(), QStringLiteral("kimi 操作失败：permission denied"));
  }

  void rowsRunConcurrently() {
    makeView();
    hooks_->answer(AgentID::codex, success({report("codex", "installed")}, ""));
    hooks_->answer(AgentID::claude, success({report("claude", "installed")}, ""));
    hooks_->gate(AgentID::codex).close();
    hooks_->gate(AgentID::claude).close();
    click(AgentID::codex);
    QVERIFY(!box(AgentID::codex)->isEnabled());
    // The busy row ignores clicks; the others stay usable.
    click(AgentID::codex);
    QVERIFY(box(AgentID::codex)->isChecked());
    QVERIFY(box(AgentID::claude)->isEnabled());
    click(AgentID::claude);
    QVERIFY(view_->row(AgentID::codex)->busy());
    QVERIFY(view_->row(AgentID::claude)->busy());
    QVERIFY(box(AgentID::kimi)->isEnabled());

    hooks_->gate(AgentID::claude).open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->row(AgentID::claude)->busy(), viewtest::kGateMs);
    QVERIFY(view_->row(AgentID::codex)->busy());
    QCOMPARE(resultText(), QStringLiteral("claude: installed"));
    hooks_->gate(AgentID::codex).open();
    QTRY_VERIFY_WITH_TIMEOUT(!view_->row(AgentID::codex)->busy(), viewtest::kGateMs);
    QCOMPARE(resultText(), QStringLiteral("codex: installed"));  // the later report replaces the earlier
    QCOMPARE(hooks_->calls().size(), std::size_t(2));
  }

  void allRowsRunAtOnceAndStayReadable() {
    // Three slow tool runs at once, on a machine with few cores: none waits for another, and a
    // re-shown view can still read the hook state meanwhile.
    makeView();
    for (AgentID a : gt::kAllAgents) hooks_->gate(a).close();
    for (AgentID a : gt::kAllAgents) click(a);
    QTRY_COMPARE_WITH_TIMEOUT(hooks_->started.load(), 3, viewtest::kGateMs);
    StatusView::Services s;
    s.setHook = hooks_->setHookFn();
    s.isInstalled = hooks_->isInstalledFn();
    StatusView second(state_.get(), s);
    second.show();
    for (AgentID a : gt::kAllAgents) QTRY_VERIFY_WITH_TIMEOUT(!second.row(a)->reading(), viewtest::kGateMs);
    hooks_->openAll();
    for (AgentID a : gt::kAllAgents) QTRY_VERIFY_WITH_TIMEOUT(!view_->row(a)->busy(), viewtest::kGateMs);
    QCOMPARE(hooks_->calls().size(), std::size_t(3));
  }

  void viewGoneWhileAChangeRuns() {
    makeView();
    hooks_->gate(AgentID::codex).close();
    click(AgentID::codex);
    view_.reset();
    hooks_->gate(AgentID::codex).open();
    ViewTasks::pool()->waitForDone(viewtest::kGateMs);
    QTest::qWait(20);  // a stray result delivery would crash here
    QCOMPARE(hooks_->calls().size(), std::size_t(1));
  }
};

QTEST_MAIN(StatusViewTest)
#include "status_view_test.moc"
