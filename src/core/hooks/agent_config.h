#pragma once
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/hooks/agent_id.h"
#include "core/hooks/config_edit.h"

namespace gt {

// What an edit needs to put our hook into one agent's file, or take it out again.
struct HookSetup {
  std::string where;                         // the file as messages name it, e.g. "~/.claude/settings.json"
  std::vector<std::string> argv;             // our hook as an argv: glowticker-hook --agent NAME
  std::string shellCommand;                  // the same as one shell command line
  std::span<const std::string_view> events;  // the hook events the agent subscribes
  std::string agent;                         // the agent's raw value, which tells our entries (hook_identity)
};

// One agent's configuration file as our hook sees it, defined in the agent's folder (src/agents/NAME)
// beside its payload mapping. The reader and the editors walk the file the same way and ask
// hook_identity whether an entry is ours, so the app's switch and the companion tool never disagree.
// Kept apart from AgentSpec so that the hook sender links no file parser. `text` empty stands for a
// missing file.
struct AgentConfig {
  std::string_view agent;  // the agent's raw value
  // Whether the text holds one of our hooks, read the way the agent reads it; unreadable text holds
  // none. Of `setup` it reads only `agent` and `events`.
  bool (*holdsOurHook)(std::string_view text, const HookSetup& setup);
  EditResult (*install)(std::string_view text, const HookSetup& setup);
  EditResult (*uninstall)(std::string_view text, const HookSetup& setup);
  // The agent asks the user once to trust hooks it has not run before (codex): the note after an
  // install says so.
  bool reviewsNewHooks = false;
};

// The report note naming the events, e.g. "hook events: Stop, Notification".
inline std::string eventsNote(std::span<const std::string_view> events) {
  std::string note = "hook events: ";
  for (size_t i = 0; i < events.size(); ++i) (note += i ? ", " : "") += events[i];
  return note;
}

// The configuration registered for the agent, or nothing.
const AgentConfig* configFor(AgentID agent);

// Whether the text holds one of our hooks for the agent; an agent without a configuration holds none.
// The companion tool and the app's hook state both ask this.
bool holdsOurHook(AgentID agent, std::string_view text);

// Adds an agent after the built-in ones, both halves at once, as a built-in agent's line in
// src/agents/agents.def does: what the hook knows of it and its configuration file. Same rules as
// registerAgent (start-up only, no lock); nothing when the name is taken.
std::optional<AgentID> registerAgent(const AgentSpec& description, const AgentConfig& config);

}  // namespace gt
