// The app's state, panel, views, tray item and icon offscreen, with a stand-in phone, a scripted search and
// hook tool, and a real pairing store, settings file and event socket in a temporary folder.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
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

// Each call is logged as "host port codeOrToken" when it starts; `answer` is set only while no pairing runs.
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

// As wide as the app's and, like it, never destroyed: a test's cleanup waits for it to drain instead.
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
  // The scripted search and hook tool (per agent): answers are set only while no run reads them.
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
    QPointer<QWidget> pairing = root->current();
    // Unreachable: the status view and the offline icon. The name stored in the file is shown, not the
    // phone's own; one that would clear a terminal and turn the text around is shown inert.
    QVERIFY(ConfigStore::save(record("客厅\x1b[2J\u202e")));
    phone_->reachable = false;
    QVERIFY(refreshAndWait());
    QCOMPARE(state_->conn(), ConnState::offline());
    QPointer<QWidget> status = qobject_cast<StatusView*>(root->current());
    QVERIFY(status && !online());
    QTRY_VERIFY_WITH_TIMEOUT(pairing.isNull(), kWaitMs);
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
    // Unpairing wins over a probe in flight.
    phone_->probeGate.close();
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_COMPARE_WITH_TIMEOUT(phone_->probes.get().size(), std::size_t(3), kWaitMs);
    QVERIFY(state_->unpair());
    QVERIFY(!std::filesystem::exists(ConfigStore::configPath()));
    phone_->probeGate.open();
    QTRY_VERIFY_WITH_TIMEOUT(done, kWaitMs);
    QVERIFY(state_->conn() == ConnState::unpaired() && !state_->cfg());  // the late answer changed nothing
  }

  // Start-up runs once and a new poll loop replaces the old; an event socket that failed is shown and retried;
  // events reach the list while notifications hang; the quiet switch is saved, an unreadable file kept aside.
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
    state_->startPolling();
    QTRY_COMPARE_WITH_TIMEOUT(phone_->probes.get().size(), std::size_t(2), kWaitMs);
    // The view's three sections are set apart by lines the user can see.
    int lines = 0;
    for (QFrame* f : view.findChildren<QFrame*>())
      if (f->metaObject() == &QFrame::staticMetaObject) {
        const QImage seen = f->grab().toImage();
        bool drawn = false;
        for (int y = 1; y < seen.height(); ++y)
          drawn = drawn || seen.pixel(seen.width() / 2, y) != seen.pixel(seen.width() / 2, 0);
        lines += drawn;
      }
    QCOMPARE(lines, 3);
    auto* line = child<QLabel>(&view, "intakeProblem");
    QVERIFY(line->isVisible() && line->text().startsWith(QStringLiteral("无法接收 agent 事件：")));
    std::filesystem::remove(run);
    phone_->probeGate.let(2);
    QTRY_COMPARE_WITH_TIMEOUT(phone_->probes.get().size(), std::size_t(3), kWaitMs);  // one loop's next turn
    QVERIFY(!line->isVisible());
    QTest::qWait(300);
    QCOMPARE(phone_->probes.get().size(), std::size_t(3));  // neither a second start-up nor the old loop

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
    SettingsStore reread(file);
    QTRY_VERIFY_WITH_TIMEOUT(reread.load() && reread.get().quietWhenInFront, kWaitMs);
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
    QTRY_COMPARE_WITH_TIMEOUT(switches(), QStringLiteral("off off on"), kWaitMs);
    // Slow runs at once: none waits for another, a busy switch ignores clicks, the later report wins.
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
    click(box(kimi));
    QTRY_VERIFY_WITH_TIMEOUT(!busy(kimi), kWaitMs);
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
    QVERIFY(child<QWidget>(view.get(), "installResult")->sizeHint().height() > 0);  // its box makes room for it
    // Clicking again retries; an empty report still shows the box.
    answers_[idx(kimi)] = HookSuccess{};
    click(box(kimi));
    QTRY_VERIFY_WITH_TIMEOUT(!busy(kimi), kWaitMs);
    QVERIFY(switches() == QStringLiteral("on on off") && view->installResult() == QString());
    // Each showing drops the last reports and reads the state afresh (the CLI may have changed it).
    installed_[idx(claude)] = false;
    view->hide();
    view->show();
    QCOMPARE(looks(view.get(), "installResult hookError"), QStringLiteral("--"));
    QTRY_VERIFY_WITH_TIMEOUT(!box(claude)->isChecked() && !view->row(claude)->reading(), kWaitMs);
    // Turning the failed switch back started no run; clicking again retried.
    QCOMPARE(steps_->get(), (Steps{{codex, true}, {claude, true}, {kimi, false}, {kimi, false}}));
  }

  // The pairing view in the opened panel, with a scripted search.
  void pairing() {
    auto panel = std::make_unique<TrayPanel>(new PanelRootView(state_.get(), services()), TrayPanel::Mode::popup);
    auto* view = qobject_cast<PairingView*>(panel->root()->current());
    auto* picker = child<QComboBox>(view, "devicePicker");
    const auto parts = [&] {
      return looks(view, "searchingRow noDeviceLabel discoveryProblem devicePicker rescanButton pairButton pairError");
    };
    const auto rescan = [&] {
      click(child(view, "rescanButton"));
      QTRY_VERIFY_WITH_TIMEOUT(!view->searching(), kWaitMs);
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
    picker->setCurrentIndex(1);
    emit picker->activated(1);
    click(child(view, "pairButton"));
    QTRY_VERIFY_WITH_TIMEOUT(!view->busy(), kWaitMs);
    QCOMPARE(phone_->pairs.get(), std::vector<std::string>{"192.168.1.8 8080 1923"});
    QCOMPARE(child<QLabel>(view, "pairError")->text(), QStringLiteral("无法连接设备：<b>bold</b> &amp;"));
    QCOMPARE(child<QLabel>(view, "pairError")->textFormat(), Qt::PlainText);
    QCOMPARE(parts(), QStringLiteral("---++++"));
    QCOMPARE(view->selected()->name, std::string("Phone"));
    // A new search clears the error, keeps the code and selects the first device again.
    rescan();
    QVERIFY(!child(view, "pairError")->isVisible() && view->selected()->name == "Desk" && view->code() == "1923");
    // Nothing found: said so, with the reason; a full code cannot pair with nothing selected.
    found_ = fail(BrowseProblem::noDaemon, "avahi-daemon is not running");
    rescan();
    QVERIFY(parts() == QStringLiteral("-++-+x-") && !view->selected());
    // Of two devices with one name the first is picked; the panel goes with a pairing and a search running:
    // the pairing still completes.
    found_ = std::vector{dev("Dup", "10.0.0.1"), dev("Dup", "10.0.0.2")};
    rescan();
    phone_->answer = PairSuccess{"tok", "phone"};
    picker->setCurrentIndex(1);
    emit picker->activated(1);
    QCOMPARE(picker->currentIndex(), 0);
    phone_->pairGate.close();
    click(child(view, "pairButton"));
    QCOMPARE(looks(view, "rescanButton pairButton"), QStringLiteral("+x"));  // searching stays possible
    searchGate_.close();
    click(child(view, "rescanButton"));
    panel.reset();
    searchGate_.open();
    phone_->pairGate.open();
    QTRY_COMPARE_WITH_TIMEOUT(state_->conn(), ConnState::connected("Dup"), kWaitMs);
    QCOMPARE(phone_->pairs.get().back(), std::string("10.0.0.1 8080 1923"));
    QCOMPARE(state_->cfg()->wsPort, std::int64_t(8081));
  }

  void placementBelowATopRightIcon() {  // right edge kept on screen; an opened panel stands where it says
    QCOMPARE(TrayPanel::placement({320, 300}, {1257, 1, 22, 22}, {}, {0, 0, 1280, 800}), QPoint(960, 23));
    TrayPanel panel(new PanelRootView(state_.get(), services()), TrayPanel::Mode::popup);
    panel.open({100, 1, 22, 22});
    QCOMPARE(panel.pos(), TrayPanel::placement(panel.size(), {100, 1, 22, 22}, QCursor::pos(),
                                               QGuiApplication::primaryScreen()->availableGeometry()));
  }

  // WCAG contrast of the dial on black, grey and white panels at every tray size in both schemes (the dial's
  // colour carries it where the scheme matches the panel, its edge elsewhere); dial and edge are unblended.
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
          for (int i = 0; i < size * size; ++i)  // the panel's own pixels are neither
            if (const bool inDial = qAlpha(dial.pixel(i % size, i / size));
                inDial || shown.pixel(i % size, i / size) != panel.rgb())
              (inDial ? on : off) << shown.pixel(i % size, i / size);
          QVERIFY(on.size() == 1 && off.size() == 1);
          const double carrier = luminance(*((scheme == Scheme::dark) == (panel.red() < 128) ? on : off).begin());
          const double ratio = std::max(carrier, luminance(panel)) / std::min(carrier, luminance(panel));
          QVERIFY2(ratio >= 3.0, qPrintable(QStringLiteral("%1 on %2: %3:1").arg(size).arg(panel.name()).arg(ratio)));
        }
  }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"
