// Draws the panel as a user sees it, with a light and with a dark desktop palette, for the README:
//   QT_QPA_PLATFORM=offscreen panel_screenshots OUTDIR
// writes OUTDIR/panel-{light,dark}-{pairing,status}.png. Nothing leaves the process: the phone answers
// from here, the pairing lives in a temporary folder and the hook switch runs no tool.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>
#include <QTemporaryDir>
#include <QTest>
#include <QThreadPool>
#include <cstdio>

#include "app/app_state.h"
#include "app/panel_root_view.h"
#include "app/tray_panel.h"
#include "app/views/pairing_view.h"
#include "core/common/unix_socket_client.h"
#include "core/events/event_listener.h"
#include "core/pairing/config_store.h"
#include "core/pairing/phone_client.h"

namespace {

class ReachablePhone : public gt::ClockAPI {
 public:
  bool probe(const std::string&, std::int64_t, const std::string&) const override { return true; }
};

QPalette darkPalette() {
  QPalette p;
  const QColor window(0x2b, 0x2d, 0x30), base(0x1e, 0x1f, 0x22), text(0xe8, 0xe8, 0xe8);
  p.setColor(QPalette::Window, window);
  p.setColor(QPalette::WindowText, text);
  p.setColor(QPalette::Base, base);
  p.setColor(QPalette::AlternateBase, window);
  p.setColor(QPalette::Text, text);
  p.setColor(QPalette::Button, QColor(0x3c, 0x3f, 0x41));
  p.setColor(QPalette::ButtonText, text);
  p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0x9a, 0x9a));
  p.setColor(QPalette::Highlight, QColor(0x35, 0x74, 0xf0));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Light, QColor(0x50, 0x53, 0x57));
  p.setColor(QPalette::Midlight, QColor(0x45, 0x48, 0x4b));
  p.setColor(QPalette::Mid, QColor(0x5a, 0x5d, 0x61));
  p.setColor(QPalette::Dark, QColor(0x20, 0x21, 0x23));
  p.setColor(QPalette::Shadow, Qt::black);
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x80, 0x80));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
  return p;
}

bool save(QWidget* panel, const QString& path) {
  QTest::qWait(50);  // let the layout settle after the last change
  if (!panel->grab().save(path)) {
    std::fprintf(stderr, "panel_screenshots: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

bool shoot(const QString& dir, const QString& theme, QThreadPool* pool) {
  QTemporaryDir home;
  gt::ConfigStore::setBaseDir(home.path().toStdString());
  gt::AppState::Parts parts;
  parts.pool = pool;
  parts.api = std::make_shared<ReachablePhone>();
  const std::string socket = home.path().toStdString() + "/run/events.sock";
  parts.listener = std::make_shared<gt::EventListener>(socket);
  gt::AppState state(std::move(parts));

  gt::PanelServices services;
  services.pool = pool;
  services.discover = [] {
    return gt::DeviceSearch(std::vector<gt::DiscoveredDevice>{
        {"书房的手机", "192.168.1.20", 8081, 8080, "Pixel 8", "2.3"}, {"Desk", "192.168.1.31", 8081, 8080, {}, {}}});
  };
  services.isInstalled = [](gt::AgentID agent) { return gt::rawValue(agent) == std::string_view("kimi"); };
  services.setHook = [](gt::AgentID agent, bool) -> gt::HookResult {
    const std::string name(gt::rawValue(agent));
    return gt::HookSuccess{{{name, "/home/li/.claude/settings.json", "installed", "/home/li/.claude/settings.json.bak", {}}},
                           gt::ReportWords::restartNote(name)};
  };
  services.openConfigDir = [] {};
  services.quit = [] {};

  auto* root = new gt::PanelRootView(&state, services);
  gt::TrayPanel panel(root, gt::TrayPanel::Mode::popup);
  panel.open(QRect());
  auto* pairing = root->findChild<gt::PairingView*>();
  if (!pairing || !QTest::qWaitFor([&] { return !pairing->searching(); }, 5000)) return false;
  QTest::keyClicks(root->findChild<QLineEdit*>(QStringLiteral("codeField")), QStringLiteral("4821"));
  if (!save(&panel, dir + QStringLiteral("/panel-%1-pairing.png").arg(theme))) return false;

  if (!gt::ConfigStore::save({"书房的手机", "192.168.1.20", 8081, 8080, "token", "2026-12-07T09:05:07Z"})) return false;
  bool refreshed = false;
  state.refresh([&] { refreshed = true; });
  if (!QTest::qWaitFor([&] { return refreshed && state.isOnline(); }, 5000)) return false;
  auto* claude = root->findChild<QCheckBox*>(QStringLiteral("hookToggle-claude"));
  if (!claude || !QTest::qWaitFor([&] { return claude->isEnabled(); }, 5000)) return false;
  claude->click();
  if (!QTest::qWaitFor([&] { return claude->isEnabled() && claude->isChecked(); }, 5000)) return false;
  // A few agents have spoken: the recent list fills, newest first.
  state.startPolling();
  const gt::AgentEvent events[] = {
      {"agent-turn-complete", "codex", "done", "任务完成", "All tests pass.", "glow-api", 1},
      {"Notification", "claude", "waiting", "需要你的授权", "请求使用 Bash：npm test", "glowticker", 2},
      {"Stop", "kimi", "done", "任务完成", "Kimi 已完成本轮回复", "notes", 3}};
  for (const auto& event : events)
    if (!gt::sendToUnixSocket(socket, gt::encodeAgentEvent(event) + "\n",
                              std::chrono::steady_clock::now() + std::chrono::seconds(2))
             .ok())
      return false;
  if (!QTest::qWaitFor([&] { return state.recentEvents().size() == std::size(events); }, 5000)) return false;
  const bool ok = save(&panel, dir + QStringLiteral("/panel-%1-status.png").arg(theme));
  pool->waitForDone(5000);
  gt::ConfigStore::resetBaseDir();
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: panel_screenshots OUTDIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(dir);
  QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
  QThreadPool pool;
  // The views take their dimmed colours from the palette when they are built, so each theme gets new ones.
  QApplication::setPalette(QApplication::style()->standardPalette());
  if (!shoot(dir, QStringLiteral("light"), &pool)) return 1;
  QApplication::setPalette(darkPalette());
  if (!shoot(dir, QStringLiteral("dark"), &pool)) return 1;
  return 0;
}
