#include "core/events/terminal_return.h"

#include <algorithm>
#include <sstream>

#include "core/common/bounded_run.h"
#include "core/common/file_io.h"
#include "core/common/process_tree.h"

namespace gt {

namespace {

constexpr std::size_t kMaxClients = 16;
constexpr std::size_t kMaxEnviron = 256 * 1024;

// The $WINDOWID a process of this user was started with (a terminal sets it for what runs inside).
std::string windowIdOf(long pid) {
  auto read = readFileBounded("/proc/" + std::to_string(pid) + "/environ", kMaxEnviron);
  const std::string& env = read ? read->text : std::string();
  constexpr std::string_view kName = "WINDOWID=";
  for (std::size_t at = 0; at < env.size();) {
    std::size_t end = std::min(env.find('\0', at), env.size());
    if (env.compare(at, kName.size(), kName) == 0) return env.substr(at + kName.size(), end - at - kName.size());
    at = end + 1;
  }
  return {};
}

bool inTmux(const EventOrigin& o) {
  // A pane id is "%" and digits; anything else could be read by tmux as an option or a session name.
  return !o.tmux.empty() && o.tmux.front() == '/' && o.tmuxPane.size() > 1 && o.tmuxPane.front() == '%' &&
         o.tmuxPane.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::string joined(const std::string& a, const std::string& b) { return a.empty() ? b : a + "; " + b; }

}  // namespace

TerminalReturn::TerminalReturn(std::shared_ptr<WindowSystem> windows, std::string noWindows, Options options)
    : windows_(std::move(windows)), noWindows_(std::move(noWindows)), options_(std::move(options)) {}

Result<std::string, Problem<RunProblem>> TerminalReturn::tmux(const EventOrigin& origin,
                                                              std::initializer_list<std::string> args) const {
  // $TMUX is "socket,server-pid,session"; -S talks to that very server whatever the app's own setting.
  const std::string server = origin.tmux.substr(0, origin.tmux.find(','));
  const auto now = std::chrono::steady_clock::now();
  {
    std::lock_guard<std::mutex> g(wedgedLock_);
    std::erase_if(wedged_, [&](const auto& w) { return w.second <= now; });
    if (wedged_.contains(server))
      return fail(RunProblem::notStarted,
                  "tmux server " + server + " did not answer lately; not asked again for a while");
  }
  std::vector<std::string> argv{options_.tmuxProgram, "-S", server};
  argv.insert(argv.end(), args);
  auto r = runBounded(argv, options_.tmuxLimit);
  if (!r && r.error().kind == RunProblem::timedOut) {
    std::lock_guard<std::mutex> g(wedgedLock_);
    if (wedged_.size() < kMaxWedged) wedged_[server] = std::chrono::steady_clock::now() + kWedgedPause;
  }
  return r;
}

std::optional<TerminalReturn::Pane> TerminalReturn::findPane(const EventOrigin& origin, std::string& why) const {
  auto r = tmux(origin, {"display-message", "-p", "-t", origin.tmuxPane,
                         "#{session_id} #{session_attached} #{pane_active}#{window_active}"});
  std::istringstream fields(r.value_or(""));
  Pane pane;
  int attached = 0;
  std::string active;
  if (!r || !(fields >> pane.session >> attached >> active)) {
    why = "tmux pane " + origin.tmuxPane + " not found (" + (r ? "no answer" : r.error().detail) + ")";
    return std::nullopt;
  }
  pane.attached = attached > 0;
  pane.active = active == "11";
  return pane;
}

std::vector<TerminalHints> TerminalReturn::clientTerminals(const EventOrigin& origin,
                                                           const std::string& session) const {
  // The title is what tmux sets in the client's terminal when set-titles is on: last, it may hold spaces.
  std::istringstream lines(tmux(origin, {"list-clients", "-t", session, "-F",
                                         "#{client_activity} #{client_pid} #{set-titles} #{T:set-titles-string}"})
                               .value_or(""));
  std::vector<std::pair<long long, TerminalHints>> clients;
  for (std::string text; clients.size() < kMaxClients && std::getline(lines, text);) {
    std::istringstream fields(text);
    long long activity = 0;
    long pid = 0;
    std::string titles, title;
    if (!(fields >> activity >> pid >> titles) || pid <= 0) continue;
    std::getline(fields >> std::ws, title);
    TerminalHints t{processChain(static_cast<pid_t>(pid), EventOrigin::kMaxPids), windowIdOf(pid),
                    titles == "on" || titles == "1" ? title : ""};
    clients.emplace_back(activity, std::move(t));
  }
  std::stable_sort(clients.begin(), clients.end(), [](auto& a, auto& b) { return a.first > b.first; });
  std::vector<TerminalHints> out;
  for (auto& [when, t] : clients) out.push_back(std::move(t));
  return out;
}

std::string TerminalReturn::selectPane(const EventOrigin& origin, const Pane& pane) const {
  auto r = tmux(origin, {"select-window", "-t", origin.tmuxPane, ";", "select-pane", "-t", origin.tmuxPane});
  if (!r) return "tmux could not select pane " + origin.tmuxPane + ": " + r.error().detail;
  std::string line = "tmux pane " + origin.tmuxPane + " of session " + pane.session + " selected";
  if (pane.attached) return line;
  // No client shows the session: the most recently used client of this server switches to it.
  std::istringstream lines(tmux(origin, {"list-clients", "-F", "#{client_activity} #{client_name}"}).value_or(""));
  long long activity = 0, best = -1;
  std::string name, client;
  while (lines >> activity >> name)
    if (activity > best) best = activity, client = name;
  if (client.empty()) return line + "; no tmux client is running to show it";
  r = tmux(origin, {"switch-client", "-c", client, "-t", origin.tmuxPane});
  return r ? line + ", client " + client + " switched to it"
           : line + "; switching client " + client + " failed: " + r.error().detail;
}

std::string TerminalReturn::raise(const std::vector<TerminalHints>& terminals, const std::string& token) const {
  auto all = windows_->windows();
  if (!all) return all.error().detail;
  std::string why;
  for (const TerminalHints& t : terminals) {
    auto pick = pickWindow(*windows_, *all, t);
    if (pick) return windows_->activate(*pick, token).what;
    if (why.empty()) why = pick.error().detail;
  }
  return noWindows_.empty() ? why : why + " (" + noWindows_ + ")";
}

std::optional<std::vector<TerminalHints>> TerminalReturn::terminals(const EventOrigin& origin, std::string& line,
                                                                    bool selecting) const {
  if (!inTmux(origin)) return std::vector<TerminalHints>{{origin.pids, origin.windowId, {}}};
  std::optional<Pane> pane = findPane(origin, line);
  if (!pane)
    return selecting ? std::optional(std::vector<TerminalHints>{{origin.pids, origin.windowId, {}}}) : std::nullopt;
  // The hook's own ancestors lead to the tmux server, and its $WINDOWID to whichever terminal started
  // the session: the terminal is the one running an attached client.
  if (selecting)
    line = selectPane(origin, *pane);
  else if (!pane->attached || !pane->active)
    return std::nullopt;
  std::vector<TerminalHints> clients = clientTerminals(origin, pane->session);
  if (clients.empty()) line = joined(line, "no terminal shows the tmux session");
  return clients;
}

std::string TerminalReturn::bringBack(const AgentEvent& event, const std::string& activationToken) {
  if (!event.origin) return "the event does not say where it came from (an older hook or another sender)";
  if (!event.origin->unknown.empty()) return "nothing brought back: " + event.origin->unknown;
  std::string line;
  std::vector<TerminalHints> where = *terminals(*event.origin, line, true);
  if (where.empty()) return line;
  if (!windows_) return joined(line, noWindows_);
  if (where.front().pids.empty() && where.front().windowId.empty()) return joined(line, "no terminal process is known");
  return joined(line, raise(where, activationToken));
}

bool TerminalReturn::inFront(const AgentEvent& event) {
  if (!event.origin || !windows_ || !options_.frontKnown) return false;
  std::string why;
  std::optional<std::vector<TerminalHints>> where = terminals(*event.origin, why, false);
  if (!where || where->empty()) return false;
  auto all = windows_->windows();
  if (!all) return false;
  for (const TerminalHints& t : *where)
    if (auto w = pickWindow(*windows_, *all, t); w && w->active) return true;
  return false;
}

}  // namespace gt
