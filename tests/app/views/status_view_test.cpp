// The status view with a stand-in device, a real pairing store and a scripted hook installer the test can
// hold open; the real companion tool's run on screen is in the desktop end-to-end script.
#include "app/views/status_view.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>
#include <array>

#include "support/app_test_support.h"

using gt::AgentID;
using namespace apptest;
const AgentID codex = *gt::agentFromRaw("codex"), claude = *gt::agentFromRaw("claude"),
              kimi = *gt::agentFromRaw("kimi");

class StatusViewTest : public QObject, StateFixture {
  Q_OBJECT
  std::unique_ptr<gt::StatusView> view_;
  // The hook installer and state reader, per agent: a scripted answer, a gate, and a call log.
  std::atomic<int> opened_{0}, quits_{0};
  std::array<std::atomic<bool>, 3> installed_{};
  std::array<Gate, 3> gates_;
  std::mutex mu_;
  std::array<gt::HookResult, 3> answers_;
  std::optional<gt::test::SharedList<std::pair<AgentID, bool>>> calls_;  // new for each test

  static std::size_t idx(AgentID a) {
    return std::find(gt::allAgents().begin(), gt::allAgents().end(), a) - gt::allAgents().begin();
  }
  static gt::InstallReport report(std::string agent, std::string action, std::string backup = {}) {
    return gt::InstallReport{std::move(agent), "/home/u/.x/config", std::move(action), std::move(backup), {"n"}};
  }
  gt::PanelServices hookServices() {
    gt::PanelServices s = services();
    s.setHook = [this](AgentID agent, bool enabled) {
      calls_->push({agent, enabled});  // on starting: a run held at its gate counts
      gates_[idx(agent)].wait();
      std::lock_guard lock(mu_);
      return answers_[idx(agent)];
    };
    s.isInstalled = [this](AgentID agent) { return installed_[idx(agent)].load(); };
    s.openConfigDir = [this] { ++opened_; };
    s.quit = [this] { ++quits_; };
    return s;
  }
  void answer(AgentID a, gt::HookResult r) {
    std::lock_guard lock(mu_);
    answers_[idx(a)] = std::move(r);
  }
  QLabel* label(const char* name) { return view_->findChild<QLabel*>(QString::fromLatin1(name)); }
  QCheckBox* box(AgentID a) { return view_->findChild<QCheckBox*>("hookToggle-" + QString::fromUtf8(gt::rawValue(a))); }
  QString looks() { return apptest::looks(view_.get(), "addressLabel installResult hookError"); }
  // The three switches, codex to kimi: on or off, '…' while a change runs, '!' when the switch is
  // enabled while busy or disabled while idle.
  QString switches() {
    QStringList out;
    for (AgentID a : gt::allAgents())
      out << QString(box(a)->isChecked() ? "on" : "off") + (busy(a) ? "…" : "") +
                 (box(a)->isEnabled() == busy(a) ? "!" : "");
    return out.join(' ');
  }
  bool busy(AgentID a) { return view_->row(a)->busy(); }
  void makeView() {
    view_ = std::make_unique<gt::StatusView>(state_.get(), hookServices());
    view_->resize(320, view_->sizeHint().height());
    view_->show();
    for (AgentID a : gt::allAgents()) QTRY_VERIFY_WITH_TIMEOUT(!view_->row(a)->reading(), kGateMs);
  }
  void click(AgentID a) { QTest::mouseClick(box(a), Qt::LeftButton, {}, QPoint(6, box(a)->height() / 2)); }
  void clickAndWait(AgentID a) {
    click(a);
    QTRY_VERIFY_WITH_TIMEOUT(!busy(a), kGateMs);
  }

 private slots:
  void init() {
    setUp();
    opened_ = quits_ = 0;
    for (auto& i : installed_) i = false;
    answers_.fill(gt::HookSuccess{});
    calls_.emplace();
  }
  void cleanup() {
    for (auto& g : gates_) g.open();
    view_.reset();
    tearDown();
  }

  void linkRowAndCommands() {
    makeView();
    QCOMPARE(looks(), QStringLiteral("---"));  // no record loaded, nothing changed yet
    QVERIFY(gt::ConfigStore::save({"Desk", "192.168.1.20", 8081, 8080, "tok", "2026-03-01T09:05:07Z"}));
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(label("addressLabel")->text(), QStringLiteral("192.168.1.20  ws=8081 http=8080"));
    const auto dot = [&] { return label("linkDot")->property("dotColor").value<QColor>(); };
    QVERIFY(dot().green() > dot().red());
    device_->reachable = false;
    QVERIFY(refreshAndWait(*state_));
    QVERIFY(dot().red() > dot().green());
    QCOMPARE(looks(), QStringLiteral("+--"));
    QTest::mouseClick(view_->findChild<QPushButton*>("openConfigButton"), Qt::LeftButton);
    QTest::mouseClick(view_->findChild<QPushButton*>("quitButton"), Qt::LeftButton);
    QCOMPARE(opened_ * 10 + quits_, 11);
  }

  void changesReportAndFailuresRevert() {
    installed_[idx(kimi)] = true;
    makeView();
    QCOMPARE(switches(), QStringLiteral("off off on"));
    answer(claude,
           gt::HookSuccess{{report("claude", "installed", "/b.bak"), report("claude", "kept")}, "请重启 claude 会话"});
    gates_[idx(claude)].close();
    click(claude);
    QCOMPARE(switches(), QStringLiteral("off on… on"));
    gates_[idx(claude)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(claude), kGateMs);
    QCOMPARE(switches(), QStringLiteral("off on on"));
    QCOMPARE(label("installResultText")->text(),
             QStringLiteral("claude: 已安装 (备份: /b.bak)\nclaude: kept\n请重启 claude 会话"));
    QCOMPARE(looks(), QStringLiteral("-+-"));
    // A failed removal turns its switch back on, keeps the result box and shows the error as plain text.
    answer(kimi, gt::fail(gt::HookError{gt::HookError::Kind::toolFailed, 1, "<i>markup</i>"}));
    clickAndWait(kimi);
    QCOMPARE(switches(), QStringLiteral("off on on"));
    QCOMPARE(label("hookError")->text(), QStringLiteral("kimi 操作失败：<i>markup</i>"));
    QCOMPARE(label("hookError")->textFormat(), Qt::PlainText);
    QCOMPARE(looks(), QStringLiteral("-++"));
    QTest::qWait(20);  // reverting the switch is the row's own update: it starts no second run
    QCOMPARE(calls_->get(), (std::vector<std::pair<AgentID, bool>>{{claude, true}, {kimi, false}}));
    // Clicking again retries; turning off runs the removal. An empty report still shows the box.
    answer(kimi, gt::HookSuccess{});
    clickAndWait(kimi);
    QCOMPARE(calls_->get().back(), std::pair(kimi, false));
    QCOMPARE(switches(), QStringLiteral("off on off"));
    QCOMPARE(view_->installResult(), std::optional<QString>(QString()));
    QCOMPARE(looks(), QStringLiteral("-++"));
    // Long reports scroll inside the box; long paths and messages wrap instead of widening the panel.
    answer(codex, gt::HookSuccess{
                      std::vector<gt::InstallReport>(40, report("codex", "installed", "/" + std::string(200, 'x')))});
    clickAndWait(codex);
    QTRY_VERIFY_WITH_TIMEOUT(view_->findChild<QWidget*>("installResult")->height() <= 100, kGateMs);
    QVERIFY(view_->minimumSizeHint().width() <= 280);
    // Each showing reads the state afresh (the CLI may have changed it) without running the tool.
    installed_[idx(claude)] = false;
    view_->hide();
    view_->show();
    QVERIFY(!view_->installResult() && !view_->findChild<QWidget*>("installResult")->isVisible());  // a new opening
    QTRY_VERIFY_WITH_TIMEOUT(!box(claude)->isChecked(), kGateMs);
    QCOMPARE(calls_->get().size(), std::size_t(4));
  }

  // Events from the real socket, newest first, ten kept; a click brings back that event's terminal. The
  // quiet switch is saved; a settings file that did not read is kept aside, not lost.
  void recentEventsAndTheQuietSwitch() {
    const auto file = home_->path() / "base" / "settings.json";
    std::filesystem::create_directories(file.parent_path());
    gt::test::writeAll(file, "{not json");
    auto settings = std::make_shared<gt::SettingsStore>(file);
    QVERIFY(!settings->load());
    auto back = std::make_shared<gt::test::FakeReturn>();
    const std::string socket = (home_->path() / "run" / "events.sock").string();
    state_ = std::make_unique<gt::AppState>(gt::AppState::Parts{
        pool(), device_, std::make_shared<gt::EventListener>(socket),
        std::make_shared<gt::Notifier>(nullptr, nullptr, back), std::chrono::milliseconds(10000), settings});
    makeView();
    auto* list = view_->findChild<QListWidget*>("recentEvents");
    QCOMPARE(apptest::looks(view_.get(), "recentEmpty recentEvents hookNote"), QStringLiteral("+-+"));
    state_->startPolling();
    const int fd = gt::test::connectTo(socket);
    for (int i = 1; i <= 12; ++i) QVERIFY(gt::test::sendAll(fd, gt::test::record("codex", i, "m")));
    QTRY_VERIFY_WITH_TIMEOUT(list->count() == 10 && state_->recentEvents().front().event.ts == 12, kGateMs);
    ::close(fd);
    QCOMPARE(apptest::looks(view_.get(), "recentEmpty recentEvents"), QStringLiteral("-+"));
    QVERIFY(list->item(0)->text().endsWith(QStringLiteral("codex \u00B7 title \u00B7 p")));
    QCOMPARE(state_->recentEvents().back().event.ts, 3);
    list->scrollToItem(list->item(1));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    QTRY_COMPARE_WITH_TIMEOUT(back->calls().size(), std::size_t(1), kGateMs);
    QCOMPARE(back->calls()[0].first.ts, 11);

    auto* quiet = view_->findChild<QCheckBox*>("quietSwitch");
    QTest::mouseClick(quiet, Qt::LeftButton, {}, QPoint(6, quiet->height() / 2));
    QVERIFY(state_->quietWhenInFront());
    QVERIFY(pool()->waitForDone(kGateMs));
    gt::SettingsStore reread(file);
    QVERIFY(reread.load());
    QVERIFY(reread.get().quietWhenInFront);
    QVERIFY(reread.save());  // a file that reads is saved in place, not moved aside
    QCOMPARE(std::filesystem::status(file).permissions() & std::filesystem::perms::all, std::filesystem::perms(0600));
    QCOMPARE(gt::test::readAll(file.string() + ".bad"), std::string("{not json"));

    // Where the desktop cannot tell what is in front, the switch says so instead of doing nothing.
    gt::PanelServices noFront = hookServices();
    noFront.quietUnavailable = QStringLiteral("无法判断");
    gt::StatusView other(state_.get(), noFront);
    other.show();
    QCOMPARE(apptest::looks(&other, "quietSwitch quietUnavailable"), QStringLiteral("x+"));
    QVERIFY(!other.findChild<QCheckBox*>("quietSwitch")->isChecked() && state_->quietWhenInFront());
  }

  void rowsRunConcurrently() {
    // Three slow tool runs at once: none waits for another, and a busy row ignores clicks.
    makeView();
    for (AgentID a : gt::allAgents()) {
      gates_[idx(a)].close();
      answer(a, gt::HookSuccess{{report(std::string(gt::rawValue(a)), "installed")}});
    }
    click(codex);
    click(codex);
    click(claude);
    QCOMPARE(switches(), QStringLiteral("on… on… off"));
    click(kimi);
    QTRY_COMPARE_WITH_TIMEOUT(calls_->get().size(), std::size_t(3), kGateMs);
    gates_[idx(claude)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(claude), kGateMs);
    QVERIFY(busy(codex));
    gates_[idx(codex)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(codex), kGateMs);
    QCOMPARE(label("installResultText")->text(),
             QStringLiteral("codex: 已安装"));  // the later report replaces the earlier
    gates_[idx(kimi)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(kimi), kGateMs);
    QCOMPARE(calls_->get().size(), std::size_t(3));
    // The view goes while a change runs: its result is dropped.
    gates_[idx(codex)].close();
    click(codex);
    view_.reset();
    gates_[idx(codex)].open();
    QVERIFY(pool()->waitForDone(kGateMs));
    QTest::qWait(20);  // a stray result delivery would crash here
    QCOMPARE(calls_->get().size(), std::size_t(4));
  }
};

QTEST_MAIN(StatusViewTest)
#include "status_view_test.moc"
