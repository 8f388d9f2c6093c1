#include "app/tray_hosts.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <string>

namespace gt {
namespace {

const QString kWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

bool isX11() { return QGuiApplication::platformName() == QLatin1String("xcb"); }

// The screen number of DISPLAY ("host:display.screen"), where the tray's selection is named.
int displayScreen() {
  const char* display = std::getenv("DISPLAY");
  const char* colon = display ? std::strrchr(display, ':') : nullptr;
  const char* dot = colon ? std::strchr(colon, '.') : nullptr;
  return dot ? std::atoi(dot + 1) : 0;
}

}  // namespace

TrayHosts::TrayHosts(QObject* parent) : QObject(parent) {}

bool TrayHosts::platformHasTrays() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("xcb") || platform == QLatin1String("wayland");
}

void TrayHosts::watch() {
  looking_ = true;
  if (xembedTrayPresent()) {
    finish();
    return;
  }
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    auto* appears = new QDBusServiceWatcher(kWatcher, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(appears, &QDBusServiceWatcher::serviceRegistered, this, &TrayHosts::askWatcher);
    // A watcher may come up before its host (the panel) registers with it.
    bus.connect(QString(), kWatcherPath, kWatcher, QStringLiteral("StatusNotifierHostRegistered"), this,
                SLOT(askWatcher()));
  }
  if (isX11()) {
    // An XEmbed tray announces itself to the root window, which Qt does not pass on before an icon
    // exists; asking the X server for the selection's owner is one short round trip.
    xPoll_ = new QTimer(this);
    xPoll_->setInterval(kXPollMs);
    connect(xPoll_, &QTimer::timeout, this, [this] {
      if (xembedTrayPresent()) finish();
    });
    xPoll_->start();
  }
  askWatcher();
}

void TrayHosts::askWatcher() {
  if (!looking_) return;
  QDBusMessage call = QDBusMessage::createMethodCall(kWatcher, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                     QStringLiteral("Get"));
  call << kWatcher << QStringLiteral("IsStatusNotifierHostRegistered");
  call.setAutoStartService(false);
  auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call, kCallMs), this);
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    const QDBusMessage reply = w->reply();
    w->deleteLater();
    if (!looking_) return;
    QVariant v = reply.arguments().value(0);
    while (v.canConvert<QDBusVariant>()) v = v.value<QDBusVariant>().variant();
    if (reply.type() == QDBusMessage::ReplyMessage && v.toBool()) {
      finish();
    } else if (!saidNone_) {
      saidNone_ = true;
      emit noneYet();
    }
  });
}

bool TrayHosts::xembedTrayPresent() {
  auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  xcb_connection_t* c = x11 ? x11->connection() : nullptr;
  if (!c) return false;
  if (trayAtom_ == 0) {
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(displayScreen());
    xcb_intern_atom_reply_t* atom =
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(name.size()), name.c_str()), nullptr);
    if (!atom) return false;
    trayAtom_ = atom->atom;
    std::free(atom);
  }
  xcb_get_selection_owner_reply_t* owner =
      xcb_get_selection_owner_reply(c, xcb_get_selection_owner(c, trayAtom_), nullptr);
  const bool present = owner && owner->owner != XCB_NONE;
  std::free(owner);
  return present;
}

void TrayHosts::finish() {
  if (!looking_) return;
  looking_ = false;
  if (xPoll_) xPoll_->stop();
  emit found();
}

}  // namespace gt
