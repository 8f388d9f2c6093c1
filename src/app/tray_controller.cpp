#include "app/tray_controller.h"
#include "app/shown_text.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QTimer>
#include <cstdio>

#include "app/app_state.h"
#include "app/menu_icon.h"
#include "app/tray_panel.h"

namespace gt {

TrayController::TrayController(AppState* state, TrayPanel* panel, QObject* parent)
    : QObject(parent), state_(state), panel_(panel), online_(MenuIcon::online()), offline_(MenuIcon::offline()) {
  icon_ = new QSystemTrayIcon(this);
  menu_ = new QMenu();
  QAction* open = menu_->addAction(QStringLiteral("打开面板"));
  menu_->addSeparator();
  QAction* quit = menu_->addAction(QStringLiteral("退出"));
  connect(open, &QAction::triggered, this, &TrayController::openPanel);
  connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this, &TrayController::onActivated);
  connect(state_, &AppState::connChanged, this, &TrayController::updateIcon);
  connect(state_, &AppState::intakeProblemChanged, this, &TrayController::updateIcon);
  updateIcon();
}

TrayController::~TrayController() { delete menu_; }

void TrayController::updateIcon() {
  icon_->setIcon(state_->isOnline() ? online_ : offline_);
  QString tip = QStringLiteral("Glowticker · ") + shownText(state_->conn().label());
  if (auto line = state_->intakeProblemLine()) tip += QLatin1Char('\n') + QString::fromStdString(*line);
  icon_->setToolTip(tip);
}

void TrayController::openPanel() { panel_->open(icon_->geometry()); }

void TrayController::onActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Trigger) panel_->toggle(icon_->geometry());
}

void TrayController::start() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    icon_->show();
  } else {
    std::fprintf(stderr, "glowticker-app: no system tray found; the icon will appear when a tray becomes available.\n");
    trayPoll_ = new QTimer(this);
    trayPoll_->setInterval(kTrayPollMs);
    connect(trayPoll_, &QTimer::timeout, this, &TrayController::dockWhenTrayAppears);
    trayPoll_->start();
  }
}

void TrayController::dockWhenTrayAppears() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  trayPoll_->stop();
  icon_->show();
}

}  // namespace gt
