#pragma once
#include <string>
#include <string_view>

#include "cli/companion/config_edit.h"

namespace gt {

// Edits ~/.claude/settings.json: our command hooks for "Stop", "Notification" and
// "PermissionRequest" inside the top-level "hooks" object, every other key kept in its order.
class ClaudeSettingsEditor {
 public:
  // `text` empty stands for a missing file. `hookCommand` is the shell command the agent runs.
  static ConfigEdit install(std::string_view text, const std::string& hookCommand);
  static ConfigEdit uninstall(std::string_view text);
};

}  // namespace gt
