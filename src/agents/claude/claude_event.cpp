#include "core/events/agent_event.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/agent_spec.h"

namespace gt::agents::claude {

namespace {

constexpr std::string_view kEvents[] = {"Stop", "Notification", "PermissionRequest"};

void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  using payload::firstOf, payload::text;
  payload::byHookEventName(doc, ev, firstOf({text(doc, "last_assistant_message"), "Claude 已完成本轮回复"}),
                           text(doc, "notification_type") == "permission_prompt" ? "需要你的授权" : "等待你的输入",
                           firstOf({text(doc, "message"), "Claude 在等你"}),
                           [](const nlohmann::json& doc, AgentEvent& ev) {
                             if (ev.type != "PermissionRequest") return false;
                             ev.state = "waiting";
                             ev.title = "需要你的授权";
                             std::string tool = firstOf({text(doc, "tool_name"), "工具"});
                             std::string detail;
                             if (auto in = doc.find("tool_input"); in != doc.end() && in->is_object())
                               detail = firstOf({text(*in, "command"), text(*in, "file_path"), text(*in, "url")});
                             ev.message = "请求使用 " + tool + (detail.empty() ? "" : "：" + detail);
                             return true;
                           });
}

}  // namespace

extern constinit const AgentSpec spec{
    "claude", ".claude/settings.json", PayloadArrival::standardInput, kEvents, toEvent, "session_id"};

}  // namespace gt::agents::claude
