#include "core/common/utf8.h"

// ICU's UTF-8 macros are header-only: the checks follow ICU's rules without linking libicu, so the
// light hook sender may use them too.
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>

namespace gt {

namespace {

bool needsEscape(UChar32 c) {
  return c < 0x20 || (c >= 0x7F && c <= 0x9F) || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  const auto len = static_cast<std::int64_t>(bytes.size());
  for (std::int64_t i = 0; i < len;) {
    UChar32 c;
    U8_NEXT(p, i, len, c);
    if (c < 0) return false;
  }
  return true;
}

std::string terminalSafe(std::string_view text) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto len = static_cast<std::int64_t>(text.size());
  std::string out;
  out.reserve(text.size());
  char esc[12];
  for (std::int64_t i = 0; i < len;) {
    const std::int64_t start = i;
    UChar32 c;
    U8_NEXT(p, i, len, c);
    if (c < 0) {
      for (std::int64_t j = start; j < i; ++j) {
        std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned>(p[j]));
        out += esc;
      }
    } else if (!needsEscape(c)) {
      out.append(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(i - start)));
    } else if (c < 0x80) {
      std::snprintf(esc, sizeof esc, "\\x%02x", static_cast<unsigned>(c));
      out += esc;
    } else {
      std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
      out += esc;
    }
  }
  return out;
}

}  // namespace gt
