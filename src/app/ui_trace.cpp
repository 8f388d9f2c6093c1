#include "app/ui_trace.h"

#include <QEvent>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>
#include <cstdio>

#include "app/panel_root_view.h"
#include "app/tray_controller.h"
#include "app/tray_panel.h"

namespace gt {
namespace {

constexpr int kPollMs = 200;

void printLine(const char* line) {
  std::printf("%s\n", line);
  std::fflush(stdout);
}

}  // namespace

UiTrace::UiTrace(TrayPanel* panel, TrayController* tray, QObject* parent)
    : QObject(parent), panel_(panel), widgetTimer_(new QTimer(this)) {
  panel_->installEventFilter(this);
  widgetTimer_->setInterval(kPollMs);
  connect(widgetTimer_, &QTimer::timeout, this, [this] { traceWidgets(false); });
  connect(panel_->root(), &PanelRootView::viewChanged, this,
          [this] { QTimer::singleShot(0, this, [this] { traceWidgets(true); }); });
  // The icon docks a moment after show(), and only then has a place; report it as soon as it is known.
  auto* geometryTimer = new QTimer(this);
  geometryTimer->setInterval(kPollMs);
  connect(geometryTimer, &QTimer::timeout, this, &UiTrace::traceGeometry);
  geometryTimer->start();
  if (tray->icon()) follow(tray->icon());
  connect(tray, &TrayController::iconShown, this, &UiTrace::follow);
}

void UiTrace::follow(QSystemTrayIcon* icon) {
  icon_ = icon;
  printLine("TRAY_ICON_SHOWN");
  connect(icon_, &QSystemTrayIcon::activated, this, &UiTrace::traceGeometry);
}

bool UiTrace::eventFilter(QObject* watched, QEvent* event) {
  if (watched == panel_ && event->type() == QEvent::Show) {
    printLine("PANEL_SHOWN");
    lastWidgets_.clear();
    QTimer::singleShot(0, this, [this] { traceWidgets(true); });
    widgetTimer_->start();
  } else if (watched == panel_ && event->type() == QEvent::Hide) {
    widgetTimer_->stop();
    printLine("PANEL_HIDDEN");
  }
  return QObject::eventFilter(watched, event);
}

void UiTrace::traceGeometry() {
  if (!icon_) return;
  const QRect g = icon_->geometry();
  if (g == lastGeometry_ || g.isEmpty()) return;
  lastGeometry_ = g;
  std::printf("TRAY_GEOMETRY %d,%d %dx%d\n", g.x(), g.y(), g.width(), g.height());
  std::fflush(stdout);
}

void UiTrace::traceWidgets(bool force) {
  if (!panel_->isVisible()) return;
  QStringList lines;
  const auto children = panel_->findChildren<QWidget*>();
  for (QWidget* w : children) {
    const QString name = w->objectName();
    if (name.isEmpty() || name.startsWith(QLatin1String("qt_")) || !w->isVisibleTo(panel_)) continue;
    const QPoint g = w->mapToGlobal(QPoint(0, 0));
    lines << QStringLiteral("WIDGET %1 %2,%3 %4x%5").arg(name).arg(g.x()).arg(g.y()).arg(w->width()).arg(w->height());
  }
  if (!force && lines == lastWidgets_) return;
  lastWidgets_ = lines;
  for (const QString& line : lines) printLine(qPrintable(line));
}

}  // namespace gt
