#pragma once
#include <QIcon>
#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>

class AppState;
class QMenu;
class QTimer;
class TrayPanel;

// The tray item: one icon that follows the link state, a left click that opens or closes the panel, and
// a context menu (open the panel, quit) for hosts that show only the menu. Starts the background work
// once, when the icon is first put up. Without a tray host the work runs anyway and the icon docks as
// soon as a host appears.
class TrayController : public QObject {
  Q_OBJECT
 public:
  // `state` and `panel` must outlive the controller.
  TrayController(AppState* state, TrayPanel* panel, QObject* parent = nullptr);
  ~TrayController() override;

  // Puts the icon up (or waits for a tray host) and runs the start-up task: ask for notification
  // permission, then start polling and the event socket.
  void start();

  QSystemTrayIcon* icon() const { return icon_; }
  // With tracing on, prints "TRAY_GEOMETRY x,y wxh" whenever the icon's place becomes known or moves.
  void setTrace(bool on);

  static constexpr int kTrayPollMs = 1000;

 private:
  void updateIcon();
  void onActivated(QSystemTrayIcon::ActivationReason reason);
  void dockWhenTrayAppears();
  void traceGeometry();

  AppState* state_;
  TrayPanel* panel_;
  QSystemTrayIcon* icon_ = nullptr;
  QMenu* menu_ = nullptr;
  QTimer* trayPoll_ = nullptr;
  QTimer* traceTimer_ = nullptr;
  QIcon online_;
  QIcon offline_;
  QRect lastGeometry_;
  bool started_ = false;
};
