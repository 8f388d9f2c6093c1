#pragma once
#include <string>
#include <vector>

namespace gt {

// The outcome of editing one configuration text: the new text, or the reason the edit was refused.
struct ConfigEdit {
  std::string text;  // the new contents; equal to the old ones when nothing changed
  bool changed = false;
  std::vector<std::string> notes;  // short facts for the report
  std::string error;               // non-empty: refused, nothing may be written

  static ConfigEdit refuse(std::string why) {
    ConfigEdit e;
    e.error = std::move(why);
    return e;
  }
};

}  // namespace gt
