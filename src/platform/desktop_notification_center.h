#pragma once
#include <memory>

#include "core/events/notification_center.h"

namespace gt {
// org.freedesktop.Notifications on the session bus.
std::shared_ptr<NotificationCenter> makeDesktopNotificationCenter();
}  // namespace gt
