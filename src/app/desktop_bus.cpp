#include "app/desktop_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace gt {

DesktopBus::DesktopBus(std::function<void()> showPanel, QObject* parent)
    : QObject(parent), showPanel_(std::move(showPanel)) {}

bool DesktopBus::publish(QString* why) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    *why = QStringLiteral("no session bus");
    return false;
  }
  if (!bus.registerObject(QLatin1String(kPath), this, QDBusConnection::ExportScriptableSlots) ||
      !bus.registerService(QLatin1String(kService))) {
    *why = bus.lastError().message();
    if (why->isEmpty()) *why = QStringLiteral("the name %1 is taken").arg(QLatin1String(kService));
    return false;
  }
  return true;
}

bool DesktopBus::askToShowPanel() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  auto call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kService),
                                             QStringLiteral("ShowPanel"));
  return bus.call(call, QDBus::Block, kCallTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

void DesktopBus::ShowPanel() {
  if (showPanel_) showPanel_();
}

}  // namespace gt
