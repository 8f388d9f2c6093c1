// The hook sender turns whatever payload an agent hands it into one event record, for every agent. The
// input is the payload itself; the seeds are what the real agents send (also the hook tests' data).
#include <nlohmann/json.hpp>

#include "cli/hook/hook_event_builder.h"
#include "core/events/agent_event.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string payload(reinterpret_cast<const char*>(data), size);
  const auto doc = nlohmann::json::parse(payload, nullptr, /*allow_exceptions=*/false);
  const auto ts = static_cast<std::int64_t>(size) - 7;
  for (gt::AgentID agent : gt::allAgents()) {
    auto ev = gt::HookEventBuilder::build(agent, payload, ts, "/home/u/src/fallback");
    assert(ev.has_value() == doc.is_object());
    if (!ev) continue;
    assert(ev->agent == gt::rawValue(agent) && ev->ts == ts);
    assert(!ev->type.empty() && !ev->state.empty() && !ev->title.empty());
    assert(ev->message.size() <= gt::HookEventBuilder::kMaxMessageBytes + 3 &&
                  ev->type.size() <= 64 + 3);  // + "…"
    assert(ev->project.find('/') == std::string::npos || ev->project == "/");
    // The record goes over the socket as one line that the app decodes to the same record: the parser took
    // only UTF-8 text, and a cut never splits a character.
    std::string line = gt::encodeAgentEvent(*ev);
    auto back = gt::decodeAgentEvent(line);
    assert(line.find('\n') == std::string::npos && back && *back == *ev);
  }
  return 0;
}
