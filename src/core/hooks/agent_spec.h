#pragma once
#include <nlohmann/json_fwd.hpp>
#include <span>
#include <string_view>

namespace gt {

struct AgentEvent;

// A background program that runs the hooks of all of an agent's sessions: `program` (its process name)
// started with `argument` first. Its surroundings are those of whichever session started it.
struct SharedServer {
  std::string_view program, argument;
};

// How an agent hands its hook the event payload.
enum class PayloadArrival { standardInput, lastArgument };

// What the core and the hook know about one coding agent: `gt::agents::NAME::spec` in
// src/agents/NAME/NAME_event.cpp, listed once in src/agents/agents.def. Its configuration file's walk
// (AgentConfig) sits beside it in the same folder.
struct AgentSpec {
  std::string_view name;        // the raw value: `--agent NAME` and the record's "agent"
  std::string_view configFile;  // relative to the home directory
  PayloadArrival payload;
  // The hook events it subscribes; empty for an agent with a single notify command.
  std::span<const std::string_view> events;
  // Fills the record's type, state, title and message from the payload, a JSON object.
  void (*toEvent)(const nlohmann::json& payload, AgentEvent& event);
  // The payload keys that may hold the agent's own session id, the same for every event of one
  // session; the first one present wins.
  std::span<const std::string_view> sessionKeys = {};
  // Set for an agent whose hooks may run from such a server; the hook then looks for the session's own
  // process among the program's others, as the one working in the folder the hook runs in.
  SharedServer sharedServer = {};
};

}  // namespace gt
