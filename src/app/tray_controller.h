#pragma once
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

class QMenu;

namespace gt {

class AppState;
class DesktopScheme;
class TrayHosts;
class TrayPanel;

// The tray item: one icon that follows the link state, a left click that opens or closes the panel, and
// a context menu (open the panel, quit) for hosts that show only the menu. Where a tray can appear later
// (X11, Wayland) the icon is made only once a tray host is there, XEmbed or StatusNotifierItem, so that
// Qt registers it with whichever host came; elsewhere it is made at once.
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

  // Null until a tray host is there (see above).
  QSystemTrayIcon* icon() const { return icon_; }

 signals:
  void iconShown(QSystemTrayIcon* icon);

 private:
  void makeIcon();
  void drawIcons();
  void updateIcon();
  void onActivated(QSystemTrayIcon::ActivationReason reason);

  AppState* state_;
  TrayPanel* panel_;
  DesktopScheme* scheme_;
  TrayHosts* hosts_ = nullptr;
  QSystemTrayIcon* icon_ = nullptr;
  QMenu* menu_ = nullptr;
  QIcon online_;
  QIcon offline_;
};

}  // namespace gt
