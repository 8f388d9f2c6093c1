#include "cli/companion/codex_config_editor.h"

#include <algorithm>

#include "cli/companion/toml_text.h"

namespace gt {

namespace {

std::string notifyLine(const std::vector<std::string>& argv) { return "notify = " + TomlText::stringArray(argv); }

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
  std::string error;
  std::optional<toml::table> after = TomlText::parse(text, where, error);
  toml::table before = original;
  bool ok = after.has_value();
  if (ok) {
    std::optional<std::vector<std::string>> got = stringList(after->get("notify"));
    ok = expected ? got == expected : after->get("notify") == nullptr;
    before.erase("notify");
    after->erase("notify");
    ok = ok && *after == before;
  }
  if (!ok)
    return ConfigEdit::refuse(where +
                              " has a layout this tool cannot edit safely; add or remove the notify line by hand. "
                              "It was left unchanged.");
  ConfigEdit edit;
  edit.text = std::move(text);
  edit.changed = true;
  return edit;
}

}  // namespace

namespace CodexConfigEditor {

bool isOurs(const std::vector<std::string>& argv) {
  return !argv.empty() && argv[0].find(kHookMarker) != std::string::npos;
}

std::vector<std::string> chainedArgv(const std::vector<std::string>& ourArgv) {
  auto chain = std::find(ourArgv.begin(), ourArgv.end(), "--chain");
  if (chain == ourArgv.end() || chain + 1 == ourArgv.end() || *(chain + 1) != "--") return {};
  return {chain + 2, ourArgv.end()};
}

ConfigEdit install(std::string_view text, const HookSetup& setup) {
  std::string error;
  std::optional<toml::table> parsed = TomlText::parse(text, setup.where, error);
  if (!parsed) return ConfigEdit::refuse(error);
  const toml::node* notify = parsed->get("notify");
  std::optional<std::vector<std::string>> current = stringList(notify);
  if (notify && (!current || current->empty()))
    return ConfigEdit::refuse(setup.where +
                              " has a `notify` that is not a list of strings; fix it and try again. "
                              "It was left unchanged.");

  std::vector<std::string> previous;
  if (current) previous = isOurs(*current) ? chainedArgv(*current) : *current;
  std::vector<std::string> wanted = setup.argv;
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
  if (notify) {
    const toml::source_region& r = notify->source();
    doc.replace(r.begin.line - 1, r.end.line, notifyLine(wanted));
  } else {
    size_t at = topLevelInsertionPoint(doc);
    if (at == doc.lineCount()) doc.terminateLastLine();
    doc.insert(at, notifyLine(wanted));
  }
  ConfigEdit checked = verified(*parsed, doc.join(), wanted, setup.where);
  checked.notes = std::move(edit.notes);
  return checked;
}

ConfigEdit uninstall(std::string_view text, const HookSetup& setup) {
  std::string error;
  std::optional<toml::table> parsed = TomlText::parse(text, setup.where, error);
  if (!parsed) return ConfigEdit::refuse(error);
  const toml::node* notify = parsed->get("notify");
  std::optional<std::vector<std::string>> current = stringList(notify);
  if (!current || !isOurs(*current)) {
    ConfigEdit edit;
    edit.text = std::string(text);
    edit.notes.push_back("no glowticker hook was installed");
    return edit;
  }
  std::vector<std::string> previous = chainedArgv(*current);
  TomlText doc(text, *parsed);
  const toml::source_region& r = notify->source();
  if (previous.empty()) {
    doc.erase(r.begin.line - 1, r.end.line);
    return verified(*parsed, doc.join(), std::nullopt, setup.where);
  }
  doc.replace(r.begin.line - 1, r.end.line, notifyLine(previous));
  ConfigEdit edit = verified(*parsed, doc.join(), previous, setup.where);
  if (edit.error.empty()) edit.notes.push_back("your previous notify command was put back");
  return edit;
}

}  // namespace CodexConfigEditor

namespace editors {
extern constinit const AgentEditor codex{"codex", CodexConfigEditor::install, CodexConfigEditor::uninstall};
}  // namespace editors

}  // namespace gt
