#include "app/desktop_bus.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

namespace gt {

DesktopBus::DesktopBus(std::function<void()> showPanel, QObject* parent)
    : QObject(parent), showPanel_(std::move(showPanel)) {}

Result<void, Problem<OneCopyProblem>> DesktopBus::publish() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return fail(OneCopyProblem::cannotTell, "no session bus");
  if (!bus.registerObject(QLatin1String(kPath), this, QDBusConnection::ExportScriptableSlots))
    return fail(OneCopyProblem::cannotTell, std::string("cannot publish ") + kPath);
  QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      bus.interface()->registerService(QLatin1String(kService), QDBusConnectionInterface::DontQueueService,
                                       QDBusConnectionInterface::DontAllowReplacement);
  if (!reply.isValid()) return fail(OneCopyProblem::cannotTell, reply.error().message().toStdString());
  if (reply.value() != QDBusConnectionInterface::ServiceRegistered)
    return fail(OneCopyProblem::anotherRuns, std::string(kService));
  return {};
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
