#include "app/desktop_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace gt {

DesktopBus::DesktopBus(std::function<void()> showPanel, QObject* parent)
    : QObject(parent), showPanel_(std::move(showPanel)) {}

DesktopBus::Publish DesktopBus::publish(QString* why) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    *why = QStringLiteral("no session bus");
    return Publish::unavailable;
  }
  if (!bus.registerObject(QLatin1String(kPath), this, QDBusConnection::ExportScriptableSlots)) {
    *why = QStringLiteral("cannot publish %1").arg(QLatin1String(kPath));
    return Publish::unavailable;
  }
  QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      bus.interface()->registerService(QLatin1String(kService), QDBusConnectionInterface::DontQueueService,
                                       QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid()) {
    *why = reply.error().message();
    return Publish::unavailable;
  }
  return reply.value() == QDBusConnectionInterface::ServiceRegistered ? Publish::done : Publish::takenByAnother;
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
