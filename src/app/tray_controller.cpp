#include "app/tray_controller.h"
#include "app/shown_text.h"

#include <QAction>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>
#include <cstdio>

#include "app/app_state.h"
#include "app/desktop_scheme.h"
#include "app/menu_icon.h"
#include "app/tray_hosts.h"
#include "app/tray_panel.h"

namespace gt {

TrayController::TrayController(AppState* state, TrayPanel* panel, QObject* parent)
    : QObject(parent), state_(state), panel_(panel), scheme_(new DesktopScheme(this)) {
  menu_ = new QMenu();
  QAction* open = menu_->addAction(QStringLiteral("打开面板"));
  menu_->addSeparator();
  QAction* quit = menu_->addAction(QStringLiteral("退出"));
  connect(open, &QAction::triggered, this, &TrayController::openPanel);
  connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  drawIcons();
  connect(scheme_, &DesktopScheme::changed, this, &TrayController::drawIcons);
  connect(state_, &AppState::connChanged, this, &TrayController::updateIcon);
  connect(state_, &AppState::intakeProblemChanged, this, &TrayController::updateIcon);
  if (!TrayHosts::platformHasTrays()) makeIcon();
}

TrayController::~TrayController() { delete menu_; }

void TrayController::makeIcon() {
  icon_ = new QSystemTrayIcon(this);
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this, &TrayController::onActivated);
  updateIcon();
}

void TrayController::drawIcons() {
  online_ = MenuIcon::online(scheme_->scheme());
  offline_ = MenuIcon::offline(scheme_->scheme());
  updateIcon();
}

void TrayController::updateIcon() {
  if (!icon_) return;
  icon_->setIcon(state_->isOnline() ? online_ : offline_);
  QString tip = QStringLiteral("Glowticker · ") + shownText(state_->conn().label());
  if (auto line = state_->intakeProblemLine()) tip += QLatin1Char('\n') + QString::fromStdString(*line);
  icon_->setToolTip(tip);
}

void TrayController::openPanel() { panel_->open(icon_ ? icon_->geometry() : QRect()); }

void TrayController::onActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Trigger) panel_->toggle(icon_->geometry());
}

void TrayController::start() {
  if (icon_) {
    icon_->show();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
      std::fprintf(stderr, "glowticker-app: the %s platform has no system tray; running without a tray icon.\n",
                   qPrintable(QGuiApplication::platformName()));
    }
    return;
  }
  if (hosts_) return;
  hosts_ = new TrayHosts(this);
  connect(hosts_, &TrayHosts::noneYet, this, [] {
    std::fprintf(stderr, "glowticker-app: no system tray yet; the icon appears as soon as a tray starts.\n");
  });
  connect(hosts_, &TrayHosts::found, this, [this] {
    makeIcon();
    icon_->show();
    emit iconShown(icon_);
  });
  hosts_->watch();
}

}  // namespace gt
