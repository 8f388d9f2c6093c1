#include "core/events/agent_event.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/agent_spec.h"

namespace gt::agents::claude {

namespace {

constexpr std::string_view kEvents[] = {"Stop", "Notification", "PermissionRequest"};
constexpr std::string_view kSessionKeys[] = {"session_id"};

void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  using payload::firstOf, payload::text;
  payload::byHookEventName(doc, ev, firstOf({text(doc, "last_assistant_message"), "Claude 已完成本轮回复"}),
                           text(doc, "notification_type") == "permission_prompt" ? "需要你的授权" : "等待你的输入",
                           firstOf({text(doc, "message"), "Claude 在等你"}), payload::permissionRequest);
}

}  // namespace

extern constinit const AgentSpec spec{
    "claude", ".claude/settings.json", PayloadArrival::standardInput, kEvents, toEvent, kSessionKeys};

}  // namespace gt::agents::claude
