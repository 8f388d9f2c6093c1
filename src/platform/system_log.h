#pragma once
#include <memory>

#include "core/common/log.h"

namespace gt {
// The systemd journal, or one line on standard error when no journal is reachable.
std::shared_ptr<Log> makeSystemLog();
}  // namespace gt
