#include "app/desktop_scheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace gt {
namespace {

const QString kPortal = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.freedesktop.appearance");
const QString kKey = QStringLiteral("color-scheme");

// 1 prefers dark, 2 prefers light, 0 (or anything else) states no preference. Read wraps the value in
// one more variant than SettingChanged does.
std::optional<bool> preference(QVariant v) {
  while (v.canConvert<QDBusVariant>()) v = v.value<QDBusVariant>().variant();
  bool ok = false;
  const uint value = v.toUInt(&ok);
  if (ok && value == 1) return true;
  if (ok && value == 2) return false;
  return std::nullopt;
}

bool paletteIsDark() {
  const QPalette palette = QGuiApplication::palette();
  return palette.color(QPalette::Window).lightness() < palette.color(QPalette::WindowText).lightness();
}

}  // namespace

DesktopScheme::DesktopScheme(QObject* parent) : QObject(parent), last_(scheme()) {
  qApp->installEventFilter(this);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  bus.connect(kPortal, kPortalPath, kSettings, QStringLiteral("SettingChanged"), this,
              SLOT(onSettingChanged(QString, QString, QDBusVariant)));
  // A portal that starts after the app (at login) is read when it appears.
  auto* watcher = new QDBusServiceWatcher(kPortal, bus, QDBusServiceWatcher::WatchForRegistration, this);
  connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &DesktopScheme::readPortal);
  readPortal();
}

MenuIcon::Scheme DesktopScheme::scheme() const {
  return portalDark_.value_or(paletteIsDark()) ? MenuIcon::Scheme::dark : MenuIcon::Scheme::light;
}

void DesktopScheme::readPortal() {
  QDBusMessage call = QDBusMessage::createMethodCall(kPortal, kPortalPath, kSettings, QStringLiteral("Read"));
  call << kGroup << kKey;
  call.setAutoStartService(false);  // only a portal that runs: starting one can take seconds
  auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kPortalCallMs), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    const QDBusMessage reply = w->reply();
    w->deleteLater();
    if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
      setPortalValue(preference(reply.arguments().first()));
    }
  });
}

void DesktopScheme::onSettingChanged(const QString& group, const QString& key, const QDBusVariant& value) {
  if (group == kGroup && key == kKey) setPortalValue(preference(value.variant()));
}

void DesktopScheme::setPortalValue(std::optional<bool> dark) {
  portalDark_ = dark;
  if (scheme() == last_) return;
  last_ = scheme();
  emit changed();
}

bool DesktopScheme::eventFilter(QObject* watched, QEvent* event) {
  if (watched == qApp && event->type() == QEvent::ApplicationPaletteChange) setPortalValue(portalDark_);
  return QObject::eventFilter(watched, event);
}

}  // namespace gt
