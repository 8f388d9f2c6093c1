// The app's state, panel, views, tray item and icon on the offscreen platform (no tray host there), with
// a stand-in phone, a scripted device search and hook tool, and a real pairing store, settings file and
// event socket in a temporary folder. The whole app on real desktops: desktop_e2e.sh, desktops_e2e.sh.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QSemaphore>
#include <QtTest>

#include "app/app_state.h"
#include "app/menu_icon.h"
#include "app/panel_root_view.h"
#include "app/tray_controller.h"
#include "app/tray_panel.h"
#include "app/views/pairing_view.h"
#include "app/views/status_view.h"
#include "core/pairing/config_store.h"
#include "support/event_support.h"
#include "support/test_files.h"

using namespace gt;
using Steps = std::vector<std::pair<AgentID, bool>>;
namespace {

constexpr int kWaitMs = 5000;   // how long a test waits for the code under test
constexpr int kHoldMs = 15000;  // how long a closed gate holds at most: longer, so no wait passes by time-out
const AgentID codex = *agentFromRaw("codex"), claude = *agentFromRaw("claude"), kimi = *agentFromRaw("kimi");

// Where work on the pool waits while a test holds it: closed, each let() lets one through.
class Gate {
 public:
  void close() {
    sem_.tryAcquire(sem_.available());
    closed_ = true;
  }
  void open() {
    closed_ = false;
    sem_.release(1000);
  }
  void let(int n) { sem_.release(n); }
  void wait() {
    if (closed_) sem_.tryAcquire(1, kHoldMs);
  }

 private:
  std::atomic<bool> closed_{false};
  QSemaphore sem_;
};

// Each call is logged as "host port codeOrToken" when it starts. `answer` is set only while no pairing
// runs: the pool's queue orders the two.
struct FakePhone : ClockAPI {
  bool probe(const std::string& host, std::int64_t port, const std::string& token) const override {
    probes.push(host + " " + std::to_string(port) + " " + token);
    probeGate.wait();
    return reachable;
  }
  PairResult pair(const std::string& host, std::int64_t port, const std::string& code,
                  const std::string& client) const override {
    pairGate.wait();
    if (client.empty()) return fail(PairError::transport("no client name"));  // the app must name itself
    pairs.push(host + " " + std::to_string(port) + " " + code);
    return answer;
  }
  std::atomic<bool> reachable{true};
  mutable Gate probeGate, pairGate;
  mutable test::SharedList<std::string> probes, pairs;
  PairResult answer = PairSuccess{"tok-123", "Name The Phone Reports"};
};

// As wide as the app's (a probe, a pairing, a search and a tool run per agent at once) and, like it, never
// destroyed: a test's cleanup waits for it to drain instead.
QThreadPool* pool() {
  static QThreadPool* p = new QThreadPool;
  p->setMaxThreadCount(3 + static_cast<int>(allAgents().size()));
  return p;
}

ClockConfig record(std::string name = "客厅的手机", std::string token = "tok-abc") {
  return {std::move(name), "127.0.0.1", 8765, 8766, std::move(token), "2026-03-01T09:05:07Z"};
}
DiscoveredDevice dev(std::string name, std::string host, std::string model = {}) {
  return {std::move(name), std::move(host), 8081, 8080, std::move(model), {}};
}
InstallReport report(std::string agent, std::string action, std::string backup = {}) {
  return {std::move(agent), "/home/u/.x/config", std::move(action), std::move(backup), {"n"}};
}

// Each named child of root as one character: '+' shown and enabled, 'x' shown but disabled, '-' hidden.
QString looks(const QWidget* root, const char* names) {
  QString out;
  for (const QString& name : QString::fromLatin1(names).split(u' ')) {
    const auto* w = root->findChild<QWidget*>(name);
    out += !w ? u'?' : !w->isVisible() ? u'-' : w->isEnabled() ? u'+' : u'x';
  }
  return out;
}
template <typename T = QWidget>
T* child(const QWidget* root, const char* name) {
  return root->findChild<T*>(QString::fromLatin1(name));
}
void click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton, {}, QPoint(6, w->height() / 2)); }

}  // namespace

class AppTest : public QObject {
  Q_OBJECT
  std::optional<test::TempDir> home_;
  std::shared_ptr<FakePhone> phone_;
  std::unique_ptr<AppState> state_;
  // The scripted search and hook tool, per agent: an answer, a gate and the calls made. Answers are set
  // only while no run that reads them is under way.
  DeviceSearch found_;
  Gate searchGate_;
  std::atomic<int> searches_{0}, opened_{0}, quits_{0};
  std::array<std::atomic<bool>, 3> installed_{};
  std::array<Gate, 3> hookGates_;
  std::array<HookResult, 3> answers_;
  std::optional<test::SharedList<std::pair<AgentID, bool>>> steps_;

  static std::size_t idx(AgentID a) {
    return std::find(allAgents().begin(), allAgents().end(), a) - allAgents().begin();
  }
  PanelServices services() {
    return {pool(),
            [this] {
              ++searches_;
              searchGate_.wait();
              return found_;
            },
            [this](AgentID agent, bool on) {
              steps_->push({agent, on});  // on starting: a run held at its gate counts
              hookGates_[idx(agent)].wait();
              return answers_[idx(agent)];
            },
            [this](AgentID agent) { return installed_[idx(agent)].load(); },
            [this] { ++opened_; },
            [this] { ++quits_; },
            {}};
  }
  bool refreshAndWait() {
    bool done = false;
    state_->refresh([&] { done = true; });
    return QTest::qWaitFor([&] { return done; }, kWaitMs);
  }

 private slots:
  void init() {
    ConfigStore::setBaseDir(home_.emplace().path() / "base");
    phone_ = std::make_shared<FakePhone>();
    state_ = std::make_unique<AppState>(
        AppState::Parts{pool(), phone_, nullptr, nullptr, std::chrono::seconds(10), nullptr, nullptr});
    found_ = std::vector{dev("Desk", "192.168.1.7")};
    searches_ = opened_ = quits_ = 0;
    for (auto& i : installed_) i = false;
    answers_.fill(HookSuccess{});
    steps_.emplace();
  }
  void cleanup() {
    for (Gate* g :
         {&searchGate_, &hookGates_[0], &hookGates_[1], &hookGates_[2], &phone_->probeGate, &phone_->pairGate})
      g->open();
    state_.reset();
    pool()->waitForDone(kWaitMs);  // no task may still use the store or the fakes
    ConfigStore::resetBaseDir();
    home_.reset();
  }

  // What the pairing file and the phone say decides the panel's view, its link row and the tray icon.
  void linkStateDrivesPanelAndTray() {
    auto* root = new PanelRootView(state_.get(), services());
    TrayPanel panel(root, TrayPanel::Mode::popup);
    TrayController tray(state_.get(), &panel);
    tray.start();
    const auto online = [&] {  // no red dot
      return tray.icon()->icon().pixmap(32).toImage().pixelColor(26, 26) != MenuIcon::offlineDotColor();
    };
    QVERIFY(!online() && root->showingPairing());
    QPointer<QWidget> first = root->current();
    QVERIFY(ConfigStore::save(record("客厅", "")));  // an empty token counts as unpaired: no probe
    QVERIFY(refreshAndWait());
    QVERIFY(state_->conn() == ConnState::unpaired() && state_->cfg() && phone_->probes.get().empty());
    QCOMPARE(root->current(), first.data());  // kept, not rebuilt
    // Unreachable: the status view and the offline icon. The name stored in the file is shown, not the
    // phone's own; one that would clear a terminal and turn the text around is shown inert.
    QVERIFY(ConfigStore::save(record("客厅\x1b[2J\u202e")));
    phone_->reachable = false;
    QVERIFY(refreshAndWait());
    QCOMPARE(state_->conn(), ConnState::offline());
    QPointer<QWidget> status = qobject_cast<StatusView*>(root->current());
    QVERIFY(status && !online());
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), kWaitMs);
    phone_->reachable = true;
    QVERIFY(refreshAndWait());
    QCOMPARE(root->current(), status.data());
    QVERIFY(online());
    QCOMPARE(phone_->probes.get().back(), std::string("127.0.0.1 8766 tok-abc"));
    QCOMPARE(child<QLabel>(status, "linkLabel")->text(), QStringLiteral("已连接 客厅\\x1b[2J\\u202e"));
    QVERIFY(tray.icon()->toolTip().contains(QStringLiteral("已连接 客厅\\x1b[2J\\u202e")));
    tray.icon()->contextMenu()->actions().first()->trigger();
    QVERIFY(panel.isVisible());
    click(child(status, "openConfigButton"));
    click(child(status, "quitButton"));
    QCOMPARE(opened_ * 10 + quits_, 11);
    // A file another process broke: unpaired again.
    test::writeAll(ConfigStore::configPath(), "{ not json");
    QVERIFY(refreshAndWait());
    QVERIFY(state_->conn() == ConnState::unpaired() && !state_->cfg() && root->showingPairing());
    // Unpairing fails when the file vanished behind our back (nothing changes), and wins over a probe in flight.
    QVERIFY(ConfigStore::save(record()));
    QVERIFY(refreshAndWait());
    QVERIFY(ConfigStore::deleteConfig());
    QVERIFY(!state_->unpair());
    QCOMPARE(state_->conn(), ConnState::connected("客厅的手机"));
    QVERIFY(ConfigStore::save(record()));
    phone_->probeGate.close();
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_COMPARE_WITH_TIMEOUT(phone_->probes.get().size(), std::size_t(4), kWaitMs);
    QVERIFY(state_->unpair());
    QVERIFY(!std::filesystem::exists(ConfigStore::configPath()));
    phone_->probeGate.open();
    QTRY_VERIFY_WITH_TIMEOUT(done, kWaitMs);
    QVERIFY(state_->conn() == ConnState::unpaired() && !state_->cfg());  // the late answer changed nothing
  }

  // The start-up runs once and a new poll loop replaces the old; an event socket that could not be opened
  // is shown and tried again each period; events reach the panel's list while the notification service
  // hangs; the quiet switch is saved, and a settings file that did not read is kept aside, not lost.
  void pollingEventsAndTheQuietSwitch() {
    struct Hung : NotificationCenter {  // takes every call and answers none until it is opened
      QSemaphore opened;
      std::atomic<bool> sawNew{false};
      NotifyResult checkService() override { return {}; }
      NotifyResult add(const NotificationRequest& r) override {
        if (opened.tryAcquire(1, kHoldMs)) opened.release();
        sawNew = sawNew || r.body == "new";
        return {};
      }
    };
    const auto run = home_->path() / "run", file = home_->path() / "settings.json";
    test::writeAll(run, "not a folder");
    test::writeAll(file, "{not json");
    auto settings = std::make_shared<SettingsStore>(file);
    QVERIFY(!settings->load());
    auto center = std::make_shared<Hung>();
    auto back = std::make_shared<test::FakeReturn>();
    state_ = std::make_unique<AppState>(
        AppState::Parts{pool(), phone_, std::make_shared<EventListener>((run / "events.sock").string()),
                        std::make_shared<Notifier>(center, std::make_shared<test::MemoryLog>(), back),
                        std::chrono::milliseconds(100), settings, nullptr});
    QVERIFY(ConfigStore::save(record()));
    StatusView view(state_.get(), services());
    view.show();
    TrayPanel panel(new PanelRootView(state_.get(), services()), TrayPanel::Mode::popup);
    TrayController tray(state_.get(), &panel);
    phone_->probeGate.close();
    state_->start();
    state_->start();
    QTRY_COMPARE_WITH_TIMEOUT(phone_->probes.get().size(), std::size_t(1), kWaitMs);
    QTest::qWait(300);
    QCOMPARE(phone_->probes.get().size(), std::size_t(1));
    state_->startPolling();
    QTRY_COMPARE_WITH_TIMEOUT(phone_->probes.get().size(), std::size_t(2), kWaitMs);
    auto* line = child<QLabel>(&view, "intakeProblem");
    QVERIFY(line->isVisible() && line->text().startsWith(QStringLiteral("无法接收 agent 事件：")));
    QVERIFY(tray.icon()->toolTip().endsWith(line->text()));
    std::filesystem::remove(run);
    phone_->probeGate.let(2);
    QTRY_COMPARE_WITH_TIMEOUT(phone_->probes.get().size(), std::size_t(3), kWaitMs);  // one loop's next turn
    QVERIFY(!line->isVisible() && !tray.icon()->toolTip().contains('\n'));
    QTest::qWait(300);
    QCOMPARE(phone_->probes.get().size(), std::size_t(3));

    // Newest first, ten kept; a click brings back that event's terminal.
    auto* list = child<QListWidget>(&view, "recentEvents");
    QCOMPARE(looks(&view, "recentEmpty recentEvents installResult hookError"), QStringLiteral("+---"));
    const int fd = test::connectTo((run / "events.sock").string());
    for (int i = 1; i <= 12; ++i) QVERIFY(test::sendAll(fd, test::record("codex", i)));
    QTRY_VERIFY_WITH_TIMEOUT(list->count() == 10 && state_->recentEvents().front().event.ts == 12, kWaitMs);
    QCOMPARE(looks(&view, "recentEmpty recentEvents"), QStringLiteral("-+"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(1)).center());
    QVERIFY(test::sendAll(fd, test::record("codex", 13, "new")));
    ::close(fd);
    center->opened.release();
    QTRY_VERIFY_WITH_TIMEOUT(center->sawNew.load() && back->calls().size() == 1, kWaitMs);
    QCOMPARE(back->calls()[0].first.ts, 11);

    click(child(&view, "quietSwitch"));
    QVERIFY(state_->quietWhenInFront());
    const auto saved = [&] {
      SettingsStore reread(file);
      return reread.load() && reread.get().quietWhenInFront;
    };
    QTRY_VERIFY_WITH_TIMEOUT(saved(), kWaitMs);
    QCOMPARE(test::readAll(file.string() + ".bad"), std::string("{not json"));
    // Where the desktop cannot tell what is in front, the switch says so instead of doing nothing.
    PanelServices noFront = services();
    noFront.quietUnavailable = QStringLiteral("无法判断");
    StatusView other(state_.get(), noFront);
    other.show();
    QCOMPARE(looks(&other, "quietSwitch quietUnavailable"), QStringLiteral("x+"));
    QVERIFY(!child<QCheckBox>(&other, "quietSwitch")->isChecked());
  }

  // The hook switches run the tool off the UI thread, each on its own, and report what it did.
  void hookSwitches() {
    installed_[idx(kimi)] = true;
    auto view = std::make_unique<StatusView>(state_.get(), services());
    view->resize(PanelRootView::kWidth, view->sizeHint().height());
    view->show();
    const auto box = [&](AgentID a) { return view->row(a)->checkBox(); };
    const auto busy = [&](AgentID a) { return view->row(a)->busy(); };
    const auto switches = [&] {  // codex to kimi: on or off, '…' while a change runs, '!' enabled while busy
      QStringList out;
      for (AgentID a : allAgents())
        out << QString(box(a)->isChecked() ? "on" : "off") + (busy(a) ? "…" : "") +
                   (box(a)->isEnabled() == busy(a) ? "!" : "");
      return out.join(' ');
    };
    const auto clickAndWait = [&](AgentID a) {
      click(box(a));
      QTRY_VERIFY_WITH_TIMEOUT(!busy(a), kWaitMs);
    };
    QTRY_COMPARE_WITH_TIMEOUT(switches(), QStringLiteral("off off on"), kWaitMs);
    // Slow runs at once: none waits for another, a busy switch ignores clicks, the later report replaces
    // the earlier one.
    hookGates_[idx(codex)].close();
    hookGates_[idx(claude)].close();
    answers_[idx(codex)] = HookSuccess{{report("codex", "installed")}, ""};
    answers_[idx(claude)] =
        HookSuccess{{report("claude", "installed", "/b.bak"), report("claude", "kept")}, "请重启 claude 会话"};
    click(box(codex));
    click(box(codex));
    QTRY_COMPARE_WITH_TIMEOUT(steps_->get().size(), std::size_t(1), kWaitMs);
    click(box(claude));
    QTRY_COMPARE_WITH_TIMEOUT(steps_->get().size(), std::size_t(2), kWaitMs);
    QCOMPARE(switches(), QStringLiteral("on… on… on"));
    // A failed removal turns its switch back on and shows the error as plain text.
    answers_[idx(kimi)] = fail(HookError{HookError::Kind::toolFailed, 1, "<i>markup</i>"});
    clickAndWait(kimi);
    QCOMPARE(switches(), QStringLiteral("on… on… on"));
    QCOMPARE(child<QLabel>(view.get(), "hookError")->text(), QStringLiteral("kimi 操作失败：<i>markup</i>"));
    QCOMPARE(child<QLabel>(view.get(), "hookError")->textFormat(), Qt::PlainText);
    hookGates_[idx(codex)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(codex), kWaitMs);
    hookGates_[idx(claude)].open();
    QTRY_VERIFY_WITH_TIMEOUT(!busy(claude), kWaitMs);
    QCOMPARE(switches(), QStringLiteral("on on on"));
    QCOMPARE(child<QLabel>(view.get(), "installResultText")->text(),
             QStringLiteral("claude: 已安装 (备份: /b.bak)\nclaude: kept\n请重启 claude 会话"));
    QCOMPARE(looks(view.get(), "installResult hookError"), QStringLiteral("++"));
    QCOMPARE(steps_->get().size(), std::size_t(3));  // turning the failed switch back started no run
    // Clicking again retries; an empty report still shows the box.
    answers_[idx(kimi)] = HookSuccess{};
    clickAndWait(kimi);
    QCOMPARE(steps_->get().back(), std::pair(kimi, false));
    QVERIFY(switches() == QStringLiteral("on on off") && view->installResult() == QString());
    // Each showing starts without the last one's reports and reads the state afresh (the CLI may have
    // changed it) without running the tool.
    installed_[idx(claude)] = false;
    view->hide();
    view->show();
    QCOMPARE(looks(view.get(), "installResult hookError"), QStringLiteral("--"));
    QTRY_VERIFY_WITH_TIMEOUT(!box(claude)->isChecked() && !view->row(claude)->reading(), kWaitMs);
    QCOMPARE(steps_->get(), (Steps{{codex, true}, {claude, true}, {kimi, false}, {kimi, false}}));
  }

  // The pairing view in the opened panel, with a scripted search.
  void pairing() {
    auto panel = std::make_unique<TrayPanel>(new PanelRootView(state_.get(), services()), TrayPanel::Mode::popup);
    auto* view = qobject_cast<PairingView*>(panel->root()->current());
    auto* code = child<QLineEdit>(view, "codeField");
    auto* picker = child<QComboBox>(view, "devicePicker");
    const auto parts = [&] {
      return looks(view, "searchingRow noDeviceLabel discoveryProblem devicePicker rescanButton pairButton pairError");
    };
    const auto pick = [&](int index) {
      picker->setCurrentIndex(index);
      emit picker->activated(index);
    };
    const auto rescan = [&] {
      click(child(view, "rescanButton"));
      QTRY_VERIFY_WITH_TIMEOUT(!view->searching(), kWaitMs);
    };
    const auto pairAndWait = [&] {
      click(child(view, "pairButton"));
      QTRY_VERIFY_WITH_TIMEOUT(!view->busy(), kWaitMs);
    };
    // Keys typed right after the panel opens go into the code field: digits only, four at most.
    searchGate_.close();
    found_ = std::vector{dev("Desk", "192.168.1.7"), dev("Phone", "192.168.1.8", "Pixel 8")};
    phone_->answer = fail(PairError::transport("<b>bold</b> &amp;"));
    panel->open(QRect());
    QVERIFY(QTest::qWaitForWindowExposed(panel.get()));
    QTest::keyClicks(nullptr, QStringLiteral("1a9 b235"));
    QVERIFY(view->code() == QStringLiteral("1923") && parts() == QStringLiteral("+---xx-"));
    searchGate_.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view->searching(), kWaitMs);
    QCOMPARE(parts(), QStringLiteral("---+++-"));
    // A failure reaches the error line as plain text; the user can correct the code and try again.
    pick(1);
    pairAndWait();
    QCOMPARE(phone_->pairs.get(), std::vector<std::string>{"192.168.1.8 8080 1923"});
    QCOMPARE(child<QLabel>(view, "pairError")->text(), QStringLiteral("无法连接设备：<b>bold</b> &amp;"));
    QCOMPARE(child<QLabel>(view, "pairError")->textFormat(), Qt::PlainText);
    QCOMPARE(parts(), QStringLiteral("---++++"));
    QCOMPARE(view->selected()->name, std::string("Phone"));
    view->hide();
    view->show();  // one search for the appearance, however often the view is shown again
    QTest::qWait(20);
    QCOMPARE(searches_.load(), 1);
    // A new search clears the error at once, keeps the code and selects the first device again.
    searchGate_.close();
    click(child(view, "rescanButton"));
    QVERIFY(!child(view, "pairError")->isVisible());
    searchGate_.open();
    QTRY_VERIFY_WITH_TIMEOUT(!view->searching(), kWaitMs);
    QVERIFY(view->selected()->name == "Desk" && code->text() == QStringLiteral("1923"));
    // Nothing found: said so, with the reason; a full code cannot pair with nothing selected.
    found_ = fail(BrowseProblem::noDaemon, "avahi-daemon is not running");
    rescan();
    QVERIFY(parts() == QStringLiteral("-++-+x-") && !view->selected());
    // A record that cannot be saved (its folder would lie under a plain file) is a failure too.
    found_ = std::vector{dev("Dup", "10.0.0.1"), dev("Dup", "10.0.0.2")};
    rescan();
    phone_->answer = PairSuccess{"tok", "phone"};
    test::writeAll(home_->path() / "blocker", "x");
    ConfigStore::setBaseDir(home_->path() / "blocker" / "base");
    pairAndWait();
    QVERIFY2(view->error()->startsWith(QStringLiteral("配对失败：")), qPrintable(*view->error()));
    QCOMPARE(state_->conn(), ConnState::unpaired());
    // Of two devices with one name the first is picked; the code goes as typed (the phone decides); the
    // panel goes with a pairing and a search running: the pairing still completes.
    ConfigStore::setBaseDir(home_->path() / "base");
    pick(1);
    QCOMPARE(picker->currentIndex(), 0);
    code->clear();
    code->insert(QStringLiteral("１２\u0301３４"));  // full-width, one with a combining mark: four
    phone_->pairGate.close();
    click(child(view, "pairButton"));
    QCOMPARE(looks(view, "rescanButton pairButton"), QStringLiteral("+x"));  // searching stays possible
    searchGate_.close();
    click(child(view, "rescanButton"));
    panel.reset();
    searchGate_.open();
    phone_->pairGate.open();
    QTRY_COMPARE_WITH_TIMEOUT(state_->conn(), ConnState::connected("Dup"), kWaitMs);
    QCOMPARE(phone_->pairs.get().back(), std::string("10.0.0.1 8080 １２\u0301３４"));
    QCOMPARE(state_->cfg()->wsPort, std::int64_t(8081));
  }

  void placementBelowATopRightIcon() {  // right edge kept on screen
    QCOMPARE(TrayPanel::placement({320, 300}, {1257, 1, 22, 22}, {}, {0, 0, 1280, 800}), QPoint(960, 23));
  }

  // WCAG contrast between the dial and black, dark grey, light grey and white panels at every tray size,
  // in both schemes: the dial's colour carries it where the scheme matches the panel, its edge where it
  // does not. Whole-pixel strokes: dial and edge are one colour each, nothing blended.
  void iconContrastOnEveryPanel() {
    using MenuIcon::Scheme;
    const auto luminance = [](QColor c) {
      const auto lin = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
      return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF()) + 0.05;
    };
    for (const QColor panel : {0x000000u, 0x3C3C3Cu, 0xD0D0D0u, 0xFFFFFFu})
      for (Scheme scheme : {Scheme::light, Scheme::dark})
        for (int size : {16, 22, 24, 32}) {
          QImage shown(size, size, QImage::Format_RGB32);
          shown.fill(panel);
          QPainter(&shown).drawImage(0, 0, MenuIcon::render(std::nullopt, size, scheme));
          const QImage dial = MenuIcon::dialMask(size, MenuIcon::cellPixels(size));
          QSet<QRgb> on, off;
          for (int i = 0; i < size * size; ++i) {
            const QRgb px = shown.pixel(i % size, i / size);
            if (qAlpha(dial.pixel(i % size, i / size)))
              on << px;
            else if (px != panel.rgb())
              off << px;
          }
          QVERIFY(on.size() == 1 && off.size() == 1);
          const double carrier = luminance(*((scheme == Scheme::dark) == (panel.red() < 128) ? on : off).begin());
          const double ratio = std::max(carrier, luminance(panel)) / std::min(carrier, luminance(panel));
          QVERIFY2(ratio >= 3.0, qPrintable(QStringLiteral("%1 on %2: %3:1").arg(size).arg(panel.name()).arg(ratio)));
        }
  }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"
