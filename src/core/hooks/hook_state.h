#pragma once
#include <filesystem>

#include "core/hooks/agent_id.h"

namespace gt {

// Whether an agent's own configuration file holds one of our hook entries (its AgentConfig decides).
namespace HookState {
std::filesystem::path configPath(AgentID agent, const std::filesystem::path& home);
bool isInstalled(AgentID agent);
bool isInstalled(AgentID agent, const std::filesystem::path& home);
}  // namespace HookState

}  // namespace gt
