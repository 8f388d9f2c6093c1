#include <vector>

#include "core/hooks/agent_id.h"

namespace gt {

#define GT_AGENT(name)         \
  namespace agents::name {     \
  extern const AgentSpec spec; \
  }
#include "agents/agents.def"
#undef GT_AGENT

namespace {

std::vector<AgentID>& registry() {
#define GT_AGENT(name) AgentID(agents::name::spec),
  static std::vector<AgentID> all{
#include "agents/agents.def"
  };
#undef GT_AGENT
  return all;
}

}  // namespace

std::span<const AgentID> allAgents() { return registry(); }

std::optional<AgentID> agentFromRaw(std::string_view raw) {
  for (AgentID a : registry())
    if (rawValue(a) == raw) return a;
  return std::nullopt;
}

std::string agentNames(std::string_view separator, std::string_view lastSeparator) {
  std::string out;
  const std::vector<AgentID>& all = registry();
  for (size_t i = 0; i < all.size(); ++i) {
    if (i > 0) out += i + 1 == all.size() && !lastSeparator.empty() ? lastSeparator : separator;
    out += rawValue(all[i]);
  }
  return out;
}

std::optional<AgentID> registerAgent(const AgentSpec& description) {
  if (description.name.empty() || agentFromRaw(description.name)) return std::nullopt;
  registry().emplace_back(description);
  return registry().back();
}

}  // namespace gt
