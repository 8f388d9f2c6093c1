#include "cli/companion/claude_settings_editor.h"

#include <nlohmann/json.hpp>

namespace gt {

namespace {

using Json = nlohmann::ordered_json;

constexpr int kHookTimeoutSeconds = 10;

bool isOurs(const Json& hook) {
  if (!hook.is_object()) return false;
  auto it = hook.find("command");
  return it != hook.end() && it->is_string() && it->get<std::string>().find(kHookMarker) != std::string::npos;
}

// Drops our command hooks everywhere under "hooks", then groups and events left empty by that.
// Returns how many hooks were dropped.
int removeOurs(Json& hooks) {
  int removed = 0;
  std::vector<std::string> emptiedEvents;
  for (auto& [event, groups] : hooks.items()) {
    if (!groups.is_array()) continue;
    bool touched = false;
    for (auto g = groups.begin(); g != groups.end();) {
      if (!g->is_object() || !g->contains("hooks") || !(*g)["hooks"].is_array()) {
        ++g;
        continue;
      }
      Json& list = (*g)["hooks"];
      size_t before = list.size();
      for (auto h = list.begin(); h != list.end();) h = isOurs(*h) ? list.erase(h) : h + 1;
      size_t dropped = before - list.size();
      removed += static_cast<int>(dropped);
      touched = touched || dropped > 0;
      g = (dropped > 0 && list.empty()) ? groups.erase(g) : g + 1;
    }
    if (touched && groups.empty()) emptiedEvents.push_back(event);
  }
  for (const std::string& e : emptiedEvents) hooks.erase(e);
  return removed;
}

// Keeps the file's own indentation so a re-written file differs only where we changed it.
std::string serialize(const Json& doc, std::string_view original) {
  int indent = 2;
  char indentChar = ' ';
  if (size_t nl = original.find('\n'); nl != std::string_view::npos && nl + 1 < original.size()) {
    size_t i = nl + 1;
    if (original[i] == '\t') {
      indentChar = '\t';
      indent = 1;
    } else {
      size_t n = 0;
      while (i + n < original.size() && original[i + n] == ' ') ++n;
      if (n > 0 && n <= 8) indent = static_cast<int>(n);
    }
  }
  return doc.dump(indent, indentChar, false, Json::error_handler_t::strict) + "\n";
}

std::optional<Json> parseSettings(std::string_view text, const std::string& where, std::string& error) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return Json::object();
  Json doc = Json::parse(text, nullptr, false);
  if (doc.is_discarded()) {
    error = where + " is not valid JSON; fix it (or move it aside) and try again. It was left unchanged.";
    return std::nullopt;
  }
  if (!doc.is_object()) {
    error = where + " does not hold a JSON object; fix it and try again. It was left unchanged.";
    return std::nullopt;
  }
  if (doc.contains("hooks") && !doc["hooks"].is_object()) {
    error = std::string("\"hooks\" in ") + where +
            " is not a JSON object, so hooks cannot be added to it; fix it and try again. It was left unchanged.";
    return std::nullopt;
  }
  return doc;
}

}  // namespace

namespace ClaudeSettingsEditor {

ConfigEdit install(std::string_view text, const HookSetup& setup) {
  std::string error;
  std::optional<Json> parsed = parseSettings(text, setup.where, error);
  if (!parsed) return ConfigEdit::refuse(error);
  const Json original = *parsed;
  Json doc = *parsed;
  for (std::string_view eventName : setup.events) {
    std::string event(eventName);
    if (doc.contains("hooks") && doc["hooks"].contains(event) && !doc["hooks"][event].is_array())
      return ConfigEdit::refuse(std::string("\"hooks\".\"") + event + "\" in " + setup.where +
                                " is not a list; fix it and try again. It was left unchanged.");
  }
  if (!doc.contains("hooks")) doc["hooks"] = Json::object();
  Json& hooks = doc["hooks"];
  removeOurs(hooks);
  for (std::string_view eventName : setup.events) {
    std::string event(eventName);
    Json group = Json::object();
    group["matcher"] = "";
    Json hook = Json::object();
    hook["type"] = "command";
    hook["command"] = setup.shellCommand;
    hook["timeout"] = kHookTimeoutSeconds;
    group["hooks"] = Json::array({hook});
    if (!hooks.contains(event)) hooks[event] = Json::array();
    hooks[event].push_back(std::move(group));
  }
  ConfigEdit edit;
  edit.changed = doc != original;
  edit.text = edit.changed ? serialize(doc, text) : std::string(text);
  edit.notes.push_back(eventsNote(setup.events));
  return edit;
}

ConfigEdit uninstall(std::string_view text, const HookSetup& setup) {
  std::string error;
  std::optional<Json> parsed = parseSettings(text, setup.where, error);
  if (!parsed) return ConfigEdit::refuse(error);
  Json doc = std::move(*parsed);
  ConfigEdit edit;
  edit.text = std::string(text);
  if (!doc.contains("hooks") || removeOurs(doc["hooks"]) == 0) {
    edit.notes.push_back("no glowticker hook was installed");
    return edit;
  }
  if (doc["hooks"].empty()) doc.erase("hooks");
  edit.changed = true;
  edit.text = serialize(doc, text);
  return edit;
}

}  // namespace ClaudeSettingsEditor

namespace editors {
extern constinit const AgentEditor claude{"claude", ClaudeSettingsEditor::install, ClaudeSettingsEditor::uninstall};
}  // namespace editors

}  // namespace gt
