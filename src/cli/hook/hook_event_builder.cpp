#include "cli/hook/hook_event_builder.h"

#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/common/process_tree.h"
#include "core/common/utf8.h"
#include "core/hooks/agent_payload.h"

extern char** environ;

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

namespace {

// `text` when a record can carry it as an origin member, else "".
std::string hint(std::string_view text) {
  return text.size() <= EventOrigin::kMaxText && isValidUtf8(text) ? std::string(text) : std::string();
}

std::string envHint(const char* name) {
  const char* value = std::getenv(name);
  return value ? hint(value) : std::string();
}

}  // namespace

void addSurroundings(EventOrigin& origin, int parent) {
  origin.pids = processChain(parent, EventOrigin::kMaxPids);
  origin.tmux = envHint("TMUX");
  origin.tmuxPane = envHint("TMUX_PANE");
  origin.windowId = envHint("WINDOWID");
  origin.termProgram = envHint("TERM_PROGRAM");
  origin.kittyWindowId = envHint("KITTY_WINDOW_ID");
  origin.weztermPane = envHint("WEZTERM_PANE");
  // VS Code's integrated terminal sets TERM_PROGRAM, and its shell integration VSCODE_* variables.
  origin.vscode = origin.termProgram == "vscode";
  for (char** e = environ; e && *e && !origin.vscode; ++e) origin.vscode = std::strncmp(*e, "VSCODE_", 7) == 0;
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
  std::string session;
  for (std::string_view key : agent->sessionKeys)
    if (session.empty()) session = gt::payload::text(doc, std::string(key).c_str());
  ev.origin.emplace().session = hint(session);
  return ev;
}

}  // namespace HookEventBuilder

}  // namespace gt
