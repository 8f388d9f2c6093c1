// ~/.codex/config.toml and ~/.kimi-code/config.toml belong to the user: an edit adds or removes our
// hook and no other byte. The first byte picks the editor.
#include <cstddef>
#include <cstdint>

#include "cli/companion/codex_config_editor.h"
#include "cli/companion/kimi_config_editor.h"
#include "edit_checks.h"

namespace {

gt::HookSetup setupFor(gt::AgentID agent) {
  std::string name(gt::rawValue(agent));
  return {"~/" + std::string(agent->configFile), {"/opt/gt/glowticker-hook", "--agent", name},
          "/opt/gt/glowticker-hook --agent " + name, agent->events, name};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const gt::AgentID codex = *gt::agentFromRaw("codex"), kimi = *gt::agentFromRaw("kimi");
  static const gt::HookSetup codexSetup = setupFor(codex), kimiSetup = setupFor(kimi);
  if (size == 0) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1)
    gtfuzz::checkEdits(
        kimi, text, [](std::string_view t) { return gt::KimiConfigEditor::install(t, kimiSetup); },
        [](std::string_view t) { return gt::KimiConfigEditor::uninstall(t, kimiSetup); });
  else
    gtfuzz::checkEdits(
        codex, text, [](std::string_view t) { return gt::CodexConfigEditor::install(t, codexSetup); },
        [](std::string_view t) { return gt::CodexConfigEditor::uninstall(t, codexSetup); });
  return 0;
}
