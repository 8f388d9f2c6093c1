// The panel root, the drop-down window and the tray item on the offscreen platform (no tray host there),
// with a stand-in device and a real pairing store in a temporary folder.
#include "app/panel_root_view.h"

#include <QMenu>
#include <QPushButton>

#include "app/tray_controller.h"
#include "app/tray_panel.h"
#include "support/app_test_support.h"

using namespace apptest;

class PanelRootViewTest : public QObject {
  Q_OBJECT
  std::unique_ptr<TempHome> home_;
  std::shared_ptr<FakeDevice> device_;
  std::shared_ptr<RecordingCenter> center_;
  std::unique_ptr<AppState> state_;

  PanelRootView* makeRoot() {
    StatusView::Services services;
    services.isInstalled = [](gt::AgentID) { return false; };
    services.setHook = [](gt::AgentID, bool) -> gt::HookResult { return gt::HookSuccess{}; };
    services.openUrl = [](const QUrl&) {};
    services.quit = [] {};
    return new PanelRootView(
        state_.get(), [] { return PairingView::SearchResult{}; }, services);
  }
  static bool iconIsOnline(TrayController& tray) { return tray.icon()->icon().isMask(); }

 private slots:
  void init() {
    home_ = std::make_unique<TempHome>();
    device_ = std::make_shared<FakeDevice>();
    center_ = std::make_shared<RecordingCenter>();
    state_ = makeState(device_, center_);
  }
  void cleanup() {
    state_.reset();
    home_.reset();
  }

  void switchesOnConnAndKeepsItsWidth() {
    std::unique_ptr<PanelRootView> root(makeRoot());
    root->show();
    QVERIFY(root->showingPairing());
    QVERIFY(qobject_cast<PairingView*>(root->current()));
    QCOMPARE(root->width(), 320);
    QPointer<QWidget> first = root->current();

    // An empty token still shows the pairing view, and the same instance stays.
    QVERIFY(!gt::ConfigStore::save(record("客厅", "")));
    QVERIFY(refreshAndWait(*state_));
    QVERIFY(root->showingPairing());
    QCOMPARE(root->current(), first.data());

    // An unreachable paired device shows the status view, not the pairing view.
    QVERIFY(!gt::ConfigStore::save(record("客厅")));
    device_->reachable = false;
    QVERIFY(refreshAndWait(*state_));
    QVERIFY(qobject_cast<StatusView*>(root->current()));
    QTRY_VERIFY_WITH_TIMEOUT(first.isNull(), 2000);  // the old view is gone
    QApplication::processEvents();
    QCOMPARE(root->width(), 320);
    QPointer<QWidget> status = root->current();

    // offline -> connected stays in the same branch: the status view is kept, not rebuilt.
    device_->reachable = true;
    QVERIFY(refreshAndWait(*state_));
    QCOMPARE(root->current(), status.data());

    // Unpair from inside the status view: back to a fresh pairing view.
    QTest::mouseClick(root->findChild<QPushButton*>(QStringLiteral("unpairButton")), Qt::LeftButton);
    QCOMPARE(state_->conn(), gt::ConnState::unpaired());
    QVERIFY(qobject_cast<PairingView*>(root->current()));
    QTRY_VERIFY_WITH_TIMEOUT(status.isNull(), 2000);
    QCOMPARE(root->width(), 320);
  }

  void placement() {
    const QRect screen(0, 0, 1280, 800);
    const QSize panel(320, 300);
    const struct {
      QRect icon;
      QPoint cursor;
      QRect available;
      QPoint expected;
    } rows[] = {
        {{1257, 1, 22, 22}, {}, screen, {960, 23}},     // icon top right: right edge kept on screen, below it
        {{600, 0, 24, 24}, {}, screen, {451, 24}},      // middle of a top bar: centred under the icon
        {{10, 776, 24, 24}, {}, screen, {0, 476}},      // icon at the bottom: above it
        {{}, {5, 5}, screen, {0, 6}},                   // no icon place known: at the cursor, on screen
        {{}, {1279, 799}, screen, {960, 499}},          //
        {{}, {50, 10}, {40, 30, 1000, 700}, {40, 30}},  // available area not at the origin
    };
    for (const auto& r : rows) QCOMPARE(TrayPanel::placement(panel, r.icon, r.cursor, r.available), r.expected);
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
    QVERIFY(!gt::ConfigStore::save(record("客厅")));
    QVERIFY(refreshAndWait(*state_));
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
    QVERIFY(!gt::ConfigStore::save(record("客厅")));
    TrayPanel panel(makeRoot(), TrayPanel::Mode::popup);
    TrayController tray(state_.get(), &panel);
    QVERIFY(!iconIsOnline(tray));  // unpaired before the first refresh: offline form
    QVERIFY(!tray.icon()->icon().isNull());

    // Offscreen has no tray host: the start-up still asks for permission, then polls.
    tray.start();
    tray.start();
    QTRY_VERIFY_WITH_TIMEOUT(state_->conn() == gt::ConnState::connected("客厅"), kGateMs);
    QCOMPARE(center_->permissionRequests.load(), 1);
    QVERIFY(iconIsOnline(tray));
    QVERIFY(!panel.isVisible());  // the icon changed without the panel being opened
    QVERIFY(tray.icon()->toolTip().contains(QStringLiteral("已连接 客厅")));

    device_->reachable = false;
    QVERIFY(refreshAndWait(*state_));
    QVERIFY(!iconIsOnline(tray));

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
