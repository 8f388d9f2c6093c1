#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/events/agent_event.h"
#include "core/hooks/agent_id.h"

namespace gt {

// Turns one agent's hook payload (JSON) into the event record the app shows, through the agent's own
// mapping; the cutting and the project name are the same for every agent.
namespace HookEventBuilder {

// Long assistant replies are cut to this many bytes (on a character boundary) plus an ellipsis.
inline constexpr size_t kMaxMessageBytes = 240;

// Nothing when the payload is not a JSON object: a record made of guesses would only mislead.
// `fallbackCwd` names the project when the payload has no "cwd". The record's origin holds the
// agent's session id only; addSurroundings adds what the running hook sees.
std::optional<AgentEvent> build(AgentID agent, std::string_view payload, std::int64_t tsMs,
                                std::string_view fallbackCwd);

// Adds where the hook runs: its parent and their ancestors (`parent` first) and the terminal hints
// of the environment. A hint that is not UTF-8 or longer than a record carries is left out. Run by
// the agent's shared server, those are the session's that started it, so they are taken from the one
// session process of the agent working in `folder` (the hook's own) instead; when there is not exactly
// one, the origin names no terminal and says why.
void addSurroundings(EventOrigin& origin, int parent, AgentID agent, const std::string& folder);

// Whitespace runs become one space; the result is cut to `maxBytes` on a UTF-8 boundary.
std::string shortText(std::string_view text, size_t maxBytes = kMaxMessageBytes);
// The last component of a directory path ("/" stays "/").
std::string projectName(std::string_view cwd);

}  // namespace HookEventBuilder

}  // namespace gt
