#include "app/tray_controller.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QTimer>
#include <cstdio>

#include "app/app_state.h"
#include "app/menu_icon.h"
#include "app/tray_panel.h"

TrayController::TrayController(AppState* state, TrayPanel* panel, QObject* parent)
    : QObject(parent), state_(state), panel_(panel), online_(MenuIcon::online()), offline_(MenuIcon::offline()) {
  icon_ = new QSystemTrayIcon(this);
  menu_ = new QMenu();
  QAction* open = menu_->addAction(QStringLiteral("打开面板"));
  menu_->addSeparator();
  QAction* quit = menu_->addAction(QStringLiteral("退出"));
  connect(open, &QAction::triggered, this, [this] { panel_->open(icon_->geometry()); });
  connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
  icon_->setContextMenu(menu_);
  connect(icon_, &QSystemTrayIcon::activated, this, &TrayController::onActivated);
  connect(state_, &AppState::connChanged, this, &TrayController::updateIcon);
  updateIcon();
}

TrayController::~TrayController() { delete menu_; }

void TrayController::updateIcon() {
  icon_->setIcon(state_->isOnline() ? online_ : offline_);
  icon_->setToolTip(QStringLiteral("Glowticker · ") + QString::fromStdString(state_->conn().label()));
}

void TrayController::onActivated(QSystemTrayIcon::ActivationReason reason) {
  if (reason == QSystemTrayIcon::Trigger) {
    panel_->toggle(icon_->geometry());
    traceGeometry();
  }
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
  if (started_) return;
  started_ = true;
  // Polling and event intake begin only after the permission question has been answered.
  AppState* state = state_;
  state_->requestNotificationPermission([state] { state->startPolling(); });
}

void TrayController::dockWhenTrayAppears() {
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
  trayPoll_->stop();
  icon_->show();
}

void TrayController::setTrace(bool on) {
  if (!on) {
    delete traceTimer_;
    traceTimer_ = nullptr;
    return;
  }
  if (traceTimer_) return;
  // The icon docks a moment after show(), and only then has a place; report it as soon as it is known.
  traceTimer_ = new QTimer(this);
  traceTimer_->setInterval(200);
  connect(traceTimer_, &QTimer::timeout, this, &TrayController::traceGeometry);
  traceTimer_->start();
}

void TrayController::traceGeometry() {
  if (!traceTimer_) return;
  const QRect g = icon_->geometry();
  if (g == lastGeometry_ || g.isEmpty()) return;
  lastGeometry_ = g;
  std::printf("TRAY_GEOMETRY %d,%d %dx%d\n", g.x(), g.y(), g.width(), g.height());
  std::fflush(stdout);
}
