#include "cli/hook/hook_event_builder.h"

#include <nlohmann/json.hpp>

namespace gt {

namespace {

using Json = nlohmann::json;

std::string str(const Json& doc, const char* key) {
  auto it = doc.find(key);
  return it != doc.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string firstOf(std::initializer_list<std::string> texts) {
  for (const std::string& t : texts)
    if (t.find_first_not_of(" \t\r\n") != std::string::npos) return t;
  return {};
}

void fromCodex(const Json& doc, AgentEvent& ev) {
  ev.type = firstOf({str(doc, "type"), "unknown"});
  if (ev.type == "agent-turn-complete") {
    ev.state = "done";
    ev.title = "任务完成";
    ev.message = firstOf({str(doc, "last-assistant-message"), "本轮任务已完成"});
  } else {
    ev.state = "info";
    ev.title = "收到通知";
    ev.message = ev.type;
  }
}

void fromClaude(const Json& doc, AgentEvent& ev) {
  ev.type = firstOf({str(doc, "hook_event_name"), "unknown"});
  if (ev.type == "Stop" || ev.type == "SubagentStop") {
    ev.state = "done";
    ev.title = "任务完成";
    ev.message = firstOf({str(doc, "last_assistant_message"), "Claude 已完成本轮回复"});
  } else if (ev.type == "Notification") {
    ev.state = "waiting";
    ev.title = str(doc, "notification_type") == "permission_prompt" ? "需要你的授权" : "等待你的输入";
    ev.message = firstOf({str(doc, "message"), "Claude 在等你"});
  } else if (ev.type == "PermissionRequest") {
    ev.state = "waiting";
    ev.title = "需要你的授权";
    std::string tool = firstOf({str(doc, "tool_name"), "工具"});
    std::string detail;
    if (auto in = doc.find("tool_input"); in != doc.end() && in->is_object())
      detail = firstOf({str(*in, "command"), str(*in, "file_path"), str(*in, "url")});
    ev.message = "请求使用 " + tool + (detail.empty() ? "" : "：" + detail);
  } else {
    ev.state = "info";
    ev.title = "收到事件";
    ev.message = ev.type;
  }
}

void fromKimi(const Json& doc, AgentEvent& ev) {
  ev.type = firstOf({str(doc, "hook_event_name"), "unknown"});
  if (ev.type == "Stop" || ev.type == "SubagentStop") {
    ev.state = "done";
    ev.title = "任务完成";
    ev.message = firstOf({str(doc, "response"), "Kimi 已完成本轮任务"});
  } else if (ev.type == "Notification") {
    ev.state = "waiting";
    ev.title = "收到通知";
    ev.message = firstOf({str(doc, "body"), str(doc, "message"), str(doc, "title"), "Kimi 需要你的注意"});
  } else {
    ev.state = "info";
    ev.title = "收到事件";
    ev.message = ev.type;
  }
}

}  // namespace

std::string HookEventBuilder::shortText(std::string_view text, size_t maxBytes) {
  std::string out;
  bool pendingSpace = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out += c;
    if (out.size() > maxBytes + 4) break;  // enough to know it must be cut
  }
  if (out.size() <= maxBytes) return out;
  size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  out.resize(cut);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out + "…";
}

std::string HookEventBuilder::projectName(std::string_view cwd) {
  while (cwd.size() > 1 && cwd.back() == '/') cwd.remove_suffix(1);
  if (cwd == "/") return "/";
  size_t slash = cwd.rfind('/');
  return std::string(slash == std::string_view::npos ? cwd : cwd.substr(slash + 1));
}

std::optional<AgentEvent> HookEventBuilder::build(AgentID agent, std::string_view payload, std::int64_t tsMs,
                                                  std::string_view fallbackCwd) {
  Json doc = Json::parse(payload, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  AgentEvent ev;
  switch (agent) {
    case AgentID::codex:
      fromCodex(doc, ev);
      break;
    case AgentID::claude:
      fromClaude(doc, ev);
      break;
    case AgentID::kimi:
      fromKimi(doc, ev);
      break;
  }
  ev.agent = std::string(rawValue(agent));
  ev.message = shortText(ev.message);
  ev.type = shortText(ev.type, 64);
  std::string cwd = str(doc, "cwd");
  ev.project = projectName(cwd.empty() ? fallbackCwd : std::string_view(cwd));
  ev.ts = tsMs;
  return ev;
}

}  // namespace gt
