// ~/.claude/settings.json belongs to the user: an edit adds or removes our hooks and nothing else.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "cli/companion/claude_settings_editor.h"
#include "fuzz_check.h"

namespace {

using Json = nlohmann::ordered_json;
const std::string kCommand = "'/opt/gt bin/glowticker-hook' --agent claude";
const gt::HookSetup kSetup{"~/.claude/settings.json", {}, kCommand, gt::agentFromRaw("claude").value()->events};

bool isOurs(const Json& h) {
  return h.is_object() && h.contains("command") && h["command"].is_string() &&
         h["command"].get<std::string>().find(gt::kHookMarker) != std::string::npos;
}

// The user's own content: the document without our hooks, and without hook lists left empty.
Json usersPart(Json doc) {
  if (!doc.contains("hooks") || !doc["hooks"].is_object()) return doc;
  Json& hooks = doc["hooks"];
  Json kept = Json::object();
  for (auto& [event, groups] : hooks.items()) {
    if (!groups.is_array()) {
      kept[event] = groups;
      continue;
    }
    Json keptGroups = Json::array();
    for (Json g : groups) {
      if (g.is_object() && g.contains("hooks") && g["hooks"].is_array()) {
        Json list = Json::array();
        bool dropped = false;
        for (const Json& h : g["hooks"]) {
          if (isOurs(h))
            dropped = true;
          else
            list.push_back(h);
        }
        if (dropped && list.empty()) continue;
        g["hooks"] = list;
      }
      keptGroups.push_back(g);
    }
    if (!keptGroups.empty()) kept[event] = keptGroups;
  }
  if (kept.empty())
    doc.erase("hooks");
  else
    hooks = kept;
  return doc;
}

Json parse(std::string_view text) {
  if (text.find_first_not_of(" \t\r\n") == std::string_view::npos) return Json::object();
  return Json::parse(text, nullptr, /*allow_exceptions=*/false);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Json before = parse(text);

  gt::ConfigEdit in = gt::ClaudeSettingsEditor::install(text, kSetup);
  if (!in.error.empty()) {
    GT_FUZZ_CHECK(in.text.empty() && !in.changed);
  } else {
    GT_FUZZ_CHECK(before.is_object());
    if (!in.changed) GT_FUZZ_CHECK(in.text == text);
    Json after = parse(in.text);
    GT_FUZZ_CHECK(after.is_object());
    GT_FUZZ_CHECK(usersPart(after) == usersPart(before));
    for (const char* event : {"Stop", "Notification", "PermissionRequest"}) {
      int ours = 0;
      for (const Json& g : after["hooks"][event])
        for (const Json& h : g["hooks"]) ours += isOurs(h) && h["command"] == kCommand;
      GT_FUZZ_CHECK(ours == 1);
    }
    // Removing the hook again gives the user's file back.
    gt::ConfigEdit out = gt::ClaudeSettingsEditor::uninstall(in.text, kSetup);
    GT_FUZZ_CHECK(out.error.empty());
    Json restored = parse(out.text);
    GT_FUZZ_CHECK(restored.is_object() && restored == usersPart(before));
  }

  gt::ConfigEdit out = gt::ClaudeSettingsEditor::uninstall(text, kSetup);
  if (out.error.empty()) {
    Json after = parse(out.text);
    GT_FUZZ_CHECK(after.is_object() && usersPart(after) == usersPart(before));
  }
  return 0;
}
