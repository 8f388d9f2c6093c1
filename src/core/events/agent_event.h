#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gt {

// One record an agent hook sends over the event socket, one JSON object per line.
struct AgentEvent {
  std::string type;
  std::string agent;
  std::string state;
  std::string title;
  std::string message;
  std::string project;
  std::int64_t ts = 0;

  bool operator==(const AgentEvent&) const = default;
};

// Strict decoding: one JSON object, all seven keys with exact case and JSON types, `ts` an integral
// number within int64; other keys ignored. Never yields a partial record. On failure `error`, when
// given, receives a short reason.
std::optional<AgentEvent> decodeAgentEvent(std::string_view json, std::string* error = nullptr);

// Compact JSON object, keys in field order, no trailing line feed.
std::string encodeAgentEvent(const AgentEvent& event);

}  // namespace gt
