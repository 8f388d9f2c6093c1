#include "core/events/agent_event.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/agent_spec.h"

namespace gt::agents::codex {

namespace {

// Codex's hooks, in claude's shape: an approval it asks for, and the end of each of the user's turns
// (none runs for the turn codex spends naming the task, unlike `notify`).
constexpr std::string_view kEvents[] = {"PermissionRequest", "Stop"};
// The hooks name the session "session_id"; `notify` (still run by hooks installed before) "thread-id".
constexpr std::string_view kSessionKeys[] = {"session_id", "thread-id"};

void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  using payload::firstOf, payload::text;
  if (doc.contains("hook_event_name")) {
    payload::byHookEventName(doc, ev, firstOf({text(doc, "last_assistant_message"), "本轮任务已完成"}), "等待你的输入",
                             firstOf({text(doc, "message"), "Codex 在等你"}), payload::permissionRequest);
    return;
  }
  ev.type = firstOf({text(doc, "type"), "unknown"});
  if (ev.type == "agent-turn-complete") {
    ev.state = "done";
    ev.title = "任务完成";
    ev.message = firstOf({text(doc, "last-assistant-message"), "本轮任务已完成"});
  } else {
    ev.state = "info";
    ev.title = "收到通知";
    ev.message = ev.type;
  }
}

}  // namespace

// The hooks pass the payload on standard input; a `notify` installed by an earlier version passes it
// as the last argument, which the hook takes first. The interactive UI runs both from `codex app-server`,
// one for all sessions, each hook in its session's folder.
extern constinit const AgentSpec spec{"codex", ".codex/config.toml", PayloadArrival::standardInput, kEvents,
                                      toEvent, kSessionKeys,         {"codex", "app-server"}};

}  // namespace gt::agents::codex
