#include "core/events/terminal_return.h"

#include <algorithm>
#include <sstream>

#include "core/common/bounded_run.h"
#include "core/common/process_tree.h"

namespace gt {

namespace {

constexpr std::size_t kMaxTerminalPids = 64;

bool inTmux(const EventOrigin& o) {
  // A pane id is "%" and digits; anything else could be read by tmux as an option or a session name.
  return !o.tmux.empty() && o.tmux.front() == '/' && o.tmuxPane.size() > 1 && o.tmuxPane.front() == '%' &&
         o.tmuxPane.find_first_not_of("0123456789", 1) == std::string::npos;
}

std::string joined(const std::string& a, const std::string& b) { return a.empty() ? b : a + "; " + b; }

}  // namespace

TerminalReturn::TerminalReturn(std::shared_ptr<WindowSystem> windows, std::string noWindows, Options options)
    : windows_(std::move(windows)), noWindows_(std::move(noWindows)), options_(std::move(options)) {}

std::vector<std::string> TerminalReturn::tmux(const EventOrigin& origin) const {
  // $TMUX is "socket,server-pid,session"; -S talks to that very server whatever the app's own setting.
  return {options_.tmuxProgram, "-S", origin.tmux.substr(0, origin.tmux.find(','))};
}

std::optional<TerminalReturn::Pane> TerminalReturn::findPane(const EventOrigin& origin, std::string& why) const {
  auto argv = tmux(origin);
  argv.insert(argv.end(), {"display-message", "-p", "-t", origin.tmuxPane,
                           "#{session_id} #{session_attached} #{pane_active}#{window_active}"});
  BoundedRunResult r = runBounded(argv, options_.tmuxLimit);
  std::istringstream fields(r.out);
  Pane pane;
  int attached = 0;
  std::string active;
  if (r.status != 0 || !(fields >> pane.session >> attached >> active)) {
    why = "tmux pane " + origin.tmuxPane + " not found (" + (r.error.empty() ? "no answer" : r.error) + ")";
    return std::nullopt;
  }
  pane.attached = attached > 0;
  pane.active = active == "11";
  return pane;
}

std::vector<std::int64_t> TerminalReturn::clientChains(const EventOrigin& origin, const std::string& session) const {
  auto argv = tmux(origin);
  argv.insert(argv.end(), {"list-clients", "-t", session, "-F", "#{client_activity} #{client_pid}"});
  std::istringstream lines(runBounded(argv, options_.tmuxLimit).out);
  std::vector<std::pair<long long, pid_t>> clients;
  long long activity = 0;
  long pid = 0;
  while (lines >> activity >> pid) clients.emplace_back(activity, static_cast<pid_t>(pid));
  std::sort(clients.begin(), clients.end(), [](auto& a, auto& b) { return a.first > b.first; });
  std::vector<std::int64_t> chains;
  for (const auto& [when, client] : clients) {
    for (std::int64_t p : processChain(client, EventOrigin::kMaxPids))
      if (chains.size() < kMaxTerminalPids) chains.push_back(p);
  }
  return chains;
}

std::string TerminalReturn::selectPane(const EventOrigin& origin, const Pane& pane) const {
  auto argv = tmux(origin);
  argv.insert(argv.end(), {"select-window", "-t", origin.tmuxPane, ";", "select-pane", "-t", origin.tmuxPane});
  BoundedRunResult r = runBounded(argv, options_.tmuxLimit);
  if (r.status != 0) return "tmux could not select pane " + origin.tmuxPane + ": " + r.error;
  std::string line = "tmux pane " + origin.tmuxPane + " of session " + pane.session + " selected";
  if (pane.attached) return line;
  // No client shows the session: the most recently used client of this server switches to it.
  argv = tmux(origin);
  argv.insert(argv.end(), {"list-clients", "-F", "#{client_activity} #{client_name}"});
  std::istringstream lines(runBounded(argv, options_.tmuxLimit).out);
  long long activity = 0, best = -1;
  std::string name, client;
  while (lines >> activity >> name)
    if (activity > best) best = activity, client = name;
  if (client.empty()) return line + "; no tmux client is running to show it";
  argv = tmux(origin);
  argv.insert(argv.end(), {"switch-client", "-c", client, "-t", origin.tmuxPane});
  r = runBounded(argv, options_.tmuxLimit);
  return r.status == 0 ? line + ", client " + client + " switched to it"
                       : line + "; switching client " + client + " failed: " + r.error;
}

std::string TerminalReturn::bringBack(const AgentEvent& event, const std::string& activationToken) {
  if (!event.origin) return "the event does not say where it came from (an older hook or another sender)";
  const EventOrigin& origin = *event.origin;
  std::string line;
  std::vector<std::int64_t> pids = origin.pids;
  std::string windowId = origin.windowId;
  if (inTmux(origin)) {
    std::string why;
    if (std::optional<Pane> pane = findPane(origin, why)) {
      line = selectPane(origin, *pane);
      // The hook's own ancestors lead to the tmux server, and its $WINDOWID to whichever terminal
      // started the session: the terminal is the one running an attached client.
      pids = clientChains(origin, pane->session);
      windowId.clear();
      if (pids.empty()) return joined(line, "no terminal shows the tmux session");
    } else {
      line = why;
    }
  }
  if (!windows_) return joined(line, noWindows_);
  if (pids.empty() && windowId.empty()) return joined(line, "no terminal process is known");
  return joined(line, windows_->raise(pids, windowId, activationToken).what);
}

bool TerminalReturn::inFront(const AgentEvent& event) {
  if (!event.origin || !windows_) return false;
  const EventOrigin& origin = *event.origin;
  std::vector<std::int64_t> pids = origin.pids;
  std::string windowId = origin.windowId;
  if (inTmux(origin)) {
    std::string why;
    std::optional<Pane> pane = findPane(origin, why);
    if (!pane || !pane->attached || !pane->active) return false;
    pids = clientChains(origin, pane->session);
    windowId.clear();
    if (pids.empty()) return false;
  }
  return windows_->isActive(pids, windowId).value_or(false);
}

}  // namespace gt
