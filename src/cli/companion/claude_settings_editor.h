#pragma once
#include <string_view>

#include "cli/companion/agent_editor.h"

namespace gt {

// Edits ~/.claude/settings.json: one command hook per subscribed event inside the top-level "hooks"
// object, every other key kept in its order.
namespace ClaudeSettingsEditor {
ConfigEdit install(std::string_view text, const HookSetup& setup);
ConfigEdit uninstall(std::string_view text, const HookSetup& setup);
}  // namespace ClaudeSettingsEditor

}  // namespace gt
