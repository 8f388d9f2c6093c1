// ~/.claude/settings.json: one command hook per subscribed event inside the top-level "hooks" object
// ("hooks" → event → [ { "matcher", "hooks": [ { "type", "command", "timeout" } ] } ]), every other key
// kept in its order and every other byte as it was.
#include "core/hooks/agent_config.h"
#include "core/hooks/hook_identity.h"
#include "core/hooks/json_text.h"

namespace gt::agents::claude {

namespace {

constexpr int kHookTimeoutSeconds = 10;

// Parses the settings; blank text (a missing file) stands for an empty object.
Result<JsonDocument, Problem<EditProblem>> parseSettings(std::string& text, const HookSetup& setup) {
  auto malformed = [](const std::string& what) { return refuseEdit(EditProblem::malformed, what); };
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) text = "{}\n";
  auto doc = parseJsonDocument(text);
  if (!doc)
    return malformed(setup.where + " is not valid JSON (" + doc.error().detail +
                     "); fix it (or move it aside) and try again.");
  if (!doc->root.isObject()) return malformed(setup.where + " does not hold a JSON object; fix it and try again.");
  const Json::Value& root = doc->root;
  const Json::Value& hooks = root["hooks"];
  if (!hooks.isNull() && !hooks.isObject())
    return malformed(std::string("\"hooks\" in ") + setup.where +
                     " is not a JSON object, so hooks cannot be added to it; fix it and try again.");
  for (std::string_view event : setup.events) {
    const Json::Value& groups = hooks[std::string(event)];
    if (!groups.isNull() && !groups.isArray())
      return malformed("\"hooks\".\"" + std::string(event) + "\" in " + setup.where +
                       " is not a list; fix it and try again.");
  }
  return std::move(*doc);
}

bool isOurs(const HookSetup& setup, std::string_view event, const Json::Value& hook) {
  return hook.isObject() && hook["command"].isString() &&
         hook_identity::isOurEntry(setup.agent, setup.events, event, hook["command"].asString());
}

// Removes the first of our hooks, with the group, event list and "hooks" object it leaves empty.
// Returns false when there is none.
bool removeOne(std::string& text, const HookSetup& setup) {
  auto doc = parseJsonDocument(text);
  if (!doc || !doc->root.isObject()) return false;
  const Json::Value& root = doc->root;
  const Json::Value& hooksObject = root["hooks"];
  if (!hooksObject.isObject()) return false;
  for (std::string_view event : setup.events) {
    const Json::Value& groups = hooksObject[std::string(event)];
    if (!groups.isArray()) continue;
    for (const Json::Value& group : groups) {
      if (!group.isObject() || !group["hooks"].isArray()) continue;
      for (const Json::Value& hook : group["hooks"]) {
        if (!isOurs(setup, event, hook)) continue;
        // Widen the cut one container at a time while ours is all that container holds.
        size_t b = json_text::begin(*doc, hook), e = json_text::end(*doc, hook);
        // An item glued to its container's bracket went into a container that was there before.
        const Json::Value* levels[] = {&group, &groups, &hooksObject};
        for (const Json::Value* container : levels) {
          if (!json_text::alone(text, b, e) || (container != &group && json_text::glued(text, b))) break;
          b = json_text::begin(*doc, *container);
          e = json_text::end(*doc, *container);
          if (container != &group) b = json_text::memberBegin(text, b);
        }
        std::pair<size_t, size_t> span = json_text::removalSpan(text, b, e);
        text.erase(span.first, span.second - span.first);
        return true;
      }
    }
  }
  return false;
}

std::string groupText(const json_text::Layout& l, const std::string& indent, const std::string& command) {
  std::string in1 = indent + l.unit, in2 = in1 + l.unit, in3 = in2 + l.unit;
  return "{" + l.eol + in1 + "\"matcher\": \"\"," + l.eol + in1 + "\"hooks\": [" + l.eol + in2 + "{" + l.eol + in3 +
         "\"type\": \"command\"," + l.eol + in3 + "\"command\": " + json_text::quote(command) + "," + l.eol + in3 +
         "\"timeout\": " + std::to_string(kHookTimeoutSeconds) + l.eol + in2 + "}" + l.eol + in1 + "]" + l.eol +
         indent + "}";
}

// Adds one group with our hook under `event`, creating the event list and "hooks" object as needed.
void addOne(std::string& text, std::string_view event, const std::string& command, bool fresh) {
  auto parsed = parseJsonDocument(text);
  if (!parsed) return;  // left to the check of the result
  const JsonDocument& doc = *parsed;
  json_text::Layout layout = json_text::layoutOf(text);
  auto group = [&](const std::string& indent) { return groupText(layout, indent, command); };
  auto eventMember = [&](const std::string& indent) {
    return json_text::quote(event) + ": [" + layout.eol + indent + layout.unit + group(indent + layout.unit) +
           layout.eol + indent + "]";
  };
  const Json::Value& hooks = doc.root["hooks"];
  if (!hooks.isObject())
    text = json_text::appended(
        text, doc, doc.root, layout,
        [&](const std::string& indent) {
          return "\"hooks\": {" + layout.eol + indent + layout.unit + eventMember(indent + layout.unit) + layout.eol +
                 indent + "}";
        },
        !fresh);
  else if (!hooks[std::string(event)].isArray())
    text = json_text::appended(text, doc, hooks, layout, eventMember);
  else
    text = json_text::appended(text, doc, hooks[std::string(event)], layout, group);
}

// The settings without our hooks and the groups that held only them; empty lists of our events and
// an empty "hooks" object, which mean nothing to the agent, are left out too.
Json::Value usersPart(Json::Value root, const HookSetup& setup) {
  if (!root.isMember("hooks") || !root["hooks"].isObject()) return root;
  Json::Value& hooks = root["hooks"];
  for (std::string_view event : setup.events) {
    if (!hooks.isMember(std::string(event)) || !hooks[std::string(event)].isArray()) continue;
    Json::Value& groups = hooks[std::string(event)];
    Json::Value kept(Json::arrayValue);
    for (const Json::Value& group : groups) {
      if (!group.isObject() || !group["hooks"].isArray()) {
        kept.append(group);
        continue;
      }
      Json::Value keptGroup = group;
      Json::Value list(Json::arrayValue);
      for (const Json::Value& hook : group["hooks"]) {
        if (!isOurs(setup, event, hook)) list.append(hook);
      }
      if (list.empty() && !group["hooks"].empty()) continue;
      keptGroup["hooks"] = list;
      kept.append(keptGroup);
    }
    if (kept.empty())
      hooks.removeMember(std::string(event));
    else
      groups = kept;
  }
  if (hooks.empty()) root.removeMember("hooks");
  return root;
}

bool holdsOurs(const Json::Value& root, const HookSetup& setup);

// The edited text must parse, show our hook exactly when it should, and say the same elsewhere.
EditResult verified(std::string_view original, std::string text, bool ours, const HookSetup& setup) {
  auto before = parseJsonDocument(original);
  auto after = parseJsonDocument(text);
  Json::Value users = before ? usersPart(before->root, setup) : Json::Value(Json::objectValue);
  if (!after || usersPart(after->root, setup) != users || holdsOurs(after->root, setup) != ours)
    return refuseEdit(EditProblem::unsafeLayout,
                      setup.where + " has a layout this tool cannot edit safely; edit its hooks by hand.");
  const bool changed = text != original;
  return ConfigEdit{std::move(text), changed, {}};
}

// Per event, how many of our hooks the settings hold, and how many of them run `command`.
std::vector<std::pair<int, int>> ourHooks(const Json::Value& root, const HookSetup& setup, const std::string& command) {
  std::vector<std::pair<int, int>> counts;
  const Json::Value& hooks = root["hooks"];
  for (std::string_view event : setup.events) {
    auto& [ours, running] = counts.emplace_back(0, 0);
    const Json::Value& groups = hooks.isObject() ? hooks[std::string(event)] : Json::Value::nullSingleton();
    for (const Json::Value& group : groups.isArray() ? groups : Json::Value::nullSingleton())
      if (group.isObject() && group["hooks"].isArray())
        for (const Json::Value& hook : group["hooks"])
          if (isOurs(setup, event, hook)) ++ours, running += hook["command"].asString() == command;
  }
  return counts;
}

// Our hook exactly once under each event, running this command: an install has nothing to do and
// leaves our entries where they are.
bool installedAsWanted(const Json::Value& root, const HookSetup& setup) {
  for (auto [ours, running] : ourHooks(root, setup, setup.shellCommand))
    if (ours != 1 || running != 1) return false;
  return true;
}

bool holdsOurs(const Json::Value& root, const HookSetup& setup) {
  for (auto [ours, running] : ourHooks(root, setup, {}))
    if (ours > 0) return true;
  return false;
}

bool holdsOurHook(std::string_view text, const HookSetup& setup) {
  auto doc = parseJsonDocument(text);
  return doc && doc->root.isObject() && holdsOurs(doc->root, setup);
}

EditResult install(std::string_view original, const HookSetup& setup) {
  std::string text(original);
  auto doc = parseSettings(text, setup);
  if (!doc) return fail(doc.error());
  if (installedAsWanted(doc->root, setup)) return ConfigEdit{std::string(original), false, {eventsNote(setup.events)}};
  while (removeOne(text, setup)) {
  }
  bool fresh = original.find_first_not_of(" \t\r\n") == std::string_view::npos;
  for (std::string_view event : setup.events) addOne(text, event, setup.shellCommand, fresh);
  auto edit = verified(original, std::move(text), true, setup);
  if (edit) edit->notes.push_back(eventsNote(setup.events));
  return edit;
}

EditResult uninstall(std::string_view original, const HookSetup& setup) {
  std::string text(original);
  if (original.find_first_not_of(" \t\r\n") != std::string_view::npos)
    if (auto doc = parseSettings(text, setup); !doc) return fail(doc.error());
  bool removed = false;
  while (removeOne(text, setup)) removed = true;
  if (!removed) return ConfigEdit{std::string(original), false, {"no glowticker hook was installed"}};
  return verified(original, std::move(text), false, setup);
}

}  // namespace

extern constinit const AgentConfig config{"claude", holdsOurHook, install, uninstall};

}  // namespace gt::agents::claude
