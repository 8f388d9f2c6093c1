#pragma once
// What every agent-file edit promises, checked on any input: install adds only bytes, uninstall
// takes only bytes away, and a file that held none of our hooks comes back to the byte.
#include <string>
#include <string_view>

#include "cli/companion/config_edit.h"
#include "core/hooks/hook_identity.h"
#include "fuzz_check.h"

namespace gtfuzz {

// Whether `part` is what is left of `whole` once some of its bytes are taken out.
inline bool within(std::string_view part, std::string_view whole) {
  size_t i = 0;
  for (char c : whole)
    if (i < part.size() && part[i] == c) ++i;
  return i == part.size();
}

template <typename Install, typename Uninstall>
void checkEdits(gt::AgentID agent, std::string_view text, Install install, Uninstall uninstall) {
  bool hadOurs = gt::hook_identity::holdsOurHook(agent, text);
  // A blank file is no settings at all: it may be written whole.
  bool users = !hadOurs && text.find_first_not_of(" \t\r\n") != std::string_view::npos;
  gt::ConfigEdit in = install(text);
  if (!in.error.empty()) {
    GT_FUZZ_CHECK(in.text.empty() && !in.changed);
  } else {
    GT_FUZZ_CHECK(gt::hook_identity::holdsOurHook(agent, in.text));
    GT_FUZZ_CHECK(in.changed == (in.text != text));
    if (users) GT_FUZZ_CHECK(within(text, in.text));
    gt::ConfigEdit again = install(in.text);
    GT_FUZZ_CHECK(again.error.empty() && !again.changed && again.text == in.text);
    gt::ConfigEdit out = uninstall(in.text);
    GT_FUZZ_CHECK(out.error.empty() && !gt::hook_identity::holdsOurHook(agent, out.text));
    if (users) GT_FUZZ_CHECK(out.text == text);
  }
  gt::ConfigEdit out = uninstall(text);
  if (out.error.empty()) {
    GT_FUZZ_CHECK(within(out.text, text));
    GT_FUZZ_CHECK(!gt::hook_identity::holdsOurHook(agent, out.text));
    GT_FUZZ_CHECK(out.changed == hadOurs);
  }
}

}  // namespace gtfuzz
