#include "core/hooks/hook_state.h"

#include <optional>
#include <string>

#include "core/common/file_io.h"
#include "core/common/paths.h"
#include "core/hooks/agent_config.h"

namespace gt {

namespace {

// Agent configuration files are a few kilobytes; anything this large is not one we wrote into.
constexpr std::size_t kMaxConfigBytes = 16 * 1024 * 1024;

}  // namespace

namespace HookState {

std::filesystem::path configPath(AgentID agent, const std::filesystem::path& home) { return home / agent->configFile; }

bool isInstalled(AgentID agent) { return isInstalled(agent, homeDir()); }

bool isInstalled(AgentID agent, const std::filesystem::path& home) {
  auto file = readFileBounded(configPath(agent, home), kMaxConfigBytes);
  return file && holdsOurHook(agent, file->text);
}

}  // namespace HookState

}  // namespace gt
