#pragma once
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "core/hooks/agent_spec.h"

namespace gt {

// One registered agent. Cheap to copy; compares by identity.
class AgentID {
 public:
  explicit AgentID(const AgentSpec& description) : description_(&description) {}
  const AgentSpec& description() const { return *description_; }
  const AgentSpec* operator->() const { return description_; }
  bool operator==(const AgentID&) const = default;

 private:
  const AgentSpec* description_;
};

inline std::string_view rawValue(AgentID agent) { return agent->name; }

// Every registered agent, in the order the app lists them: the built-in ones, then any added.
std::span<const AgentID> allAgents();
std::optional<AgentID> agentFromRaw(std::string_view raw);

// The names joined for usage texts: ("|") gives "codex|claude|kimi", (", ", " or ") "codex, claude or kimi".
std::string agentNames(std::string_view separator, std::string_view lastSeparator = {});

// Adds an agent after the built-in ones, as far as the hook needs it (registerAgent in agent_config.h
// adds its configuration too). `description` must outlive the program. Call before anything else
// looks agents up (there is no lock); a name already taken is refused with nothing.
std::optional<AgentID> registerAgent(const AgentSpec& description);

}  // namespace gt
