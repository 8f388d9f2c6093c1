// The panel root, the drop-down window and the tray item on the offscreen platform (no tray host
// there), with a stand-in device and a real pairing store in a temporary base directory.
#include "app/panel_root_view.h"

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>
#include <atomic>

#include "app/app_state.h"
#include "app/tray_controller.h"
#include "app/tray_panel.h"
#include "core/pairing/clock_config.h"

namespace {

class FakeDevice : public gt::ClockAPI {
 public:
  std::atomic<bool> reachable{true};
  bool probe(const std::string&, std::int64_t, const std::string&) const override { return reachable; }
  gt::PairResult pair(const std::string&, std::int64_t, const std::string&, const std::string&) const override {
    return gt::PairError::invalidCode();
  }
};

class QuietCenter : public gt::NotificationCenter {
 public:
  std::atomic<int> requests{0};
  gt::AuthorizationStatus authorizationStatus() override { return gt::AuthorizationStatus::authorized; }
  gt::AuthorizationAnswer requestAuthorization() override {
    ++requests;
    return {true, std::nullopt};
  }
  std::optional<std::string> add(const gt::NotificationRequest&) override { return std::nullopt; }
};

class NullLog : public gt::Log {
 public:
  void error(std::string_view, std::string_view, std::string_view) override {}
  void info(std::string_view, std::string_view, std::string_view) override {}
};

gt::ClockConfig record(std::string token) {
  return {"客厅", "127.0.0.1", 8765, 8766, std::move(token), "2026-03-01T09:05:07Z"};
}

}  // namespace

class PanelRootViewTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir dir_;
  std::shared_ptr<FakeDevice> device_;
  std::shared_ptr<QuietCenter> center_;
  std::unique_ptr<AppState> state_;

  void refreshAndWait() {
    bool done = false;
    state_->refresh([&] { done = true; });
    QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
  }
  PanelRootView* makeRoot(QWidget* parent = nullptr) {
    PairingView::DiscoverFn discover = [] { return PairingView::SearchResult{}; };
    StatusView::Services services;
    services.isInstalled = [](gt::AgentID) { return false; };
    services.setHook = [](gt::AgentID, bool) -> gt::HookResult { return gt::HookSuccess{}; };
    services.openUrl = [](const QUrl&) {};
    services.quit = [] {};
    return new PanelRootView(state_.get(), discover, services, parent);
  }
  bool iconIsOnline(TrayController& tray) { return tray.icon()->icon().isMask(); }

 private slots:
  void init() {
    QVERIFY(dir_.isValid());
    QDir(dir_.path()).removeRecursively();
    gt::ConfigStore::setBaseDir(std::filesystem::path(dir_.path().toStdString()) / "base");
    device_ = std::make_shared<FakeDevice>();
    center_ = std::make_shared<QuietCenter>();
    AppState::Parts parts;
    parts.api = device_;
    parts.notifier = std::make_shared<gt::Notifier>(center_, std::make_shared<NullLog>());
    state_ = std::make_unique<AppState>(std::move(parts));
  }
  void cleanup() {
    state_.reset();
    gt::ConfigStore::resetBaseDir();
  }

  void switchesOnConnAndKeepsItsWidth() {
    std::unique_ptr<PanelRootView> root(makeRoot());
    root->show();
    // Before any refresh: pairing.
    QVERIFY(root->showingPairing());
    QVERIFY(qobject_cast<PairingView*>(root->current()));
    QCOMPARE(root->width(), 320);
    QPointer<QWidget> first = root->current();

    // A record with an empty token still shows the pairing view, and the same instance stays.
    QVERIFY(!gt::ConfigStore::save(record("")));
    refreshAndWait();
    QVERIFY(root->showingPairing());
    QCOMPARE(root->current(), first.data());

    // An unreachable paired device shows the status view, not the pairing view.
    QVERIFY(!gt::ConfigStore::save(record("tok")));
    device_->reachable = false;
    refreshAndWait();
    QCOMPARE(state_->conn(), gt::ConnState::offline());
    QVERIFY(qobject_cast<StatusView*>(root->current()));
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 2000);  // the old view is gone
    QApplication::processEvents();
    QCOMPARE(root->width(), 320);
    QPointer<QWidget> status = root->current();

    // offline -> connected stays in the same branch: the status view is kept, not rebuilt.
    device_->reachable = true;
    refreshAndWait();
    QCOMPARE(root->current(), status.data());

    // Unpair from inside the status view: back to a fresh pairing view.
    auto* unpair = root->findChild<QPushButton*>(QStringLiteral("unpairButton"));
    QVERIFY(unpair);
    QTest::mouseClick(unpair, Qt::LeftButton);
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(qobject_cast<PairingView*>(root->current()));
    QTRY_VERIFY_WITH_TIMEOUT(status.isNull(), 2000);
    QCOMPARE(root->width(), 320);
  }

  void placement() {
    const QRect screen(0, 0, 1280, 800);
    const QSize panel(320, 300);
    // Under an icon at the top right: right edge kept on screen, just below the icon.
    QCOMPARE(TrayPanel::placement(panel, QRect(1257, 1, 22, 22), {}, screen), QPoint(960, 23));
    // Icon in the middle of a top bar: centred under it.
    QCOMPARE(TrayPanel::placement(panel, QRect(600, 0, 24, 24), {}, screen), QPoint(451, 24));
    // Icon at the bottom: above it.
    QCOMPARE(TrayPanel::placement(panel, QRect(10, 776, 24, 24), {}, screen), QPoint(0, 476));
    // No icon place known: at the cursor, inside the screen.
    QCOMPARE(TrayPanel::placement(panel, QRect(), QPoint(5, 5), screen), QPoint(0, 6));
    QCOMPARE(TrayPanel::placement(panel, QRect(), QPoint(1279, 799), screen), QPoint(960, 499));
    // An available area that does not start at the origin (a panel on the left, a bar on top).
    QCOMPARE(TrayPanel::placement(panel, QRect(), QPoint(50, 10), QRect(40, 30, 1000, 700)), QPoint(40, 30));
    // Taller than the screen: top edge stays visible.
    QCOMPARE(TrayPanel::placement(QSize(320, 900), QRect(1257, 1, 22, 22), {}, screen).y(), 0);
  }

  void panelOpensClosesAndFollowsContent() {
    TrayPanel panel(makeRoot(), TrayPanel::Mode::popup);
    panel.toggle(QRect());
    QVERIFY(panel.isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(panel.width(), 320, 2000);
    const int pairingHeight = panel.height();
    QVERIFY(pairingHeight > 50);
    const QRect avail = panel.screen()->availableGeometry();
    QVERIFY(avail.contains(panel.geometry()));

    // The content changes under the open panel: the window takes the new height and stays on screen.
    QVERIFY(!gt::ConfigStore::save(record("tok")));
    refreshAndWait();
    QTRY_VERIFY_WITH_TIMEOUT(panel.height() != pairingHeight, 2000);
    QCOMPARE(panel.width(), 320);
    QVERIFY(avail.contains(panel.geometry()));

    panel.toggle(QRect());
    QVERIFY(!panel.isVisible());
    // The press that closed a popup also reports a click on the icon: that click must not reopen it.
    panel.show();
    panel.hide();
    panel.toggle(QRect());
    QVERIFY(!panel.isVisible());
    QTest::qWait(400);
    panel.toggle(QRect());
    QVERIFY(panel.isVisible());
    panel.hide();
  }

  void trayFollowsConnAndStartsOnce() {
    QVERIFY(!gt::ConfigStore::save(record("tok")));
    TrayPanel panel(makeRoot(), TrayPanel::Mode::popup);
    TrayController tray(state_.get(), &panel);
    QVERIFY(!iconIsOnline(tray));  // unpaired before the first refresh: offline form
    QVERIFY(!tray.icon()->icon().isNull());

    // Offscreen has no tray host: the start-up still asks for permission, then polls.
    tray.start();
    tray.start();
    QTRY_VERIFY_WITH_TIMEOUT(state_->conn() == gt::ConnState::connected("客厅"), 5000);
    QCOMPARE(center_->requests.load(), 1);
    QVERIFY(iconIsOnline(tray));
    QVERIFY(!panel.isVisible());  // the icon changed without the panel being opened
    QVERIFY(tray.icon()->toolTip().contains(QStringLiteral("已连接 客厅")));

    device_->reachable = false;
    refreshAndWait();
    QVERIFY(!iconIsOnline(tray));

    // The context menu offers the panel and quitting.
    QStringList entries;
    for (QAction* a : tray.icon()->contextMenu()->actions())
      if (!a->isSeparator()) entries << a->text();
    QCOMPARE(entries, (QStringList{QStringLiteral("打开面板"), QStringLiteral("退出")}));
    tray.icon()->contextMenu()->actions().first()->trigger();
    QVERIFY(panel.isVisible());
    panel.hide();
  }
};

QTEST_MAIN(PanelRootViewTest)
#include "panel_root_view_test.moc"
