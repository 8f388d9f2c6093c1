// ~/.codex/config.toml: one group of ours per subscribed event in codex's hooks, which have claude's
// shape ([[hooks.Stop]] with [[hooks.Stop.hooks]] type, command, timeout). Ours go after the user's own
// groups, so that the trust codex recorded for those ([hooks.state."FILE:EVENT:GROUP:HOOK"], by place)
// stays theirs. Earlier versions installed a top-level `notify` instead, carrying the user's own one
// after "--chain" "--": that is ours too, and installing or uninstalling takes it out and puts the
// user's own notify back as they wrote it, so that no turn is announced twice.
#include <algorithm>

#include "core/hooks/agent_config.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/toml_text.h"

namespace gt::agents::codex {

namespace {

constexpr int64_t kHookTimeoutSeconds = 10;

// The user's own notify argv carried by one of ours, if any.
std::vector<std::string> chainedArgv(const std::vector<std::string>& ourArgv) {
  auto chain = std::find(ourArgv.begin(), ourArgv.end(), "--chain");
  if (chain == ourArgv.end() || chain + 1 == ourArgv.end() || *(chain + 1) != "--") return {};
  return {chain + 2, ourArgv.end()};
}

std::optional<std::vector<std::string>> ourNotify(const toml::table& root, const HookSetup& setup) {
  std::optional<std::vector<std::string>> notify = stringList(root.get("notify"));
  if (notify && hook_identity::isOurArgv(setup.agent, *notify)) return notify;
  return std::nullopt;
}

bool isOurs(const toml::node& hook, std::string_view event, const HookSetup& setup) {
  const toml::table* t = hook.as_table();
  auto command = t ? t->get_as<std::string>("command") : nullptr;
  return command && hook_identity::isOurEntry(setup.agent, setup.events, event, command->get());
}

// The walk every reader and editor here shares: each group under each of our events, with its list of
// hooks (null when the group has none).
template <class Visit>
void forEachGroup(const toml::table& root, const HookSetup& setup, Visit visit) {
  const toml::table* hooks = root.get_as<toml::table>("hooks");
  for (std::string_view event : setup.events)
    if (const toml::array* groups = hooks ? hooks->get_as<toml::array>(event) : nullptr)
      for (auto&& group : *groups) {
        const toml::table* g = group.as_table();
        visit(event, group, g ? g->get_as<toml::array>("hooks") : nullptr);
      }
}

// Per event, how many of our hooks there are, and how many of them run `command`.
std::vector<std::pair<int, int>> ourHooks(const toml::table& root, const HookSetup& setup, const std::string& command) {
  std::vector<std::pair<int, int>> counts(setup.events.size());
  forEachGroup(root, setup, [&](std::string_view event, const toml::node&, const toml::array* list) {
    auto& [ours, running] = counts[std::find(setup.events.begin(), setup.events.end(), event) - setup.events.begin()];
    if (list)
      for (auto&& h : *list)
        if (isOurs(h, event, setup)) ++ours, running += *h.as_table()->get_as<std::string>("command") == command;
  });
  return counts;
}

bool holdsOurs(const toml::table& root, const HookSetup& setup, bool countNotify = true) {
  auto counts = ourHooks(root, setup, {});
  return (countNotify && ourNotify(root, setup)) ||
         std::any_of(counts.begin(), counts.end(), [](std::pair<int, int> c) { return c.first > 0; });
}

// Our hook exactly once under each event, running this command, and no notify of ours.
bool installedAsWanted(const toml::table& root, const HookSetup& setup) {
  auto counts = ourHooks(root, setup, setup.shellCommand);
  return !ourNotify(root, setup) &&
         std::all_of(counts.begin(), counts.end(), [](std::pair<int, int> c) { return c == std::pair(1, 1); });
}

// The configuration without anything of ours: the user's own notify back in place of ours, groups that
// held only our hooks gone, and the event lists and `hooks` table they leave empty.
toml::table usersPart(toml::table root, const HookSetup& setup) {
  if (std::optional<std::vector<std::string>> notify = ourNotify(root, setup)) {
    toml::array previous;
    for (const std::string& word : chainedArgv(*notify)) previous.push_back(word);
    if (previous.empty())
      root.erase("notify");
    else
      root.insert_or_assign("notify", std::move(previous));
  }
  toml::table* hooks = root.get_as<toml::table>("hooks");
  if (!hooks) return root;
  for (std::string_view event : setup.events) {
    toml::array* groups = hooks->get_as<toml::array>(event);
    if (!groups) continue;
    toml::array kept;
    for (auto&& group : *groups) {
      toml::table* g = group.as_table();
      toml::array* list = g ? g->get_as<toml::array>("hooks") : nullptr;
      if (!list) {
        kept.push_back(group);
        continue;
      }
      toml::array keptList;
      for (auto&& h : *list)
        if (!isOurs(h, event, setup)) keptList.push_back(h);
      if (keptList.empty() && !list->empty()) continue;
      toml::table keptGroup = *g;
      keptGroup.insert_or_assign("hooks", std::move(keptList));
      kept.push_back(std::move(keptGroup));
    }
    if (kept.empty())
      hooks->erase(event);
    else
      hooks->insert_or_assign(event, std::move(kept));
  }
  if (hooks->empty()) root.erase("hooks");
  return root;
}

// Checks that our events' lists are [[hooks.EVENT]] tables we can add to and take from.
Result<void, Problem<EditProblem>> checkHooks(const toml::table& root, const TomlText& doc, const HookSetup& setup) {
  const toml::node* hooks = root.get("hooks");
  if (!hooks) return {};
  if (!hooks->is_table() || hooks->as_table()->is_inline())
    return refuseEdit(
        EditProblem::malformed,
        setup.where + " has a `hooks` value that is not a table of [[hooks.EVENT]] lists; fix it and try again.");
  for (std::string_view event : setup.events) {
    const toml::node* groups = hooks->as_table()->get(event);
    if (!groups) continue;
    const toml::array* list = groups->as_array();
    bool tables = list && list->is_array_of_tables();
    for (size_t i = 0; tables && i < list->size(); ++i) {
      size_t line = list->get(i)->source().begin.line - 1;
      tables = !list->get(i)->as_table()->is_inline() && line < doc.lineCount() && doc.content(line).starts_with("[[");
    }
    if (!tables)
      return refuseEdit(EditProblem::malformed, setup.where + " has a `hooks." + std::string(event) +
                                                    "` that is not written as [[hooks." + std::string(event) +
                                                    "]] tables; rewrite it so and try again.");
  }
  return {};
}

// The header lines of every table written under a header inside `node`.
void headerLines(const toml::node& node, const TomlText& doc, std::vector<size_t>& out) {
  if (const toml::table* t = node.as_table()) {
    if (t->is_inline()) return;
    size_t line = node.source().begin.line - 1;
    if (line < doc.lineCount() && doc.content(line).starts_with("[")) out.push_back(line);
    for (auto&& [k, v] : *t) headerLines(v, doc, out);
  } else if (const toml::array* a = node.as_array()) {
    for (auto&& e : *a) headerLines(e, doc, out);
  }
}

// Where our hooks are written: a group that holds only ours goes whole, else our [[hooks.EVENT.hooks]]
// tables alone. False when one of ours sits inline among the user's hooks, where no line is only ours.
bool ourBlocks(const toml::table& root, const TomlText& doc, const HookSetup& setup, std::vector<size_t>& out) {
  bool editable = true;
  forEachGroup(root, setup, [&](std::string_view event, const toml::node& group, const toml::array* list) {
    if (!list) return;
    size_t ours =
        std::count_if(list->begin(), list->end(), [&](const toml::node& h) { return isOurs(h, event, setup); });
    if (ours > 0 && ours == list->size()) return headerLines(group, doc, out);
    for (auto&& h : *list)
      if (isOurs(h, event, setup)) {
        size_t before = out.size();
        if (!h.as_table()->is_inline()) headerLines(h, doc, out);
        editable = editable && out.size() == before + 1 && doc.content(out.back()).starts_with("[[");
      }
  });
  return editable;
}

// Takes out everything of ours: the notify of an earlier version (the user's own one it carried put back
// as written, comments and line breaks included), then our hooks. Nothing when the layout defeats it.
struct Removal {
  std::string text;
  bool notify = false, putBack = false, hooks = false;
};
std::optional<Removal> removeOurs(std::string_view original, const HookSetup& setup) {
  Removal r{std::string(original)};
  auto root = TomlText::parse(r.text, setup.where);
  if (!root) return std::nullopt;
  if (std::optional<std::vector<std::string>> notify = ourNotify(*root, setup)) {
    TomlText doc(r.text, *root);
    const toml::node& node = *root->get("notify");
    const toml::source_region& at = node.source();
    std::vector<std::string> previous = chainedArgv(*notify);
    r.notify = true;
    r.putBack = !previous.empty();
    if (previous.empty()) {
      bool last = at.end.line == doc.lineCount() && !doc.line(at.end.line - 1).ends_with("\n");
      doc.erase(at.begin.line - 1, at.end.line);
      if (last) doc.unterminateLastLine();
      r.text = doc.join();
    } else {
      // Our items in front of the user's list: from after "[" through the ", " after "--".
      const toml::array& items = *node.as_array();
      size_t from = doc.offset(at.begin) + 1,
             to = doc.offset(items.get(notify->size() - previous.size() - 1)->source().end);
      if (to < r.text.size() && r.text[to] == ',') ++to;
      if (to < r.text.size() && r.text[to] == ' ') ++to;
      r.text.erase(from, to - from);
    }
    root = TomlText::parse(r.text, setup.where);
    if (!root) return std::nullopt;
  }
  TomlText doc(r.text, *root);
  std::vector<size_t> blocks;
  if (!ourBlocks(*root, doc, setup, blocks)) return std::nullopt;
  r.hooks = !blocks.empty();
  doc.eraseBlocks(std::move(blocks));
  r.text = doc.join();
  return r;
}

Failure<Problem<EditProblem>> cannotEdit(const HookSetup& setup) {
  return refuseEdit(EditProblem::unsafeLayout,
                    setup.where + " has a layout this tool cannot edit safely; edit its hooks by hand.");
}

// The edited text must parse, hold ours exactly as wanted, and say the same as the original elsewhere.
EditResult verified(const toml::table& original, std::string text, bool installed, const HookSetup& setup) {
  auto after = TomlText::parse(text, setup.where);
  bool ok = after && (installed ? installedAsWanted(*after, setup) : !holdsOurs(*after, setup)) &&
            usersPart(*after, setup) == usersPart(original, setup);
  if (!ok) return cannotEdit(setup);
  return ConfigEdit{std::move(text), true, {}};
}

Result<toml::table, Problem<EditProblem>> editable(std::string_view text, const HookSetup& setup) {
  return TomlText::parseEditable(
      text, setup.where, [&](const toml::table& root, const TomlText& doc) { return checkHooks(root, doc, setup); });
}

// An earlier version's notify alone is not installed: it never tells that a command waits for approval,
// and switching the hook on replaces it.
bool holdsOurHook(std::string_view text, const HookSetup& setup) {
  auto root = TomlText::parse(text, {});
  return root && holdsOurs(*root, setup, false);
}

EditResult install(std::string_view text, const HookSetup& setup) {
  auto root = editable(text, setup);
  if (!root) return fail(root.error());
  const toml::node* notify = root->get("notify");
  std::optional<std::vector<std::string>> current = stringList(notify);
  if (notify && (!current || current->empty()))
    return refuseEdit(EditProblem::malformed,
                      setup.where + " has a `notify` that is not a list of strings; fix it and try again.");
  ConfigEdit edit{std::string(text), false, {eventsNote(setup.events)}};
  if (installedAsWanted(*root, setup)) return edit;

  std::optional<Removal> removal = removeOurs(text, setup);
  auto rest = removal ? TomlText::parse(removal->text, setup.where) : cannotEdit(setup);
  if (!rest) return cannotEdit(setup);
  TomlText doc(removal->text, *rest);
  for (std::string_view event : setup.events) {
    std::string table = "hooks." + std::string(event);  // our events are bare keys
    doc.appendBlock({"[[" + table + "]]", "[[" + table + ".hooks]]", "type = \"command\"",
                     "command = " + TomlText::quote(setup.shellCommand),
                     "timeout = " + std::to_string(kHookTimeoutSeconds)});
  }
  auto checked = verified(*root, doc.join(), true, setup);
  if (!checked) return checked;
  checked->notes = std::move(edit.notes);
  if (removal->notify) checked->notes.push_back("the notify hook of an earlier version was taken out");
  if (removal->putBack) checked->notes.push_back("your previous notify command was put back");
  return checked;
}

EditResult uninstall(std::string_view text, const HookSetup& setup) {
  auto root = editable(text, setup);
  if (!root) return fail(root.error());
  if (!holdsOurs(*root, setup)) return ConfigEdit{std::string(text), false, {"no glowticker hook was installed"}};
  std::optional<Removal> removal = removeOurs(text, setup);
  if (!removal) return cannotEdit(setup);
  auto edit = verified(*root, removal->text, false, setup);
  if (edit && removal->putBack) edit->notes.push_back("your previous notify command was put back");
  return edit;
}

}  // namespace

extern constinit const AgentConfig config{"codex", holdsOurHook, install, uninstall, true};

}  // namespace gt::agents::codex
