// ~/.kimi-code/config.toml: one [[hooks]] table per subscribed event, with only the keys that file
// accepts (event, matcher, command, timeout).
#include <algorithm>

#include "core/hooks/agent_config.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/toml_text.h"

namespace gt::agents::kimi {

namespace {

constexpr int64_t kHookTimeoutSeconds = 10;

bool isOurs(const toml::node& entry, const HookSetup& setup) {
  const toml::table* t = entry.as_table();
  auto event = t ? t->get_as<std::string>("event") : nullptr;
  auto command = t ? t->get_as<std::string>("command") : nullptr;
  return event && command && hook_identity::isOurEntry(setup.agent, setup.events, event->get(), command->get());
}

toml::table hookEntry(std::string_view event, const std::string& command) {
  return toml::table{{"event", event}, {"matcher", ""}, {"command", command}, {"timeout", kHookTimeoutSeconds}};
}

// Checks before any edit that the "hooks" value can be edited as [[hooks]] tables.
Result<void, Problem<EditProblem>> checkHooks(const toml::table& root, const TomlText& doc, const std::string& where) {
  const toml::node* hooks = root.get("hooks");
  if (!hooks) return {};
  const toml::array* list = hooks->as_array();
  if (!list || !list->is_array_of_tables())
    return refuseEdit(EditProblem::malformed,
                      where + " has a `hooks` value that is not a list of [[hooks]] tables; fix it and try again.");
  for (auto&& e : *list) {
    size_t line = e.source().begin.line - 1;
    if (e.as_table()->is_inline() || line >= doc.lineCount() || !doc.content(line).starts_with("[["))
      return refuseEdit(EditProblem::malformed,
                        where + " has an inline `hooks = [...]` list; rewrite it as [[hooks]] tables and try again.");
  }
  return {};
}

// Removes our [[hooks]] tables (each with the blank line before it) from the text.
void removeOurBlocks(const toml::table& root, TomlText& doc, const HookSetup& setup) {
  const toml::array* list = root.get("hooks") ? root.get("hooks")->as_array() : nullptr;
  std::vector<size_t> starts;
  if (list)
    for (auto&& e : *list)
      if (isOurs(e, setup)) starts.push_back(e.source().begin.line - 1);
  doc.eraseBlocks(std::move(starts));
}

EditResult verified(const toml::table& original, std::string text, const toml::array& expectedHooks,
                    const std::string& where) {
  auto wanted = [&](const toml::node* got) {
    return expectedHooks.empty() ? got == nullptr : got && got->is_array() && *got->as_array() == expectedHooks;
  };
  return verifiedTomlEdit(original, std::move(text), "hooks", wanted, where, "edit its [[hooks]] tables by hand.");
}

toml::array keptHooks(const toml::table& root, const HookSetup& setup) {
  toml::array kept;
  if (const toml::node* hooks = root.get("hooks"))
    for (auto&& e : *hooks->as_array())
      if (!isOurs(e, setup)) kept.push_back(e);
  return kept;
}

Result<toml::table, Problem<EditProblem>> editable(std::string_view text, const std::string& where) {
  return TomlText::parseEditable(
      text, where, [&](const toml::table& root, const TomlText& doc) { return checkHooks(root, doc, where); });
}

bool holdsOurHook(std::string_view text, const HookSetup& setup) {
  auto root = TomlText::parse(text, {});
  const toml::array* hooks = root ? root->get_as<toml::array>("hooks") : nullptr;
  return hooks && std::any_of(hooks->begin(), hooks->end(), [&](const toml::node& e) { return isOurs(e, setup); });
}

EditResult install(std::string_view text, const HookSetup& setup) {
  const std::string& hookCommand = setup.shellCommand;
  const std::string& where = setup.where;
  auto parsed = editable(text, where);
  if (!parsed) return fail(parsed.error());
  TomlText doc(text, *parsed);

  // Our hook already there once per event, running this command: leave it where it is.
  size_t ours = 0;
  std::vector<std::string> events, all(setup.events.begin(), setup.events.end());
  if (const toml::array* hooks = parsed->get_as<toml::array>("hooks"))
    for (auto&& e : *hooks)
      if (isOurs(e, setup) && ++ours && e.as_table()->get_as<std::string>("command")->get() == hookCommand)
        events.push_back(e.as_table()->get_as<std::string>("event")->get());
  std::sort(events.begin(), events.end());
  std::sort(all.begin(), all.end());
  if (ours == events.size() && events == all) return ConfigEdit{std::string(text), false, {eventsNote(setup.events)}};

  removeOurBlocks(*parsed, doc, setup);
  toml::array expected = keptHooks(*parsed, setup);
  for (std::string_view event : setup.events) {
    doc.appendBlock({"[[hooks]]", "event = " + TomlText::quote(event), "matcher = \"\"",
                     "command = " + TomlText::quote(hookCommand), "timeout = " + std::to_string(kHookTimeoutSeconds)});
    expected.push_back(hookEntry(event, hookCommand));
  }
  std::string newText = doc.join();
  if (newText == text) return ConfigEdit{std::move(newText), false, {eventsNote(setup.events)}};
  auto checked = verified(*parsed, std::move(newText), expected, where);
  if (checked) checked->notes.push_back(eventsNote(setup.events));
  return checked;
}

EditResult uninstall(std::string_view text, const HookSetup& setup) {
  const std::string& where = setup.where;
  auto parsed = editable(text, where);
  if (!parsed) return fail(parsed.error());
  TomlText doc(text, *parsed);
  toml::array expected = keptHooks(*parsed, setup);
  const toml::node* hooks = parsed->get("hooks");
  if (!hooks || expected.size() == hooks->as_array()->size())
    return ConfigEdit{std::string(text), false, {"no glowticker hook was installed"}};
  removeOurBlocks(*parsed, doc, setup);
  return verified(*parsed, doc.join(), expected, where);
}

}  // namespace

extern constinit const AgentConfig config{"kimi", holdsOurHook, install, uninstall};

}  // namespace gt::agents::kimi
