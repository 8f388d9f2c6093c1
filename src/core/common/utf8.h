#pragma once
#include <string>
#include <string_view>

namespace gt {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or truncated sequences).
bool isValidUtf8(std::string_view bytes);

// Text from the network or from files made safe to print on a terminal: control characters (C0, C1,
// DEL) and bidirectional overrides and isolates are shown as visible escapes ("\x1b", "\u202e"), and
// bytes that are not UTF-8 as "\xNN". Everything else passes unchanged.
std::string terminalSafe(std::string_view text);

}  // namespace gt
