#include "app/tray_panel.h"

#include <QCursor>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QVBoxLayout>
#include <algorithm>

#include "app/panel_root_view.h"

namespace gt {
namespace {
// A press on the icon closes the popup before the icon reports its click; a click arriving this soon
// after the popup closed is that same press.
constexpr qint64 kReopenGuardMs = 300;
}  // namespace

TrayPanel::TrayPanel(PanelRootView* root, Mode mode, QWidget* parent)
    : QFrame(parent,
             mode == Mode::popup ? Qt::Popup | Qt::FramelessWindowHint | Qt::NoDropShadowWindowHint : Qt::Window),
      root_(root),
      mode_(mode) {
  setObjectName(QStringLiteral("trayPanel"));
  setWindowTitle(QStringLiteral("Glowticker"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  // The window always takes the content's own size: 320 wide, as tall as the current view.
  layout->setSizeConstraint(QLayout::SetFixedSize);
  root_->setParent(this);
  layout->addWidget(root_);
}

QPoint TrayPanel::placement(QSize panel, QRect icon, QPoint cursor, QRect available) {
  QPoint at;
  if (icon.isValid() && !icon.isEmpty()) {
    at = QPoint(icon.center().x() - panel.width() / 2, icon.bottom() + 1);
    if (available.isValid() && at.y() + panel.height() - 1 > available.bottom()) {
      at.setY(icon.top() - panel.height());  // the tray sits at the bottom of the screen
    }
  } else {
    at = QPoint(cursor.x() - panel.width() / 2, cursor.y() + 1);
    if (available.isValid() && at.y() + panel.height() - 1 > available.bottom()) at.setY(cursor.y() - panel.height());
  }
  if (available.isValid()) {
    at.setX(std::clamp(at.x(), available.left(), std::max(available.left(), available.right() - panel.width() + 1)));
    at.setY(std::clamp(at.y(), available.top(), std::max(available.top(), available.bottom() - panel.height() + 1)));
  }
  return at;
}

void TrayPanel::toggle(QRect iconGeometry) {
  if (isVisible()) {
    hide();
    return;
  }
  if (mode_ == Mode::popup && sinceHidden_.isValid() && sinceHidden_.elapsed() < kReopenGuardMs) return;
  open(iconGeometry);
}

void TrayPanel::open(QRect iconGeometry) {
  anchor_ = iconGeometry;
  cursorAtOpen_ = QCursor::pos();
  if (mode_ == Mode::window) {
    show();
    raise();
    activateWindow();
    return;
  }
  adjustSize();
  place();
  show();
  activateWindow();
}

void TrayPanel::place() {
  if (mode_ != Mode::popup) return;
  QPoint anchorPoint = anchor_.isValid() && !anchor_.isEmpty() ? anchor_.center() : cursorAtOpen_;
  QScreen* screen = QGuiApplication::screenAt(anchorPoint);
  if (!screen) screen = QGuiApplication::primaryScreen();
  QRect available = screen ? screen->availableGeometry() : QRect();
  move(placement(size(), anchor_, cursorAtOpen_, available));
}

void TrayPanel::hideEvent(QHideEvent* event) {
  QFrame::hideEvent(event);
  sinceHidden_.start();
}

void TrayPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  if (mode_ != Mode::popup) return;
  // A hairline edge so the popup stands apart from what lies under it; drawn over the content's own
  // padding, so the window stays exactly as wide as the content.
  QPainter p(this);
  p.setPen(palette().color(QPalette::Mid));
  p.drawRect(rect().adjusted(0, 0, -1, -1));
}

void TrayPanel::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  // The view's content grows and shrinks (search results, reports): stay under the icon and on screen.
  if (isVisible()) place();
}

}  // namespace gt
