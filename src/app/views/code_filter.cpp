#include "app/views/code_filter.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace gt {
namespace {

// Calls fn(start, end) for each grapheme cluster of text (UTF-16 offsets); stops when fn returns false.
template <typename Fn>
void forEachCluster(const QString& text, Fn fn) {
  if (text.isEmpty()) return;
  // QString and ICU share UTF-16, so the offsets of one are the offsets of the other.
  icu::UnicodeString u(false, reinterpret_cast<const char16_t*>(text.utf16()), static_cast<int32_t>(text.size()));
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::BreakIterator> it(icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
  if (U_FAILURE(status) || !it) return;  // no break data: nothing is accepted rather than guessing
  it->setText(u);
  int32_t start = it->first();
  for (int32_t end = it->next(); end != icu::BreakIterator::DONE; start = end, end = it->next()) {
    if (!fn(start, end)) return;
  }
}

}  // namespace

namespace CodeFilter {

QString filter(const QString& text) {
  QString out;
  int kept = 0;
  const char16_t* data = reinterpret_cast<const char16_t*>(text.utf16());
  forEachCluster(text, [&](int32_t start, int32_t end) {
    UChar32 first;
    int32_t i = start;
    U16_NEXT(data, i, end, first);
    if (u_getIntPropertyValue(first, UCHAR_NUMERIC_TYPE) != U_NT_NONE) {
      out += text.mid(start, end - start);
      ++kept;
    }
    return kept < kCodeLength;
  });
  return out;
}

int clusterCount(const QString& text) {
  int n = 0;
  forEachCluster(text, [&](int32_t, int32_t) {
    ++n;
    return true;
  });
  return n;
}

}  // namespace CodeFilter

}  // namespace gt
