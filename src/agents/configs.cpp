#include <vector>

#include "core/hooks/agent_config.h"

namespace gt {

#define GT_AGENT(name)             \
  namespace agents::name {         \
  extern const AgentConfig config; \
  }
#include "agents/agents.def"
#undef GT_AGENT

namespace {

std::vector<const AgentConfig*>& registry() {
#define GT_AGENT(name) &agents::name::config,
  static std::vector<const AgentConfig*> all{
#include "agents/agents.def"
  };
#undef GT_AGENT
  return all;
}

}  // namespace

const AgentConfig* configFor(AgentID agent) {
  for (const AgentConfig* c : registry())
    if (c->agent == rawValue(agent)) return c;
  return nullptr;
}

bool holdsOurHook(AgentID agent, std::string_view text) {
  const AgentConfig* config = configFor(agent);
  return config && config->holdsOurHook(text, HookSetup{{}, {}, {}, agent->events, std::string(rawValue(agent))});
}

std::optional<AgentID> registerAgent(const AgentSpec& description, const AgentConfig& config) {
  if (description.name != config.agent) return std::nullopt;
  std::optional<AgentID> agent = registerAgent(description);
  if (agent) registry().push_back(&config);
  return agent;
}

}  // namespace gt
