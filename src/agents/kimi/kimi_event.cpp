#include "core/events/agent_event.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/agent_spec.h"

namespace gt::agents::kimi {

namespace {

constexpr std::string_view kEvents[] = {"Stop", "Notification"};
constexpr std::string_view kSessionKeys[] = {"session_id"};

void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  using payload::firstOf, payload::text;
  payload::byHookEventName(doc, ev, firstOf({text(doc, "response"), "Kimi 已完成本轮任务"}), "收到通知",
                           firstOf({text(doc, "body"), text(doc, "message"), text(doc, "title"), "Kimi 需要你的注意"}),
                           [](const nlohmann::json&, AgentEvent&) { return false; });
}

}  // namespace

extern constinit const AgentSpec spec{
    "kimi", ".kimi-code/config.toml", PayloadArrival::standardInput, kEvents, toEvent, kSessionKeys};

}  // namespace gt::agents::kimi
