#pragma once
#include <string_view>

namespace gt {

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or truncated sequences).
bool isValidUtf8(std::string_view bytes);

}  // namespace gt
