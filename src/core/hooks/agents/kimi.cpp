#include "core/events/agent_event.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/agent_spec.h"

namespace gt::agents {

namespace {

constexpr std::string_view kEvents[] = {"Stop", "Notification"};

void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  using payload::firstOf, payload::text;
  ev.type = firstOf({text(doc, "hook_event_name"), "unknown"});
  if (ev.type == "Stop" || ev.type == "SubagentStop") {
    ev.state = "done";
    ev.title = "任务完成";
    ev.message = firstOf({text(doc, "response"), "Kimi 已完成本轮任务"});
  } else if (ev.type == "Notification") {
    ev.state = "waiting";
    ev.title = "收到通知";
    ev.message = firstOf({text(doc, "body"), text(doc, "message"), text(doc, "title"), "Kimi 需要你的注意"});
  } else {
    ev.state = "info";
    ev.title = "收到事件";
    ev.message = ev.type;
  }
}

}  // namespace

extern constinit const AgentSpec kimi{"kimi", ".kimi-code/config.toml", PayloadArrival::standardInput, kEvents, toEvent};

}  // namespace gt::agents
