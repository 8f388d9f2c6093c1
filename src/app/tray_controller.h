#pragma once
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

class QMenu;
class QTimer;

namespace gt {

class AppState;
class TrayPanel;

// The tray item: one icon that follows the link state, a left click that opens or closes the panel, and
// a context menu (open the panel, quit) for hosts that show only the menu. Without a tray host the icon
// docks as soon as a host appears.
class TrayController : public QObject {
  Q_OBJECT
 public:
  // `state` and `panel` must outlive the controller.
  TrayController(AppState* state, TrayPanel* panel, QObject* parent = nullptr);
  ~TrayController() override;

  // Puts the icon up, or waits for a tray host.
  void start();
  // Opens the panel under the icon (or at the cursor when the icon's place is unknown).
  void openPanel();

  QSystemTrayIcon* icon() const { return icon_; }

  static constexpr int kTrayPollMs = 1000;

 private:
  void updateIcon();
  void onActivated(QSystemTrayIcon::ActivationReason reason);
  void dockWhenTrayAppears();

  AppState* state_;
  TrayPanel* panel_;
  QSystemTrayIcon* icon_ = nullptr;
  QMenu* menu_ = nullptr;
  QTimer* trayPoll_ = nullptr;
  QIcon online_;
  QIcon offline_;
};

}  // namespace gt
