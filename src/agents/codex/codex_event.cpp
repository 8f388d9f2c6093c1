#include "core/events/agent_event.h"
#include "core/hooks/agent_payload.h"
#include "core/hooks/agent_spec.h"

namespace gt::agents::codex {

namespace {

void toEvent(const nlohmann::json& doc, AgentEvent& ev) {
  ev.type = payload::firstOf({payload::text(doc, "type"), "unknown"});
  if (ev.type == "agent-turn-complete") {
    ev.state = "done";
    ev.title = "任务完成";
    ev.message = payload::firstOf({payload::text(doc, "last-assistant-message"), "本轮任务已完成"});
  } else {
    ev.state = "info";
    ev.title = "收到通知";
    ev.message = ev.type;
  }
}

}  // namespace

// Codex runs one `notify` command with the payload as its last argument.
extern constinit const AgentSpec spec{"codex", ".codex/config.toml", PayloadArrival::lastArgument, {},
                                      toEvent, "thread-id"};

}  // namespace gt::agents::codex
