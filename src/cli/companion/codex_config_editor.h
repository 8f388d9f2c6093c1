#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "cli/companion/config_edit.h"

namespace gt {

// Edits ~/.codex/config.toml: the top-level `notify` argv. A `notify` the user already had keeps
// working: our hook runs it after sending its event (its argv follows "--chain" "--"), and
// uninstall puts it back.
class CodexConfigEditor {
 public:
  // `text` empty stands for a missing file; `hookArgv` is our command without any chained one.
  static ConfigEdit install(std::string_view text, const std::vector<std::string>& hookArgv);
  static ConfigEdit uninstall(std::string_view text);

  // The user's own notify argv carried by one of ours, if any.
  static std::vector<std::string> chainedArgv(const std::vector<std::string>& ourArgv);
  static bool isOurs(const std::vector<std::string>& argv);
};

}  // namespace gt
