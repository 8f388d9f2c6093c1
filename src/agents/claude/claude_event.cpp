#include "core/events/agent_event.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/agent_spec.h"

namespace gt::agents::claude {

namespace {

constexpr std::string_view kEvents[] = {"Stop", "Notification", "PermissionRequest"};
constexpr std::string_view kSessionKeys[] = {"session_id"};

void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  using payload::firstOf, payload::text;
  const std::string kind = text(doc, "notification_type");
  payload::byHookEventName(doc, ev, firstOf({text(doc, "last_assistant_message"), "Claude 已完成本轮回复"}),
                           kind == "permission_prompt" ? "需要你的授权" : "等待你的输入",
                           firstOf({text(doc, "message"), "Claude 在等你"}), payload::permissionRequest);
  // Claude repeats, in vaguer words, a permission it asked for seconds before (the PermissionRequest
  // says what it asks), and after a minute idle that it waits (the turn's reply said so): reminders,
  // which the notifier shows only when nothing of the session is still up.
  if (ev.type == "Notification" && (kind == "permission_prompt" || kind == "idle_prompt")) ev.state = "reminder";
}

}  // namespace

extern constinit const AgentSpec spec{
    "claude", ".claude/settings.json", PayloadArrival::standardInput, kEvents, toEvent, kSessionKeys};

}  // namespace gt::agents::claude
