#pragma once
#include <memory>

#include "core/events/notifier.h"

namespace gt {
// org.freedesktop.Notifications on the session bus.
std::shared_ptr<NotificationCenter> makeDesktopNotificationCenter();
}  // namespace gt
