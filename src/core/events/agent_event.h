#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/common/result.h"

namespace gt {

// Where an event came from, as the hook sender saw it. Optional on the wire ("origin"): records
// without it are handled exactly as before. Empty strings mean "not known".
struct EventOrigin {
  static constexpr std::size_t kMaxText = 256;  // bytes in any one text member
  static constexpr std::size_t kMaxPids = 16;
  std::string session;             // the agent's own session id
  std::vector<std::int64_t> pids;  // the hook's ancestors, nearest first, at most 16
  std::string tmux;                // $TMUX
  std::string tmuxPane;            // $TMUX_PANE
  std::string windowId;            // $WINDOWID
  std::string termProgram;         // $TERM_PROGRAM
  std::string kittyWindowId;       // $KITTY_WINDOW_ID
  std::string weztermPane;         // $WEZTERM_PANE
  bool vscode = false;             // runs in a VS Code terminal
  // Why the hook could not tell where the agent runs; the members above then name no terminal.
  std::string unknown;

  bool operator==(const EventOrigin&) const = default;
};

// One record an agent hook sends over the event socket, one JSON object per line.
struct AgentEvent {
  std::string type;
  std::string agent;
  std::string state;
  std::string title;
  std::string message;
  std::string project;
  std::int64_t ts = 0;
  std::optional<EventOrigin> origin = std::nullopt;  // a default, so seven-field initializers stay quiet

  bool operator==(const AgentEvent&) const = default;
};

// Strict decoding: one JSON object, all seven keys with exact case and JSON types, `ts` an integral
// number within int64; other keys ignored. Never yields a partial record; a refusal's detail is a short
// reason. "origin" is read leniently: when it is not an object, or a member it knows has the wrong type,
// a text over 256 bytes or more than 16 pids (each 1..2^31-1), the record still decodes, with no origin.
// Its unknown members are ignored.
enum class RecordProblem { notJsonObject, missingKey, badValue };
Result<AgentEvent, Problem<RecordProblem>> decodeAgentEvent(std::string_view json);

// Compact JSON object, keys in field order, no trailing line feed; "origin" only when set, with its
// empty members left out.
std::string encodeAgentEvent(const AgentEvent& event);

}  // namespace gt
