// ~/.codex/config.toml: the top-level `notify` argv. A `notify` the user already had keeps working:
// our hook runs it after sending its event (its argv follows "--chain" "--"), and uninstall puts it back.
#include <algorithm>

#include "core/hooks/agent_config.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/toml_text.h"

namespace gt::agents::codex {

namespace {

std::string notifyLine(const std::vector<std::string>& argv) { return "notify = " + TomlText::stringArray(argv); }

// Our argv as the first items of the user's own notify list: "hook", "--agent", "codex", "--chain", "--", .
std::string chainPrefix(const std::vector<std::string>& hookArgv) {
  std::string out;
  for (const std::string& word : hookArgv) out += TomlText::quote(word) + ", ";
  return out + "\"--chain\", \"--\", ";
}

// The bytes of our items in front of a chained notify: from after "[" through the ", " after "--".
// Cutting exactly them gives back the user's list as it was written, comments and line breaks included.
std::pair<size_t, size_t> prefixSpan(std::string_view text, const TomlText& doc, const toml::array& notify,
                                     const std::vector<std::string>& argv) {
  size_t dashes = 0;
  for (size_t i = 0; i + 1 < argv.size(); ++i)
    if (argv[i] == "--chain" && argv[i + 1] == "--") {
      dashes = i + 1;
      break;
    }
  size_t from = doc.offset(notify.source().begin) + 1;
  size_t to = doc.offset(notify.get(dashes)->source().end);
  if (to < text.size() && text[to] == ',') ++to;
  if (to < text.size() && text[to] == ' ') ++to;
  return {from, to};
}

// Where a new top-level key goes: right after the last line of the top-level key/value block, which
// ends at the first table header (a key written after a header would belong to that table).
size_t topLevelInsertionPoint(const TomlText& doc) {
  size_t header = doc.firstHeaderOr(doc.lineCount());
  for (size_t i = header; i > 0; --i)
    if (!doc.blank(i - 1) && !doc.comment(i - 1)) return i;
  return 0;
}

// The edited text must parse, carry exactly `expected` as its notify, and match the original elsewhere.
ConfigEdit verified(const toml::table& original, std::string text,
                    const std::optional<std::vector<std::string>>& expected, const std::string& where) {
  auto wanted = [&](const toml::node* notify) { return expected ? stringList(notify) == expected : notify == nullptr; };
  return verifiedTomlEdit(original, std::move(text), "notify", wanted, where, "add or remove the notify line by hand.");
}

// The user's own notify argv carried by one of ours, if any.
std::vector<std::string> chainedArgv(const std::vector<std::string>& ourArgv) {
  auto chain = std::find(ourArgv.begin(), ourArgv.end(), "--chain");
  if (chain == ourArgv.end() || chain + 1 == ourArgv.end() || *(chain + 1) != "--") return {};
  return {chain + 2, ourArgv.end()};
}

bool holdsOurHook(std::string_view text, const HookSetup& setup) {
  std::string error;
  std::optional<toml::table> root = TomlText::parse(text, {}, error);
  std::optional<std::vector<std::string>> notify = stringList(root ? root->get("notify") : nullptr);
  return notify && hook_identity::isOurArgv(setup.agent, *notify);
}

ConfigEdit install(std::string_view text, const HookSetup& setup) {
  const std::vector<std::string>& hookArgv = setup.argv;
  const std::string& where = setup.where;
  auto isOurs = [&](const std::vector<std::string>& argv) { return hook_identity::isOurArgv(setup.agent, argv); };
  std::string error;
  std::optional<toml::table> parsed = TomlText::parse(text, where, error);
  if (!parsed) return ConfigEdit::refuse(error);
  const toml::node* notify = parsed->get("notify");
  std::optional<std::vector<std::string>> current = stringList(notify);
  if (notify && (!current || current->empty()))
    return ConfigEdit::refuse(where +
                              " has a `notify` that is not a list of strings; fix it and try again. "
                              "It was left unchanged.");

  std::vector<std::string> previous;
  if (current) previous = isOurs(*current) ? chainedArgv(*current) : *current;
  bool chained = current && isOurs(*current) && !previous.empty();
  std::vector<std::string> wanted = hookArgv;
  if (!previous.empty()) {
    wanted.push_back("--chain");
    wanted.push_back("--");
    wanted.insert(wanted.end(), previous.begin(), previous.end());
  }

  ConfigEdit edit;
  if (!previous.empty()) edit.notes.push_back("your previous notify command still runs after the hook");
  if (current == wanted) {
    edit.text = std::string(text);
    return edit;
  }
  TomlText doc(text, *parsed);
  if (current && !previous.empty()) {
    // Our items go in front of the user's list, which stays as they wrote it.
    std::pair<size_t, size_t> span{doc.offset(notify->source().begin) + 1, 0};
    if (chained) span = prefixSpan(text, doc, *notify->as_array(), *current);
    std::string edited(text);
    edited.replace(span.first, chained ? span.second - span.first : 0, chainPrefix(hookArgv));
    ConfigEdit checked = verified(*parsed, std::move(edited), wanted, where);
    checked.notes = std::move(edit.notes);
    return checked;
  }
  if (notify) {
    const toml::source_region& r = notify->source();
    doc.replace(r.begin.line - 1, r.end.line, notifyLine(wanted));
  } else {
    size_t at = topLevelInsertionPoint(doc);
    bool unterminated = at == doc.lineCount() && at > 0 && !doc.line(at - 1).ends_with("\n");
    if (unterminated) doc.terminateLastLine();
    doc.insert(at, notifyLine(wanted));
    if (unterminated) doc.unterminateLastLine();  // the file keeps ending without a line break
  }
  ConfigEdit checked = verified(*parsed, doc.join(), wanted, where);
  checked.notes = std::move(edit.notes);
  return checked;
}

ConfigEdit uninstall(std::string_view text, const HookSetup& setup) {
  const std::string& where = setup.where;
  std::string error;
  std::optional<toml::table> parsed = TomlText::parse(text, where, error);
  if (!parsed) return ConfigEdit::refuse(error);
  const toml::node* notify = parsed->get("notify");
  std::optional<std::vector<std::string>> current = stringList(notify);
  if (!current || !hook_identity::isOurArgv(setup.agent, *current)) {
    ConfigEdit edit;
    edit.text = std::string(text);
    edit.notes.push_back("no glowticker hook was installed");
    return edit;
  }
  std::vector<std::string> previous = chainedArgv(*current);
  TomlText doc(text, *parsed);
  const toml::source_region& r = notify->source();
  if (previous.empty()) {
    bool last = r.end.line == doc.lineCount() && !doc.line(r.end.line - 1).ends_with("\n");
    doc.erase(r.begin.line - 1, r.end.line);
    if (last) doc.unterminateLastLine();
    return verified(*parsed, doc.join(), std::nullopt, where);
  }
  std::pair<size_t, size_t> span = prefixSpan(text, doc, *notify->as_array(), *current);
  std::string edited(text);
  edited.erase(span.first, span.second - span.first);
  ConfigEdit edit = verified(*parsed, std::move(edited), previous, where);
  if (edit.error.empty()) edit.notes.push_back("your previous notify command was put back");
  return edit;
}

}  // namespace

extern constinit const AgentConfig config{"codex", holdsOurHook, install, uninstall};

}  // namespace gt::agents::codex
