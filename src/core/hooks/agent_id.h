#pragma once
#include <array>
#include <optional>
#include <string_view>

namespace gt {

enum class AgentID { codex, claude, kimi };

inline constexpr std::array<AgentID, 3> kAllAgents{AgentID::codex, AgentID::claude, AgentID::kimi};

constexpr std::string_view rawValue(AgentID agent) {
  switch (agent) {
    case AgentID::codex: return "codex";
    case AgentID::claude: return "claude";
    case AgentID::kimi: return "kimi";
  }
  return {};
}

constexpr std::optional<AgentID> agentFromRaw(std::string_view raw) {
  for (AgentID a : kAllAgents)
    if (rawValue(a) == raw) return a;
  return std::nullopt;
}

}  // namespace gt
