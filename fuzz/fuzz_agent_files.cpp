// On any input install only adds bytes, uninstall only takes them, a file without ours comes back to the byte.
// The first byte picks the agent; the hook path has a space, so the command is quoted.

#include "core/hooks/agent_config.h"
#include "fuzz_check.h"

// Whether `part` is what is left of `whole` once some of its bytes are taken out.
static bool within(std::string_view part, std::string_view whole) {
  size_t i = 0;
  for (char c : whole)
    if (i < part.size() && part[i] == c) ++i;
  return i == part.size();
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const gt::AgentID agent = gt::allAgents()[data[0] % gt::allAgents().size()];
  const std::string name(gt::rawValue(agent));
  const gt::HookSetup setup{"~/" + std::string(agent->configFile), {"/opt/gt bin/glowticker-hook", "--agent", name},
                            "'/opt/gt bin/glowticker-hook' --agent " + name, agent->events, name};
  const gt::AgentConfig& editor = *gt::configFor(agent);
  auto holdsOurs = [&](std::string_view t) { return gt::holdsOurHook(agent, t); };
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  gt::EditResult out = editor.uninstall(text, setup);
  // Anything of ours, an earlier version's codex notify included (which alone does not count as installed).
  bool hadOurs = out && out->changed;
  // A blank file is no settings at all: it may be written whole.
  bool users = !hadOurs && text.find_first_not_of(" \t\r\n") != std::string_view::npos;
  if (gt::EditResult in = editor.install(text, setup)) {
    assert(holdsOurs(in->text) && in->changed == (in->text != text));
    if (users) assert(within(text, in->text));
    gt::EditResult again = editor.install(in->text, setup);
    assert(again && !again->changed && again->text == in->text);
    gt::EditResult back = editor.uninstall(in->text, setup);
    assert(back && !holdsOurs(back->text));
    if (users) assert(back->text == text);
  }
  if (out) assert(within(out->text, text) && !holdsOurs(out->text) && (!holdsOurs(text) || hadOurs));
  return 0;
}
