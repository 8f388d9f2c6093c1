#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "cli/companion/agent_editor.h"

namespace gt {

// Edits ~/.codex/config.toml: the top-level `notify` argv. A `notify` the user already had keeps
// working: our hook runs it after sending its event (its argv follows "--chain" "--"), and
// uninstall puts it back.
namespace CodexConfigEditor {
ConfigEdit install(std::string_view text, const HookSetup& setup);
ConfigEdit uninstall(std::string_view text, const HookSetup& setup);

// The user's own notify argv carried by one of ours, if any.
std::vector<std::string> chainedArgv(const std::vector<std::string>& ourArgv);
}  // namespace CodexConfigEditor

}  // namespace gt
