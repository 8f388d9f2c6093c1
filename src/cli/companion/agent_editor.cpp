#include "cli/companion/agent_editor.h"

namespace gt {

// The built-in agents' editors, each beside its editing code. A new agent is one more name here and below.
namespace editors {
extern const AgentEditor codex, claude, kimi;
}

namespace {

std::vector<const AgentEditor*>& registry() {
  static std::vector<const AgentEditor*> all{&editors::codex, &editors::claude, &editors::kimi};
  return all;
}

}  // namespace

const AgentEditor* editorFor(AgentID agent) {
  for (const AgentEditor* e : registry())
    if (e->agent == rawValue(agent)) return e;
  return nullptr;
}

void registerEditor(const AgentEditor& editor) { registry().push_back(&editor); }

}  // namespace gt
