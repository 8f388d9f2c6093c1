// The status view against a stand-in device, a real pairing store in a temporary folder and a scripted
// hook installer whose runs the test can hold open.
#include "app/views/status_view.h"

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QThreadPool>
#include <algorithm>
#include <array>

#include "support/app_test_support.h"
#include "app/views/view_tasks.h"

using gt::AgentID;
using namespace apptest;
const AgentID codex = *gt::agentFromRaw("codex"), claude = *gt::agentFromRaw("claude"), kimi = *gt::agentFromRaw("kimi");

namespace {

std::size_t idx(AgentID a) { return std::find(gt::allAgents().begin(), gt::allAgents().end(), a) - gt::allAgents().begin(); }

// The hook installer and state reader, per agent: a scripted answer, a gate, and a call log.
struct FakeHooks {
  std::atomic<int> reads{0}, started{0};
  std::array<std::atomic<bool>, 3> installed{};
  std::array<Gate, 3> gates;
  std::mutex mu;
  std::array<gt::HookResult, 3> answers{gt::HookSuccess{}, gt::HookSuccess{}, gt::HookSuccess{}};
  std::vector<std::pair<AgentID, bool>> calls;

  StatusView::Services services() {
    StatusView::Services s;
    s.setHook = [this](AgentID agent, bool enabled) {
      ++started;
      gates[idx(agent)].wait();
      std::lock_guard lock(mu);
      calls.push_back({agent, enabled});
      return answers[idx(agent)];
    };
    s.isInstalled = [this](AgentID agent) {
      ++reads;
      return installed[idx(agent)].load();
    };
    return s;
  }
  void answer(AgentID a, gt::HookResult r) {
    std::lock_guard lock(mu);
    answers[idx(a)] = std::move(r);
  }
  std::vector<std::pair<AgentID, bool>> callLog() {
    std::lock_guard lock(mu);
    return calls;
  }
};

gt::InstallReport report(std::string agent, std::string action, std::string backup = {}) {
  return gt::InstallReport{std::move(agent), "/home/u/.x/config", std::move(action), std::move(backup), {"n"}};
}
gt::HookSuccess success(std::vector<gt::InstallReport> reports, std::string note = {}) {
  return gt::HookSuccess{std::move(reports), std::move(note)};
}
gt::HookSuccess installed(std::string_view agent) { return success({report(std::string(agent), "installed")}); }
gt::HookError failure(std::string description) { return gt::HookError{"HookInstaller", 1, std::move(description)}; }

}  // namespace

class StatusViewTest : public QObject {
  Q_OBJECT
  std::unique_ptr<TempHome> home_;
  std::shared_ptr<FakeDevice> device_;
  std::unique_ptr<AppState> state_;
  std::unique_ptr<FakeHooks> hooks_;
  std::unique_ptr<StatusView> view_;
  std::vector<QUrl> opened_;
  int quits_ = 0;

  QLabel* label(const char* name) { return view_->findChild<QLabel*>(QString::fromLatin1(name)); }
  QCheckBox* box(AgentID a) { return view_->findChild<QCheckBox*>("hookToggle-" + QString::fromUtf8(gt::rawValue(a))); }
  QString resultText() { return label("installResultText")->text(); }
  QString looks() { return apptest::looks(view_.get(), "addressLabel installResult hookError"); }
  // The three switches, codex to kimi: on or off, '…' while a change runs (and the switch is disabled).
  QString switches() {
    QStringList out;
    for (AgentID a : gt::allAgents())
      out << QString(box(a)->isChecked() ? "on" : "off") + (view_->row(a)->busy() ? "…" : "") +
                 (box(a)->isEnabled() == view_->row(a)->busy() ? "!" : "");
    return out.join(' ');
  }
  bool busy(AgentID a) { return view_->row(a)->busy(); }

  void makeView() {
    StatusView::Services s = hooks_->services();
    s.openUrl = [this](const QUrl& u) { opened_.push_back(u); };
    s.quit = [this] { ++quits_; };
    view_ = std::make_unique<StatusView>(state_.get(), s);
    view_->resize(320, view_->sizeHint().height());
    view_->show();
    for (AgentID a : gt::allAgents()) QTRY_VERIFY_WITH_TIMEOUT(!view_->row(a)->reading(), kGateMs);
  }
  // A user click on an agent's switch; the change runs until the row is idle again.
  void click(AgentID a) { QTest::mouseClick(box(a), Qt::LeftButton, {}, QPoint(6, box(a)->height() / 2)); }
  void clickAndWait(AgentID a) {
    click(a);
    QTRY_VERIFY_WITH_TIMEOUT(!busy(a), kGateMs);
  }
  void clickButton(const char* name) {
    QTest::mouseClick(view_->findChild<QPushButton*>(QString::fromLatin1(name)), Qt::LeftButton);
  }

 private slots:
  void init() {
    home_ = std::make_unique<TempHome>();
    device_ = std::make_shared<FakeDevice>();
    state_ = makeState(device_);
    hooks_ = std::make_unique<FakeHooks>();
    opened_.clear();
    quits_ = 0;
  }
  void cleanup() {
    for (auto& g : hooks_->gates) g.open();
    view_.reset();
    ViewTasks::pool()->waitForDone(kGateMs);
    state_.reset();
    hooks_.reset();
    home_.reset();
  }

  void linkRowAddressLineAndFixedTexts() {
    makeView();
    auto dot = [&] { return label("linkDot")->property("dotColor").value<QColor>(); };
    QCOMPARE(label("linkLabel")->text(), QStringLiteral("未配对"));
    QCOMPARE(dot(), QColor(0x8e, 0x8e, 0x93));
    QCOMPARE(looks(), QStringLiteral("---"));  // no record loaded, nothing changed yet

    QVERIFY(!gt::ConfigStore::save({"Desk", "192.168.1.20", 8081, 8080, "tok", "2026-03-01T09:05:07Z"}));
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(label("linkLabel")->text(), QStringLiteral("已连接 Desk"));
    QVERIFY(dot().green() > dot().red());
    QCOMPARE(looks(), QStringLiteral("+--"));
    QCOMPARE(label("addressLabel")->text(), QStringLiteral("192.168.1.20  ws=8081 http=8080"));

    device_->reachable = false;
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(label("linkLabel")->text(), QStringLiteral("离线 / 不可达"));
    QVERIFY(dot().red() > dot().green());
    QCOMPARE(looks(), QStringLiteral("+--"));

    // Unpairing deletes the record; the address line goes with it.
    clickButton("unpairButton");
    QVERIFY(!std::filesystem::exists(gt::ConfigStore::configPath()));
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QCOMPARE(looks(), QStringLiteral("---"));
    QCOMPARE(label("linkLabel")->text(), QStringLiteral("未配对"));

    int lastY = -1;
    const std::pair<AgentID, const char*> rows[] = {{codex, "Codex"}, {claude, "Claude"}, {kimi, "Kimi"}};
    for (auto [a, text] : rows) {
      QCOMPARE(box(a)->text(), QString::fromLatin1(text));
      QVERIFY(box(a)->mapTo(view_.get(), QPoint()).y() > lastY);  // in this order, top to bottom
      lastY = box(a)->mapTo(view_.get(), QPoint()).y();
    }
    QCOMPARE(label("hookNote")->text(), QStringLiteral("hook 对新启动的会话生效，已运行的 agent 会话请重启。"));
    QVERIFY(view_->findChild<QWidget*>("installResult")->maximumHeight() <= 100);

    clickButton("openConfigButton");
    QCOMPARE(opened_.size(), std::size_t(1));
    QVERIFY(opened_[0].isLocalFile());
    QCOMPARE(opened_[0].toLocalFile(), QString::fromStdString(gt::ConfigStore::baseDir().string()));
    clickButton("quitButton");
    QCOMPARE(quits_, 1);
  }

  void installedHookShowsOnWithoutRunningTheTool() {
    hooks_->installed[idx(claude)] = true;
    makeView();
    QCOMPARE(switches(), QStringLiteral("off on off"));
    QVERIFY(view_->row(claude)->flow().applied);
    // Shown again (panel reopened): read again, still no tool run.
    const int reads = hooks_->reads;
    hooks_->installed[idx(claude)] = false;
    view_->hide();
    view_->show();
    QTRY_VERIFY_WITH_TIMEOUT(!box(claude)->isChecked(), kGateMs);
    QVERIFY(hooks_->reads > reads);
    QVERIFY(hooks_->callLog().empty());
  }

  void successfulChangeShowsTheReport() {
    makeView();
    hooks_->answer(
        claude, success({report("claude", "installed", "/home/u/.claude/settings.json.bak"), report("claude", "kept")},
                        "请重启 claude 会话"));
    hooks_->gates[idx(claude)].close();
    click(claude);
    QCOMPARE(switches(), QStringLiteral("off on… off"));
    hooks_->gates[idx(claude)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(claude), kGateMs);
    QCOMPARE(switches(), QStringLiteral("off on off"));
    QVERIFY(view_->row(claude)->flow().applied);
    QCOMPARE(looks(), QStringLiteral("-+-"));
    QCOMPARE(resultText(), QStringLiteral("claude: installed (备份: /home/u/.claude/settings.json.bak)\n"
                                          "claude: kept\n请重启 claude 会话"));
    QCOMPARE(hooks_->callLog(), (std::vector<std::pair<AgentID, bool>>{{claude, true}}));

    hooks_->answer(claude, success({report("claude", "removed")}));
    clickAndWait(claude);
    QCOMPARE(hooks_->callLog().back(), std::pair(claude, false));
    QVERIFY(!view_->row(claude)->flow().applied);
    QCOMPARE(resultText(), QStringLiteral("claude: removed"));
  }

  void reportTextShapes() {
    QCOMPARE(HookToggleRow::reportText(success({})), QString());
    QCOMPARE(HookToggleRow::reportText(success({}, "note")), QStringLiteral("\nnote"));
    QCOMPARE(HookToggleRow::reportText(success({report("a", "x")}, "note")), QStringLiteral("a: x\nnote"));
    QCOMPARE(HookToggleRow::reportText(success({report("a", "x", "b"), report("c", "y")})),
             QStringLiteral("a: x (备份: b)\nc: y"));

    // An empty report still shows the (empty) box; one far longer than the box scrolls inside it.
    makeView();
    clickAndWait(kimi);
    QCOMPARE(view_->installResult(), std::optional<QString>(QString()));
    QCOMPARE(looks(), QStringLiteral("-+-"));
    auto* box = view_->findChild<QWidget*>("installResult");
    QVERIFY(box->height() <= 100);
    hooks_->answer(kimi, success(std::vector<gt::InstallReport>(40, report("kimi", "installed", "/a/b")), "n"));
    clickAndWait(kimi);
    QTRY_VERIFY_WITH_TIMEOUT(box->height() <= 100, kGateMs);
    QCOMPARE(resultText().count(QLatin1Char('\n')), 40);
  }

  void failedChangeRevertsAndRetries() {
    hooks_->installed[idx(kimi)] = true;
    makeView();
    hooks_->answer(codex, failure("tool exploded\n"));
    clickAndWait(codex);
    QCOMPARE(switches(), QStringLiteral("off off on"));
    QVERIFY(!view_->row(codex)->flow().applied);
    QCOMPARE(looks(), QStringLiteral("--+"));
    QCOMPARE(label("hookError")->text(), QStringLiteral("codex 操作失败：tool exploded\n"));
    QTest::qWait(20);  // reverting the switch is the row's own update: it starts no second run
    QCOMPARE(hooks_->callLog().size(), std::size_t(1));

    // Clicking again retries; success leaves the earlier error line in place.
    hooks_->answer(codex, installed("codex"));
    clickAndWait(codex);
    QCOMPARE(hooks_->callLog().back(), std::pair(codex, true));
    QCOMPARE(switches(), QStringLiteral("on off on"));
    QCOMPARE(looks(), QStringLiteral("-++"));
    QCOMPARE(resultText(), QStringLiteral("codex: installed"));

    // A failed removal elsewhere turns its switch back on, keeps the result box and replaces the error.
    hooks_->answer(kimi, failure("<i>markup</i>"));
    clickAndWait(kimi);
    QCOMPARE(hooks_->callLog().back(), std::pair(kimi, false));
    QCOMPARE(switches(), QStringLiteral("on off on"));
    QCOMPARE(resultText(), QStringLiteral("codex: installed"));
    QCOMPARE(*view_->hookError(), QStringLiteral("kimi 操作失败：<i>markup</i>"));
    QCOMPARE(label("hookError")->text(), *view_->hookError());
    QCOMPARE(label("hookError")->textFormat(), Qt::PlainText);

    // Long unbroken paths and messages wrap or scroll inside the 320-px panel instead of widening it.
    hooks_->answer(claude, success({report("claude", "installed", "/home/" + std::string(200, 'x'))}));
    clickAndWait(claude);
    hooks_->answer(kimi, failure(std::string(200, 'y')));
    clickAndWait(kimi);
    QVERIFY2(view_->minimumSizeHint().width() <= 280, qPrintable(QString::number(view_->minimumSizeHint().width())));
  }

  void rowsRunConcurrentlyAndStayReadable() {
    // Three slow tool runs at once, on a machine with few cores: none waits for another, a busy row
    // ignores clicks, and a re-shown view can still read the hook state meanwhile.
    makeView();
    for (AgentID a : gt::allAgents()) {
      hooks_->gates[idx(a)].close();
      hooks_->answer(a, installed(gt::rawValue(a)));
    }
    click(codex);
    click(codex);
    click(claude);
    QCOMPARE(switches(), QStringLiteral("on… on… off"));
    click(kimi);
    QTRY_COMPARE_WITH_TIMEOUT(hooks_->started.load(), 3, kGateMs);
    StatusView second(state_.get(), hooks_->services());
    second.show();
    for (AgentID a : gt::allAgents()) QTRY_VERIFY_WITH_TIMEOUT(!second.row(a)->reading(), kGateMs);

    hooks_->gates[idx(claude)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(claude), kGateMs);
    QVERIFY(busy(codex));
    QCOMPARE(resultText(), QStringLiteral("claude: installed"));
    hooks_->gates[idx(codex)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(codex), kGateMs);
    QCOMPARE(resultText(), QStringLiteral("codex: installed"));  // the later report replaces the earlier
    hooks_->gates[idx(kimi)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(kimi), kGateMs);
    QCOMPARE(hooks_->callLog().size(), std::size_t(3));
  }

  void viewGoneWhileAChangeRuns() {
    makeView();
    hooks_->gates[idx(codex)].close();
    click(codex);
    view_.reset();
    hooks_->gates[idx(codex)].open();
    ViewTasks::pool()->waitForDone(kGateMs);
    QTest::qWait(20);  // a stray result delivery would crash here
    QCOMPARE(hooks_->callLog().size(), std::size_t(1));
  }
};

QTEST_MAIN(StatusViewTest)
#include "status_view_test.moc"
