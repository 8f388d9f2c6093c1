#pragma once
#include <QString>

namespace gt {

// The pairing code field's rules. "Characters" are user-perceived characters (extended grapheme
// clusters), so a digit followed by a combining mark counts once, as the user sees it.
namespace CodeFilter {

inline constexpr int kCodeLength = 4;

// Keeps, in order, the clusters whose first code point has a Unicode Numeric_Type other than None
// (ASCII, full-width and other scripts' digits, fractions…), at most kCodeLength of them.
QString filter(const QString& text);

// Number of grapheme clusters in text.
int clusterCount(const QString& text);

}  // namespace CodeFilter

}  // namespace gt
