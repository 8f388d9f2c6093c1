#pragma once
#include <string>
#include <string_view>

#include "cli/companion/config_edit.h"

namespace gt {

// Edits ~/.kimi-code/config.toml: one [[hooks]] table each for "Stop" and "Notification", with only
// the keys that file accepts (event, matcher, command, timeout).
class KimiConfigEditor {
 public:
  // `text` empty stands for a missing file. `hookCommand` is the shell command the agent runs.
  static ConfigEdit install(std::string_view text, const std::string& hookCommand);
  static ConfigEdit uninstall(std::string_view text);
};

}  // namespace gt
