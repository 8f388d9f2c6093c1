// AppState, the panel root, the drop-down window, the tray item and its icon, on the offscreen platform
// (no tray host there), with a stand-in device and a real pairing store in a temporary folder.
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QSignalSpy>

#include "app/menu_icon.h"
#include "app/panel_root_view.h"
#include "app/tray_controller.h"
#include "app/tray_panel.h"
#include "app/views/pairing_view.h"
#include "app/views/status_view.h"
#include "core/common/unix_socket_client.h"
#include "support/app_test_support.h"

using namespace apptest;
using gt::ConnState;
namespace ConfigStore = gt::ConfigStore;
using std::chrono::milliseconds;

class AppTest : public QObject, StateFixture {
  Q_OBJECT

 private slots:
  void init() { setUp(); }
  void cleanup() { tearDown(); }

  void refreshOutcomes() {
    QVERIFY(ConfigStore::save(record("客厅的手机", "")));  // an empty token counts as unpaired: no request
    QSignalSpy connSpy(state_.get(), &gt::AppState::connChanged);
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), ConnState::unpaired());
    QVERIFY(state_->cfg() && device_->probes.get().empty());
    // Reachable: shown with the name stored in the file, not the phone's own name.
    QVERIFY(ConfigStore::save(record()));
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), ConnState::connected("客厅的手机"));
    QCOMPARE(device_->probes.get(), std::vector<std::string>{"127.0.0.1 8766 tok-abc"});
    device_->reachable = false;
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), ConnState::offline());
    // A file another process broke: back to unpaired. Every assignment is announced.
    gt::test::writeAll(ConfigStore::configPath(), "{ not json");
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(state_->conn(), ConnState::unpaired());
    QVERIFY(!state_->cfg());
    QCOMPARE(connSpy.count(), 4);
    // Unpairing fails when the file vanished behind our back, and wins over a probe in flight.
    device_->reachable = true;
    QVERIFY(ConfigStore::save(record()));
    QVERIFY(refreshAndWait(*state_));
    QVERIFY(ConfigStore::deleteConfig());
    QVERIFY(!state_->unpair());  // nothing changes
    QCOMPARE(state_->conn(), ConnState::connected("客厅的手机"));
    QVERIFY(ConfigStore::save(record()));
    device_->probeDelay = milliseconds(300);
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(device_->probes.get().size() == 4, kGateMs);  // three before it
    QVERIFY(state_->unpair());
    QVERIFY(!std::filesystem::exists(ConfigStore::configPath()));
    QTRY_VERIFY_WITH_TIMEOUT(done, kGateMs);
    QCOMPARE(state_->conn(), ConnState::unpaired());  // the late answer did not revive the pairing
    QVERIFY(!state_->cfg());
  }

  // The start-up runs once, and polling sleeps its interval after each refresh ends, however long a
  // notification service takes to answer.
  void pollsEveryRefreshPlusIntervalWhileTheNotificationServiceHangs() {
    // A service that takes every call and answers none until it is released.
    struct Hung : gt::NotificationCenter {
      QSemaphore open;
      std::atomic<bool> sawNew{false};
      std::optional<std::string> checkService() override { return std::nullopt; }
      std::optional<std::string> add(const gt::NotificationRequest& r) override {
        if (open.tryAcquire(1, kHoldMs)) open.release();
        sawNew = sawNew || r.title == "claude · 新的";
        return std::nullopt;
      }
    };
    QVERIFY(ConfigStore::save(record()));
    auto center = std::make_shared<Hung>();
    const std::string socket = (home_->path() / "run" / "events.sock").string();
    device_->probeDelay = milliseconds(100);
    state_ = std::make_unique<gt::AppState>(
        gt::AppState::Parts{pool(), device_, std::make_shared<gt::EventListener>(socket),
                            std::make_shared<gt::Notifier>(center, std::make_shared<gt::test::MemoryLog>()),
                            milliseconds(200)});
    state_->start();
    state_->start();  // one probe now, not two
    QTest::qWait(200);
    QCOMPARE(device_->probes.get().size(), std::size_t(1));
    gt::AgentEvent ev{"stop", "claude", "done", "完成", "m", "p", 1};
    std::string lines;
    for (int i = 0; i < 300; ++i) lines += gt::encodeAgentEvent(ev) + "\n";
    auto deadline = [] { return std::chrono::steady_clock::now() + std::chrono::seconds(2); };
    QVERIFY(gt::sendToUnixSocket(socket, lines, deadline()).ok());
    state_->startPolling();  // a second loop replaces the first
    // Probes start at about 0, 200, 500, 800, 1100 ms (+ scheduling); two loops would double them.
    QTest::qWait(1050);
    const auto n = device_->probes.get().size();
    QVERIFY2(n >= 2 && n <= 5, QByteArray::number(qulonglong(n)));
    QCOMPARE(state_->conn(), ConnState::connected("客厅的手机"));
    center->open.release();  // a working service appears
    ev.title = "新的";
    QVERIFY(gt::sendToUnixSocket(socket, gt::encodeAgentEvent(ev) + "\n", deadline()).ok());
    QVERIFY(QTest::qWaitFor([&] { return center->sawNew.load(); }, 1000));
  }

  void panelRootFollowsConnAndTrayFollowsIt() {
    auto* root = new gt::PanelRootView(state_.get(), services());
    gt::TrayPanel panel(root, gt::TrayPanel::Mode::popup);
    gt::TrayController tray(state_.get(), &panel);
    tray.start();
    const auto online = [&] {  // no red dot
      return tray.icon()->icon().pixmap(32).toImage().pixelColor(26, 26) != gt::MenuIcon::offlineDotColor();
    };
    QVERIFY(!online() && qobject_cast<gt::PairingView*>(root->current()));
    QPointer<QWidget> first = root->current();
    QVERIFY(ConfigStore::save(record("客厅", "")));  // an empty token keeps the same pairing view
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(root->current(), first.data());
    // An unreachable paired device shows the status view and the offline icon. The phone chose a name
    // that would clear a terminal and turn the text around: shown inert.
    QVERIFY(ConfigStore::save(record("客厅\x1b[2J\u202e")));
    device_->reachable = false;
    QVERIFY(refreshAndWait(*state_));
    QVERIFY(qobject_cast<gt::StatusView*>(root->current()) && !online());
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 2000);
    QPointer<QWidget> status = root->current();
    device_->reachable = true;
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(root->current(), status.data());  // same branch: kept, not rebuilt
    QVERIFY(online() && tray.icon()->toolTip().contains(QStringLiteral("已连接 客厅\\x1b[2J\\u202e")));
    QCOMPARE(status->findChild<QLabel*>("linkLabel")->text(), QStringLiteral("已连接 客厅\\x1b[2J\\u202e"));
    QVERIFY(!panel.isVisible());

    // The panel opens from the menu, 320 wide and on screen (views changing under it: the desktop e2e).
    tray.icon()->contextMenu()->actions().first()->trigger();
    QVERIFY(panel.isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(panel.width(), 320, 2000);
    QVERIFY(panel.screen()->availableGeometry().contains(panel.geometry()));
  }

  void intakeProblemIsShownAndTriedAgainEachPeriod() {
    const auto run = home_->path() / "run";
    gt::test::writeAll(run, "not a folder");  // the socket's folder is a plain file
    auto listener = std::make_shared<gt::EventListener>((run / "events.sock").string());
    state_ = std::make_unique<gt::AppState>(gt::AppState::Parts{pool(), device_, listener, nullptr, milliseconds(200)});
    gt::StatusView view(state_.get(), services());
    view.show();
    gt::TrayPanel panel(new gt::PanelRootView(state_.get(), services()), gt::TrayPanel::Mode::popup);
    gt::TrayController tray(state_.get(), &panel);
    state_->startPolling();
    const auto* line = view.findChild<QLabel*>(QStringLiteral("intakeProblem"));
    QVERIFY(state_->intakeProblem() && line->isVisible());
    QVERIFY(line->text().startsWith(QStringLiteral("无法接收 agent 事件：")));
    QVERIFY(tray.icon()->toolTip().endsWith(line->text()));
    std::filesystem::remove(run);
    QTRY_VERIFY_WITH_TIMEOUT(!state_->intakeProblem(), kGateMs);
    QVERIFY(listener->isRunning() && !line->isVisible() && !tray.icon()->toolTip().contains('\n'));
    listener->stop();
  }

  void placement() {
    const QRect screen(0, 0, 1280, 800);
    const std::tuple<QRect, QPoint, QRect, QPoint> rows[] = {  // icon, cursor, available, expected
        {{1257, 1, 22, 22}, {}, screen, {960, 23}},     // icon top right: right edge kept on screen, below it
        {{10, 776, 24, 24}, {}, screen, {0, 476}},      // icon at the bottom: above it
        {{}, {1279, 799}, screen, {960, 499}},          // no icon place known: at the cursor, on screen
        {{}, {50, 10}, {40, 30, 1000, 700}, {40, 30}},  // available area not at the origin
    };
    for (const auto& [icon, cursor, available, expected] : rows)
      QCOMPARE(gt::TrayPanel::placement({320, 300}, icon, cursor, available), expected);
    QCOMPARE(gt::TrayPanel::placement({320, 900}, {1257, 1, 22, 22}, {}, screen).y(), 0);  // top edge stays visible
  }

  // WCAG contrast between the dial and black, dark grey, light grey and white panels at every tray size,
  // in both schemes: the dial's colour carries it where the scheme matches the panel, its edge where it
  // does not. Whole-pixel strokes: dial and edge are one colour each, nothing blended. The dot stays red.
  void iconContrastOnEveryPanel() {
    using gt::MenuIcon::Scheme;
    const auto luminance = [](QColor c) {
      const auto lin = [](double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
      return 0.2126 * lin(c.redF()) + 0.7152 * lin(c.greenF()) + 0.0722 * lin(c.blueF()) + 0.05;
    };
    for (const QColor panel : {0x000000u, 0x3C3C3Cu, 0xD0D0D0u, 0xFFFFFFu})
      for (Scheme scheme : {Scheme::light, Scheme::dark})
        for (int size : {16, 22, 24, 32}) {
          QImage shown(size, size, QImage::Format_RGB32);
          shown.fill(panel);
          QPainter(&shown).drawImage(0, 0, gt::MenuIcon::render(std::nullopt, size, scheme));
          const QImage dial = gt::MenuIcon::dialMask(size, gt::MenuIcon::cellPixels(size));
          QSet<QRgb> on, off;
          for (int i = 0; i < size * size; ++i) {
            const QRgb px = shown.pixel(i % size, i / size);
            if (qAlpha(dial.pixel(i % size, i / size))) on << px;
            else if (px != panel.rgb()) off << px;
          }
          QVERIFY(on.size() == 1 && off.size() == 1);
          const double carrier = luminance(*((scheme == Scheme::dark) == (panel.red() < 128) ? on : off).begin());
          const double ratio = std::max(carrier, luminance(panel)) / std::min(carrier, luminance(panel));
          QVERIFY2(ratio >= 3.0, qPrintable(QStringLiteral("%1 on %2: %3:1").arg(size).arg(panel.name()).arg(ratio)));
          const int dot = size / 2 + 5 * gt::MenuIcon::cellPixels(size);
          QCOMPARE(gt::MenuIcon::render(gt::MenuIcon::offlineDotColor(), size, scheme).pixelColor(dot, dot),
                   gt::MenuIcon::offlineDotColor());
        }
  }
};

QTEST_MAIN(AppTest)
#include "app_test.moc"
