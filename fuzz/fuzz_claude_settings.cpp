// ~/.claude/settings.json belongs to the user: an edit adds or removes our hooks and no other byte.
#include <cstddef>
#include <cstdint>

#include "cli/companion/claude_settings_editor.h"
#include "edit_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const gt::AgentID claude = *gt::agentFromRaw("claude");
  static const gt::HookSetup setup{"~/.claude/settings.json",
                                   {"/opt/gt bin/glowticker-hook", "--agent", "claude"},
                                   "'/opt/gt bin/glowticker-hook' --agent claude",
                                   claude->events,
                                   "claude"};
  std::string_view text(reinterpret_cast<const char*>(data), size);
  gtfuzz::checkEdits(
      claude, text, [](std::string_view t) { return gt::ClaudeSettingsEditor::install(t, setup); },
      [](std::string_view t) { return gt::ClaudeSettingsEditor::uninstall(t, setup); });
  return 0;
}
