#pragma once
#include <string>
#include <string_view>

namespace gt {

// The pairing code's rules, shared by the panel's code field and `glowticker pair --code`, so both
// accept exactly the same input. "Characters" are user-perceived characters (extended grapheme
// clusters), so a digit followed by a combining mark counts once, as the user sees it. Text is UTF-8;
// bytes that are not UTF-8 are never kept.
namespace PairingCode {

inline constexpr int kLength = 4;

// Keeps, in order, the clusters whose first code point has a Unicode Numeric_Type other than None
// (ASCII, full-width and other scripts' digits, fractions…), at most kLength of them.
std::string filter(std::string_view text);

// Number of grapheme clusters in text.
int clusterCount(std::string_view text);

// Whether the filtered text is a whole code: exactly kLength characters.
inline bool complete(std::string_view filtered) { return clusterCount(filtered) == kLength; }

// For a code given all at once (the command line), where nobody watches the field drop a fifth digit:
// the filtered code when the text holds exactly kLength numeric characters, else empty.
std::string wholeCode(std::string_view text);

}  // namespace PairingCode

}  // namespace gt
