#include "cli/hook/hook_event_builder.h"

#include <nlohmann/json.hpp>

#include "core/hooks/agent_payload.h"

namespace gt {

namespace HookEventBuilder {

std::string shortText(std::string_view text, size_t maxBytes) {
  std::string out;
  bool pendingSpace = false;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      pendingSpace = !out.empty();
      continue;
    }
    if (pendingSpace) out += ' ';
    pendingSpace = false;
    out += c;
    if (out.size() > maxBytes + 4) break;  // enough to know it must be cut
  }
  if (out.size() <= maxBytes) return out;
  size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // not inside a character
  out.resize(cut);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out + "…";
}

std::string projectName(std::string_view cwd) {
  while (cwd.size() > 1 && cwd.back() == '/') cwd.remove_suffix(1);
  if (cwd == "/") return "/";
  size_t slash = cwd.rfind('/');
  return std::string(slash == std::string_view::npos ? cwd : cwd.substr(slash + 1));
}

std::optional<AgentEvent> build(AgentID agent, std::string_view payload, std::int64_t tsMs,
                                std::string_view fallbackCwd) {
  nlohmann::json doc = nlohmann::json::parse(payload, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  AgentEvent ev;
  agent->toEvent(doc, ev);
  ev.agent = std::string(rawValue(agent));
  ev.message = shortText(ev.message);
  ev.type = shortText(ev.type, 64);
  std::string cwd = gt::payload::text(doc, "cwd");
  ev.project = projectName(cwd.empty() ? fallbackCwd : std::string_view(cwd));
  ev.ts = tsMs;
  return ev;
}

}  // namespace HookEventBuilder

}  // namespace gt
