#pragma once
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "cli/companion/config_edit.h"
#include "core/hooks/agent_id.h"

namespace gt {

// What an editor needs to put our hook into one agent's file, or take it out again.
struct HookSetup {
  std::string where;                         // the file as messages name it, e.g. "~/.claude/settings.json"
  std::vector<std::string> argv;             // our hook as an argv: glowticker-hook --agent NAME
  std::string shellCommand;                  // the same as one shell command line
  std::span<const std::string_view> events;  // the hook events the agent subscribes
  std::string agent;                         // the agent's raw value, which tells our entries (hook_identity)
};

// One agent's configuration editor, defined beside its editing code and listed in agent_editor.cpp.
// `text` empty stands for a missing file.
struct AgentEditor {
  std::string_view agent;  // the agent's raw value
  ConfigEdit (*install)(std::string_view text, const HookSetup& setup);
  ConfigEdit (*uninstall)(std::string_view text, const HookSetup& setup);
};

// The report note naming the events, e.g. "hook events: Stop, Notification".
inline std::string eventsNote(std::span<const std::string_view> events) {
  std::string note = "hook events: ";
  for (size_t i = 0; i < events.size(); ++i) (note += i ? ", " : "") += events[i];
  return note;
}

// The editor registered for the agent, or nothing.
const AgentEditor* editorFor(AgentID agent);
// Adds an editor for an agent added with registerAgent; same rules (start-up only, no lock).
void registerEditor(const AgentEditor& editor);

}  // namespace gt
