#pragma once
#include <QObject>
#include <QRect>
#include <QStringList>

class QSystemTrayIcon;
class QTimer;

namespace gt {

class TrayController;
class TrayPanel;

// Prints where the tray icon and the panel's named widgets are, for scripted desktop runs
// (GLOWTICKER_UI_TRACE=1): "TRAY_GEOMETRY x,y wxh" whenever the icon's place becomes known or moves,
// "PANEL_SHOWN" and "PANEL_HIDDEN", and "WIDGET <name> x,y wxh" (global coordinates) for each named,
// visible widget of the panel whenever it is shown or its layout changes. Watches from outside: the
// widgets know nothing of it.
class UiTrace : public QObject {
  Q_OBJECT
 public:
  // Both must outlive the trace. The tray icon is followed from when the controller shows it.
  UiTrace(TrayPanel* panel, TrayController* tray, QObject* parent = nullptr);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void traceGeometry();
  void traceWidgets(bool force);
  void follow(QSystemTrayIcon* icon);

  TrayPanel* panel_;
  QSystemTrayIcon* icon_ = nullptr;
  QTimer* widgetTimer_;
  QRect lastGeometry_;
  QStringList lastWidgets_;
};

}  // namespace gt
