// glowticker-app: the tray companion. One AppState for the life of the process; a tray icon with its
// drop-down panel when there is a display, the same background work without widgets when there is none.
#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/app_state.h"
#include "app/panel_root_view.h"
#include "app/tray_controller.h"
#include "app/tray_panel.h"
#include "core/common/paths.h"
#include "platform/desktop_notification_center.h"
#include "platform/system_log.h"

namespace {

bool envSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

std::unique_ptr<AppState> makeState() {
  AppState::Parts parts;
  parts.api = std::make_shared<gt::ClockAPI>();
  // From the home directory itself, so moving the pairing store's base directory never moves the socket.
  parts.listener = std::make_shared<gt::EventListener>(gt::eventSocketPath().string());
  parts.notifier = std::make_shared<gt::Notifier>(gt::makeDesktopNotificationCenter(), gt::makeSystemLog());
  return std::make_unique<AppState>(std::move(parts));
}

// Polling and event intake begin once the permission question has been answered.
void startBackgroundWork(AppState* s) {
  s->requestNotificationPermission([s] { s->startPolling(); });
}

int runWithoutDisplay(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::fprintf(stderr,
               "glowticker-app: no display; running without a tray icon (events still become notifications).\n");
  auto state = makeState();
  startBackgroundWork(state.get());
  return app.exec();
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication::setApplicationName(QStringLiteral("glowticker"));
  QCoreApplication::setOrganizationDomain(QStringLiteral("glowticker.io"));
  // Without any display Qt's GUI would abort at start; the background work needs none.
  if (!envSet("DISPLAY") && !envSet("WAYLAND_DISPLAY") && !envSet("QT_QPA_PLATFORM")) {
    return runWithoutDisplay(argc, argv);
  }

  // An X display that cannot be reached (a stale DISPLAY after a logout, a forwarded session that went
  // away) would make Qt abort; fall back to running without a screen so events still become
  // notifications.
  const bool chosePlatform = envSet("QT_QPA_PLATFORM");
  if (!chosePlatform && !envSet("WAYLAND_DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb;offscreen");

  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);  // closing the panel must not end the program
  if (!chosePlatform && QGuiApplication::platformName() == QLatin1String("offscreen")) {
    std::fprintf(stderr, "glowticker-app: cannot reach the display %s; running without a tray icon.\n",
                 qgetenv("DISPLAY").constData());
    qunsetenv("QT_QPA_PLATFORM");
    auto state = makeState();
    startBackgroundWork(state.get());
    return app.exec();
  } else if (!chosePlatform) {
    qunsetenv("QT_QPA_PLATFORM");  // programs started from the app choose their own platform
  }
  QGuiApplication::setDesktopFileName(QStringLiteral("glowticker"));
  const bool trace = qEnvironmentVariableIntValue("GLOWTICKER_UI_TRACE") == 1;

  auto state = makeState();
  auto* root = new PanelRootView(state.get());
  // Wayland lets no client place its own popup next to a tray icon: use a small ordinary window there.
  const auto mode =
      QGuiApplication::platformName() == QLatin1String("wayland") ? TrayPanel::Mode::window : TrayPanel::Mode::popup;
  TrayPanel panel(root, mode);
  panel.setTrace(trace);
  TrayController tray(state.get(), &panel);
  tray.setTrace(trace);
  tray.start();
  // The panel and the tray are declared after the state, so they (and the views, which refer to the
  // state) go first at exit.
  return app.exec();
}
