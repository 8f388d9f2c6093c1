#include "cli/hook/hook_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/hook/hook_event_builder.h"
#include "core/common/paths.h"
#include "core/common/unix_socket_client.h"

extern char** environ;

namespace gt {

namespace {

using Clock = std::chrono::steady_clock;

struct Invocation {
  std::optional<AgentID> agent;
  std::vector<std::string> chain;
  std::optional<std::string> payload;
};

Invocation parse(int argc, char** argv) {
  Invocation inv;
  std::vector<std::string> positional;
  for (int i = 0; i < argc; ++i) {
    std::string_view word = argv[i];
    if (word == "--agent" && i + 1 < argc) {
      inv.agent = agentFromRaw(argv[++i]);
    } else if (word.starts_with("--agent=")) {
      inv.agent = agentFromRaw(word.substr(8));
    } else if (word == "--chain" && i + 1 < argc && std::string_view(argv[i + 1]) == "--") {
      // Everything after "--" is the previous command, except the payload that the agent appends.
      for (int j = i + 2; j < argc - 1; ++j) inv.chain.emplace_back(argv[j]);
      if (i + 2 < argc) positional.emplace_back(argv[argc - 1]);
      break;
    } else {
      positional.emplace_back(word);
    }
  }
  if (!positional.empty()) inv.payload = positional.back();
  return inv;
}

// Reads standard input to its end, a bounded amount, giving up at the deadline. Poll-then-read keeps
// the descriptor's flags alone (they are shared with the agent that started us).
std::string readStdin(size_t maxBytes, Clock::time_point deadline) {
  std::string data;
  char buf[65536];
  while (data.size() < maxBytes) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{STDIN_FILENO, POLLIN, 0};
    int n = ::poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || (p.revents & POLLNVAL)) break;
    ssize_t got = ::read(STDIN_FILENO, buf, std::min(sizeof buf, maxBytes - data.size()));
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) break;
    data.append(buf, static_cast<size_t>(got));
  }
  return data;
}

std::int64_t nowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string currentDir() {
  char buf[4096];
  return ::getcwd(buf, sizeof buf) ? std::string(buf) : std::string();
}

// Starts the user's previous notify command in its own session and does not wait for it: it may
// take as long as it likes without holding up the agent.
void startChained(const std::vector<std::string>& chain, const std::string& payload) {
  std::vector<std::string> args = chain;
  args.push_back(payload);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // We ignore SIGPIPE; the previous command gets the default back, as it would have had.
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF);
  pid_t pid;
  if (int rc = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ); rc != 0) {
    std::string msg =
        "glowticker-hook: could not run the previous notify command " + chain[0] + ": " + std::strerror(rc) + "\n";
    (void)!::write(STDERR_FILENO, msg.data(), msg.size());
  }
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

namespace HookCommand {

int run(int argc, char** argv, const Limits& limits) {
  Clock::time_point start = Clock::now();
  // A closed standard error must not kill us with SIGPIPE while we write a complaint to it.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    Invocation inv = parse(argc, argv);
    if (!inv.agent) {
      std::string usage = "glowticker-hook: usage: glowticker-hook --agent " + agentNames("|") + " [PAYLOAD]\n";
      (void)!::write(STDERR_FILENO, usage.data(), usage.size());
      return 0;
    }
    std::string payload;
    if (inv.payload)
      payload = inv.payload->substr(0, limits.maxPayloadBytes);
    else if ((*inv.agent)->payload == PayloadArrival::standardInput)
      payload = readStdin(limits.maxPayloadBytes, start + limits.stdinWait);

    if (std::optional<AgentEvent> ev = HookEventBuilder::build(*inv.agent, payload, nowMs(), currentDir())) {
      HookEventBuilder::addSurroundings(*ev->origin, static_cast<int>(::getppid()), *inv.agent, currentDir());
      std::string line = encodeAgentEvent(*ev) + "\n";
      // Agents run with HOME set; without it there is no app of this user's to find.
      if (std::optional<std::filesystem::path> home = homeFromEnvironment())
        (void)sendToUnixSocket(eventSocketPath(*home).string(), line, start + limits.total);
    }
    if (!inv.chain.empty() && inv.payload) startChained(inv.chain, *inv.payload);
  } catch (...) {
    // Whatever went wrong, the agent carries on undisturbed.
  }
  return 0;
}

std::string helpText() {
  std::vector<std::string> onStdin, asArgument;
  for (AgentID a : allAgents())
    (a->payload == PayloadArrival::standardInput ? onStdin : asArgument).emplace_back(rawValue(a));
  auto names = [](const std::vector<std::string>& list) {
    std::string out;
    for (size_t i = 0; i < list.size(); ++i) out += (i == 0 ? "" : i + 1 == list.size() ? " and " : ", ") + list[i];
    return out;
  };
  std::string how = "The agents run it on every event";
  if (!onStdin.empty()) how += ": " + names(onStdin) + " pass the event as JSON on standard\ninput";
  if (!asArgument.empty()) how += (onStdin.empty() ? ": " : ", ") + names(asArgument) + " as the last argument";
  return "Usage: glowticker-hook --agent " + agentNames("|") +
         " [PAYLOAD]\n"
         "\n"
         "Sends one coding agent's hook event to the running Glowticker app, which shows it as a desktop\n"
         "notification. " +
         how +
         ". It prints nothing, finishes within 200 ms and always exits 0.\n"
         "'glowticker install --agent AGENT' sets it up in the agent's configuration.\n"
         "\n"
         "Options:\n"
         "  --agent AGENT   the agent that runs the hook: " +
         agentNames(", ", " or ") +
         "\n"
         "  -h, --help      show this help and exit\n"
         "  -V, --version   show the version and exit\n";
}

}  // namespace HookCommand

}  // namespace gt
