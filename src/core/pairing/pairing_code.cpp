#include "core/pairing/pairing_code.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace gt {
namespace {

// Calls fn(start, end) for each grapheme cluster of u (UTF-16 offsets); stops when fn returns false.
template <typename Fn>
void forEachCluster(const icu::UnicodeString& u, Fn fn) {
  if (u.isEmpty()) return;
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) return;  // no break data: nothing is accepted rather than guessing
  it->setText(u);
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    if (!fn(start, end)) return;
  }
}

std::string keepNumeric(std::string_view text, int limit) {
  // Malformed bytes become U+FFFD, which is not numeric and so is dropped.
  const icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  icu::UnicodeString kept;
  int count = 0;
  forEachCluster(u, [&](int32_t start, int32_t end) {
    if (u_getIntPropertyValue(u.char32At(start), UCHAR_NUMERIC_TYPE) != U_NT_NONE) {
      kept.append(u, start, end - start);
      ++count;
    }
    return count < limit;
  });
  std::string out;
  kept.toUTF8String(out);
  return out;
}

}  // namespace

namespace PairingCode {

std::string filter(std::string_view text) { return keepNumeric(text, kLength); }

std::string wholeCode(std::string_view text) {
  std::string code = keepNumeric(text, kLength + 1);
  return clusterCount(code) == kLength ? code : std::string();
}

int clusterCount(std::string_view text) {
  const icu::UnicodeString u =
      icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
  int n = 0;
  forEachCluster(u, [&](int32_t, int32_t) {
    ++n;
    return true;
  });
  return n;
}

}  // namespace PairingCode

}  // namespace gt
