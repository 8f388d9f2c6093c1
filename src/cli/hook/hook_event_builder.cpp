#include "cli/hook/hook_event_builder.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

#include "core/common/file_io.h"
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

std::string procText(long pid, const char* what, std::size_t max) {
  auto read = readFileBounded("/proc/" + std::to_string(pid) + "/" + what, max);
  return read ? read->text : std::string();
}

// The process's name, and whether it runs `server`: its first argument is the server's.
bool runs(long pid, const SharedServer& server, bool& isServer) {
  if (procText(pid, "comm", 64) != std::string(server.program) + "\n") return false;
  std::string argv = procText(pid, "cmdline", 4096);
  std::size_t end = argv.find('\0');
  isServer =
      end != std::string::npos && argv.compare(end + 1, argv.find('\0', end + 1) - end - 1, server.argument) == 0;
  return true;
}

// The terminal hints from an environment, one "NAME=value" entry at a time.
void addHints(EventOrigin& origin, const std::vector<std::string_view>& environment) {
  auto value = [&](std::string_view name) {
    for (std::string_view e : environment)
      if (e.size() > name.size() && e.starts_with(name) && e[name.size()] == '=')
        return hint(e.substr(name.size() + 1));
    return std::string();
  };
  origin.tmux = value("TMUX");
  origin.tmuxPane = value("TMUX_PANE");
  origin.windowId = value("WINDOWID");
  origin.termProgram = value("TERM_PROGRAM");
  origin.kittyWindowId = value("KITTY_WINDOW_ID");
  origin.weztermPane = value("WEZTERM_PANE");
  // VS Code's integrated terminal sets TERM_PROGRAM, and its shell integration VSCODE_* variables.
  origin.vscode = origin.termProgram == "vscode" ||
                  std::any_of(environment.begin(), environment.end(), [](auto e) { return e.starts_with("VSCODE_"); });
}

// The processes of `server`'s program other than servers, working in `folder`.
std::vector<long> sessionsIn(const SharedServer& server, const std::string& folder) {
  std::vector<long> found;
  DIR* proc = ::opendir("/proc");
  if (!proc) return found;
  while (dirent* d = ::readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(d->d_name, &end, 10);
    bool isServer = false;
    if (pid <= 1 || *end || !runs(pid, server, isServer) || isServer) continue;
    std::string link = "/proc/" + std::string(d->d_name) + "/cwd";
    char cwd[4096];
    ssize_t n = ::readlink(link.c_str(), cwd, sizeof cwd);
    if (n > 0 && folder == std::string_view(cwd, static_cast<std::size_t>(n))) found.push_back(pid);
  }
  ::closedir(proc);
  return found;
}

}  // namespace

void addSurroundings(EventOrigin& origin, int parent, AgentID agent, const std::string& folder) {
  origin.pids = processChain(parent, EventOrigin::kMaxPids);
  const SharedServer& server = agent->sharedServer;
  bool shared = false;
  if (!server.program.empty())
    for (std::int64_t pid : origin.pids)
      if (runs(pid, server, shared)) break;  // the nearest of the agent's processes decides
  if (!shared) {
    std::vector<std::string_view> environment;
    for (char** e = environ; e && *e; ++e) environment.emplace_back(*e);
    addHints(origin, environment);
    return;
  }
  std::vector<long> sessions = sessionsIn(server, folder);
  if (sessions.size() != 1) {
    origin.pids.clear();
    origin.unknown =
        hint(shortText(std::string(server.program) + " ran the hook from its shared " + std::string(server.argument) +
                           " and " + std::to_string(sessions.size()) + " of its sessions work in " + folder,
                       EventOrigin::kMaxText - 3));
    return;
  }
  origin.pids = processChain(static_cast<pid_t>(sessions.front()), EventOrigin::kMaxPids);
  std::string block = procText(sessions.front(), "environ", 256 * 1024);
  std::vector<std::string_view> environment;
  for (std::size_t at = 0; at < block.size();) {
    std::size_t end = std::min(block.find('\0', at), block.size());
    environment.emplace_back(std::string_view(block).substr(at, end - at));
    at = end + 1;
  }
  addHints(origin, environment);
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
