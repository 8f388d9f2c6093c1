#pragma once
#include <string>
#include <string_view>

namespace gt {

// Quotes one word for `sh -c`: unchanged when it holds only safe characters, else in single quotes.
std::string shellQuote(std::string_view word);

}  // namespace gt
