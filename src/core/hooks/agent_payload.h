#pragma once
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>

#include "core/events/agent_event.h"

// Small readers the agents' payload mappers share.
namespace gt::payload {

// The string at `key`, or "" when it is missing or not a string.
inline std::string text(const nlohmann::json& doc, const char* key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The first text that holds more than whitespace.
inline std::string firstOf(std::initializer_list<std::string> texts) {
  for (const std::string& t : texts)
    if (t.find_first_not_of(" \t\r\n") != std::string::npos) return t;
  return {};
}

// A PermissionRequest (claude's and codex's hooks alike) waits for the user and says what is asked:
// "请求使用 Bash：<command>". For byHookEventName's `other`; false for any other event.
inline bool permissionRequest(const nlohmann::json& doc, AgentEvent& ev) {
  if (ev.type != "PermissionRequest") return false;
  ev.state = "waiting";
  ev.title = "需要你的授权";
  std::string tool = firstOf({text(doc, "tool_name"), "工具"});
  std::string detail;
  if (auto in = doc.find("tool_input"); in != doc.end() && in->is_object())
    detail = firstOf({text(*in, "command"), text(*in, "file_path"), text(*in, "url")});
  ev.message = "请求使用 " + tool + (detail.empty() ? "" : "：" + detail);
  return true;
}

// For agents whose payload names its hook event: a Stop (or SubagentStop) ends a turn, a Notification
// waits for the user, and any other event is shown as information unless `other` maps it (true when it did).
template <class Other>
void byHookEventName(const nlohmann::json& doc, AgentEvent& ev, std::string doneMessage, std::string waitingTitle,
                     std::string waitingMessage, Other other) {
  ev.type = firstOf({text(doc, "hook_event_name"), "unknown"});
  if (ev.type == "Stop" || ev.type == "SubagentStop") {
    ev.state = "done";
    ev.title = "任务完成";
    ev.message = std::move(doneMessage);
  } else if (ev.type == "Notification") {
    ev.state = "waiting";
    ev.title = std::move(waitingTitle);
    ev.message = std::move(waitingMessage);
  } else if (!other(doc, ev)) {
    ev.state = "info";
    ev.title = "收到事件";
    ev.message = ev.type;
  }
}

}  // namespace gt::payload
