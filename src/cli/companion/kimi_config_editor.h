#pragma once
#include <string_view>

#include "cli/companion/agent_editor.h"

namespace gt {

// Edits ~/.kimi-code/config.toml: one [[hooks]] table per subscribed event, with only the keys that
// file accepts (event, matcher, command, timeout).
namespace KimiConfigEditor {
ConfigEdit install(std::string_view text, const HookSetup& setup);
ConfigEdit uninstall(std::string_view text, const HookSetup& setup);
}  // namespace KimiConfigEditor

}  // namespace gt
