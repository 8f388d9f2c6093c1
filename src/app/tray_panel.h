#pragma once
#include <QElapsedTimer>
#include <QFrame>
#include <QPoint>
#include <QRect>

namespace gt {

class PanelRootView;

// The window that drops down from the tray icon and hosts the panel root. A frameless popup placed
// under the icon (or at the cursor when the host tells nothing about the icon) and kept inside the
// screen's available area; it closes when it loses focus or when the icon is clicked again. Where a
// popup cannot be positioned (Wayland), it is a small ordinary window instead.
class TrayPanel : public QFrame {
  Q_OBJECT
 public:
  enum class Mode { popup, window };

  TrayPanel(PanelRootView* root, Mode mode, QWidget* parent = nullptr);

  // Where the panel goes for an icon at `icon` (empty when unknown, then `cursor` is used) on a screen
  // whose available area is `available`: centred under the anchor, above it when there is no room
  // below, always inside `available`.
  static QPoint placement(QSize panel, QRect icon, QPoint cursor, QRect available);

  // Opens the panel for a click on the icon, or closes it when it is open. A click that itself just
  // closed the popup (the popup closes on any press outside it, the icon included) does not reopen it.
  void toggle(QRect iconGeometry);
  void open(QRect iconGeometry);

  PanelRootView* root() const { return root_; }
  Mode mode() const { return mode_; }

 protected:
  void hideEvent(QHideEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;

 private:
  void place();

  PanelRootView* root_;
  Mode mode_;
  QRect anchor_;
  QPoint cursorAtOpen_;
  QElapsedTimer sinceHidden_;
};

}  // namespace gt
