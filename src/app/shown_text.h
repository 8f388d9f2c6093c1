#pragma once
#include <QString>
#include <string_view>

#include "core/common/utf8.h"

namespace gt {

// Text that came from a phone or a file, for a label: control characters and direction overrides show
// as visible escapes instead of reordering or hiding what is around them. The stored bytes stay as sent.
inline QString shownText(std::string_view text) { return QString::fromStdString(terminalSafe(text)); }

}  // namespace gt
