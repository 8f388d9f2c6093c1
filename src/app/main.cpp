// glowticker-app: the tray companion, and the one place where its parts are built and wired: one pool for
// the work the UI starts, one AppState for the life of the process, the panel's services, and a tray icon
// with its drop-down panel when there is a display (the same background work without widgets otherwise).
#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QThreadPool>
#include <QUrl>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>

#include "app/app_state.h"
#include "app/desktop_bus.h"
#include "app/panel_root_view.h"
#include "app/panel_services.h"
#include "app/tray_controller.h"
#include "app/tray_panel.h"
#include "app/ui_trace.h"
#include "core/autostart/autostart.h"
#include "core/common/instance_lock.h"
#include "core/common/paths.h"
#include "core/common/private_dir.h"
#include "core/common/program_path.h"
#include "core/discovery/discovery.h"
#include "core/events/terminal_return.h"
#include "core/hooks/agent_id.h"
#include "core/hooks/hook_installer.h"
#include "core/hooks/hook_state.h"
#include "core/pairing/config_store.h"
#include "platform/avahi_backend.h"
#include "platform/desktop_notification_center.h"
#include "platform/system_log.h"
#include "platform/window_systems.h"

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
    "One copy runs per user: starting it again opens the running copy's panel.\n"
    "\n"
    "Options:\n"
    "  -h, --help      show this help and exit\n"
    "  -V, --version   show the version and exit\n"
    "\n"
    "Files: ~/.glowticker/config.json (the pairing), ~/.glowticker/settings.json (the panel's switches),\n"
    "       ~/.glowticker/run/events.sock (agents' events).\n"
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

// SIGTERM, SIGINT and SIGHUP end the event loop like the panel's quit button, through this pipe: the
// handler may only write, the loop reads it.
int signalPipe[2] = {-1, -1};

void onEndSignal(int sig) {
  const char byte = static_cast<char>(sig);
  (void)!::write(signalPipe[1], &byte, 1);
}

void catchEndSignals() {
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;  // then they end the app outright, as before
  struct sigaction sa {};
  sa.sa_handler = onEndSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

void quitOnEndSignals(QCoreApplication* app) {
  if (signalPipe[0] < 0) return;
  auto* notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, app);
  QObject::connect(notifier, &QSocketNotifier::activated, app, [app] {
    char sig = 0;
    if (::read(signalPipe[0], &sig, 1) == 1)
      std::fprintf(stderr, "glowticker-app: ending on SIG%s\n", sigabbrev_np(sig));
    app->quit();
  });
}

// A moved or reinstalled app keeps starting at login.
void repairAutostart() {
  if (auto exe = gt::runningProgram()) gt::Autostart().repairIfMoved(*exe);
}

bool envSet(const char* name) {
  const char* v = std::getenv(name);
  return v && *v;
}

// Never destroyed: quitting must not wait for a tool run.
QThreadPool* makeWorkPool() {
  auto* pool = new QThreadPool;
  // A probe, a pairing request, a LAN search and a tool run per agent may all wait at once; the rest queues.
  pool->setMaxThreadCount(3 + static_cast<int>(gt::allAgents().size()));
  pool->setExpiryTimeout(30000);
  return pool;
}

constexpr auto kSearchWindow = std::chrono::seconds(3);

gt::PanelServices makePanelServices(QThreadPool* pool) {
  gt::PanelServices s;
  s.pool = pool;
  s.discover = [] { return gt::Discovery(gt::makeAvahiBackend()).browse(kSearchWindow); };  // a new one per search
  s.setHook = [](gt::AgentID agent, bool enabled) { return gt::HookInstaller{}.setHook(agent, enabled); };
  s.isInstalled = [](gt::AgentID agent) { return gt::HookState::isInstalled(agent); };
  s.openConfigDir = [] {
    const auto dir = gt::ConfigStore::baseDir();
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(dir.c_str())));
  };
  s.quit = [] { QCoreApplication::quit(); };
  return s;
}

// What brings back an agent's terminal when its notification is clicked: tmux, then the window system
// this session runs (X11, KWin on Wayland, Sway), or the tmux pane alone where the desktop allows no
// program to raise another's window.
std::shared_ptr<gt::AgentReturn> makeAgentReturn(gt::WindowSystemChoice windows) {
  gt::TerminalReturn::Options options;
  options.frontKnown = windows.frontKnown;
  return std::make_shared<gt::TerminalReturn>(std::move(windows.windows), std::move(windows.why), options);
}

std::unique_ptr<gt::AppState> makeState(QThreadPool* pool, gt::WindowSystemChoice windows) {
  gt::AppState::Parts parts;
  parts.pool = pool;
  parts.api = std::make_shared<gt::ClockAPI>();
  // From the home directory itself, so moving the pairing store's base directory never moves the socket.
  auto log = gt::makeSystemLog();
  parts.listener = std::make_shared<gt::EventListener>(gt::eventSocketPath().string(), log);
  parts.notifier =
      std::make_shared<gt::Notifier>(gt::makeDesktopNotificationCenter(), log, makeAgentReturn(std::move(windows)));
  parts.settings = std::make_shared<gt::SettingsStore>(gt::ConfigStore::baseDir() / "settings.json");
  if (auto loaded = parts.settings->load(); !loaded) {
    log->error(gt::kLogSubsystem, "settings", loaded.error().detail);
    std::fprintf(stderr, "glowticker-app: %s\n", loaded.error().detail.c_str());
  }
  parts.log = log;
  return std::make_unique<gt::AppState>(std::move(parts));
}

// Makes the application object: a QApplication with a tray when a display can be reached, else a
// QCoreApplication (no display at all) or an offscreen QApplication (a display that does not answer),
// each with one line in `note` saying so.
std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, bool& withTray, std::string& note) {
  withTray = false;
  // Without any display Qt's GUI would abort at start; the background work needs none.
  if (!envSet("DISPLAY") && !envSet("WAYLAND_DISPLAY") && !envSet("QT_QPA_PLATFORM")) {
    auto app = std::make_unique<QCoreApplication>(argc, argv);
    note = "glowticker-app: no display; running without a tray icon (events still become notifications).\n";
    return app;
  }
  // A display that cannot be used (a stale DISPLAY after a logout, a forwarded session that went away, a
  // Wayland session without Qt's Wayland plugin and without Xwayland) would make Qt abort; fall back to
  // running without a screen so events still become notifications. On GNOME Qt itself prefers Xwayland.
  const bool chosePlatform = envSet("QT_QPA_PLATFORM");
  const bool gnome = qgetenv("XDG_CURRENT_DESKTOP").toLower().contains("gnome");
  if (!chosePlatform)
    qputenv("QT_QPA_PLATFORM", !envSet("WAYLAND_DISPLAY") ? "xcb;offscreen"
                               : gnome                    ? "xcb;wayland;offscreen"
                                                          : "wayland;xcb;offscreen");
  auto app = std::make_unique<QApplication>(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);    // closing the panel must not end the program
  if (!chosePlatform) qunsetenv("QT_QPA_PLATFORM");  // programs started from the app choose their own platform
  if (!chosePlatform && QGuiApplication::platformName() == QLatin1String("offscreen")) {
    note = "glowticker-app: cannot use the display (WAYLAND_DISPLAY=" + qgetenv("WAYLAND_DISPLAY").toStdString() +
           ", DISPLAY=" + qgetenv("DISPLAY").toStdString() +
           "); running without a tray icon (events still become notifications).\n";
    return app;
  }
  QGuiApplication::setDesktopFileName(QStringLiteral("glowticker"));
  withTray = true;
  return app;
}

// Another copy of this user runs: bring its panel up instead of starting a second one, whose listener
// would take the socket path from the first.
int showRunningCopy() {
  const bool shown = gt::DesktopBus::askToShowPanel();
  std::printf(shown ? "glowticker-app: already running; its panel is open.\n" : "glowticker-app: already running.\n");
  return 0;
}

// The tray icon, its panel and, for scripted runs, the trace; destroyed before the state they show.
struct Tray {
  explicit Tray(gt::AppState* state, gt::PanelServices services) {
    auto* root = new gt::PanelRootView(state, std::move(services));
    // Wayland lets no client place its own popup next to a tray icon: use a small ordinary window there.
    const auto mode = QGuiApplication::platformName() == QLatin1String("wayland") ? gt::TrayPanel::Mode::window
                                                                                  : gt::TrayPanel::Mode::popup;
    panel = std::make_unique<gt::TrayPanel>(root, mode);
    controller = std::make_unique<gt::TrayController>(state, panel.get());
    if (qEnvironmentVariableIntValue("GLOWTICKER_UI_TRACE") == 1) {
      trace = std::make_unique<gt::UiTrace>(panel.get(), controller.get());
    }
  }
  std::unique_ptr<gt::TrayPanel> panel;
  std::unique_ptr<gt::TrayController> controller;
  std::unique_ptr<gt::UiTrace> trace;
};

}  // namespace

int main(int argc, char** argv) {
  if (answeredInfoOption(argc, argv)) return 0;
  // One copy per user and home directory, decided by a lock the kernel drops however the holder ends.
  // It lives in ~/.glowticker/run, which must be the user's own: a lock in a folder someone else controls
  // could be held against the user.
  const auto runDir = gt::eventSocketPath().parent_path();
  auto made = gt::ensurePrivateDir(runDir);
  const auto lock = made ? gt::InstanceLock::take(runDir / "app.lock")
                         : gt::fail(gt::OneCopyProblem::cannotTell, made.error().detail);
  if (!lock && lock.error().kind == gt::OneCopyProblem::anotherRuns) {
    QCoreApplication app(argc, argv);
    return showRunningCopy();
  }
  if (!lock) {
    std::fprintf(stderr, "glowticker-app: cannot tell whether another copy runs (%s); starting anyway.\n",
                 lock.error().detail.c_str());
  }
  // Qt gives it to tray hosts as the StatusNotifierItem's title (and id), which panels show by the icon.
  QCoreApplication::setApplicationName(QStringLiteral("Glowticker"));
  QCoreApplication::setOrganizationDomain(QStringLiteral("glowticker.io"));
  bool withTray = false;
  std::string note;
  catchEndSignals();
  auto app = makeApplication(argc, argv, withTray, note);
  quitOnEndSignals(app.get());
  // The lock file may have gone with its folder while a copy runs: then the session's bus name decides.
  std::unique_ptr<Tray> tray;
  gt::DesktopBus bus([&tray] {
    if (tray) tray->controller->openPanel();
  });
  const auto published = bus.publish();
  if (!published && published.error().kind == gt::OneCopyProblem::anotherRuns) return showRunningCopy();
  std::fputs(note.c_str(), stderr);
  if (!published)
    std::fprintf(stderr, "glowticker-app: not on the session bus: %s\n", published.error().detail.c_str());
  repairAutostart();

  QThreadPool* pool = makeWorkPool();
  gt::WindowSystemChoice windows = gt::chooseWindowSystem();
  gt::PanelServices services = makePanelServices(pool);
  if (!windows.frontKnown)
    services.quietUnavailable =
        QStringLiteral("此桌面（如 GNOME 的 Wayland 会话）不让程序得知哪个窗口在前台，无法使用。");
  auto state = makeState(pool, std::move(windows));
  if (withTray) {
    tray = std::make_unique<Tray>(state.get(), std::move(services));
    tray->controller->start();
  }
  // Polling and event intake begin once the icon is up and the permission question has been answered.
  state->start();
  const int rc = app->exec();
  // The socket goes and what waits is shown, within a second; a service still busy with a call is not
  // waited for.
  if (!state->finish(std::chrono::steady_clock::now() + std::chrono::milliseconds(800))) {
    std::fflush(nullptr);
    std::_Exit(rc);
  }
  tray.reset();  // the views refer to the state
  return rc;
}
