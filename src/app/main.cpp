// glowticker-app: the tray companion. One AppState for the life of the process; a tray icon with its
// drop-down panel when there is a display, the same background work without widgets when there is none.
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/app_state.h"
#include "app/panel_root_view.h"
#include "app/tray_controller.h"
#include "app/tray_panel.h"
#include "core/common/autostart.h"
#include "core/common/paths.h"
#include "core/common/program_path.h"
#include "platform/desktop_notification_center.h"
#include "platform/system_log.h"

#ifndef GT_VERSION
#define GT_VERSION "0"
#endif

namespace {

constexpr const char* kUsage =
    "Usage: glowticker-app [OPTIONS]\n"
    "\n"
    "The Glowticker tray companion. It lives in the system tray: it finds the Glowticker phone app on the\n"
    "local network, pairs with it by the 4-digit code the phone shows, shows whether the paired phone is\n"
    "reachable, and turns the events of coding agents (codex, claude, kimi) into desktop notifications.\n"
    "Click the tray icon to open its panel. Without a tray or a display it keeps working in the background.\n"
    "\n"
    "Options:\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "Files: ~/.glowticker/config.json (the pairing), ~/.glowticker/run/events.sock (agents' events).\n"
    "Log: journalctl -t glowticker\n";

// Answered before any Qt object exists, so they work without a display and print nothing else.
bool answeredInfoOption(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kUsage, stdout);
      return true;
    }
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
      std::fputs("glowticker-app " GT_VERSION "\n", stdout);
      return true;
    }
  }
  return false;
}

// A moved or reinstalled app keeps starting at login.
void repairAutostart() {
  std::error_code ec;
  std::filesystem::path exe = gt::runningProgram(ec);
  if (!ec) gt::Autostart().repairIfMoved(exe);
}

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
  if (answeredInfoOption(argc, argv)) return 0;
  repairAutostart();
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
