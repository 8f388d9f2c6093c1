#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "cli/args.h"
#include "cli/commands.h"
#include "core/common/paths.h"
#include "core/common/unix_socket_client.h"
#include "core/events/agent_event.h"
#include "core/events/event_listener.h"

namespace gt::cli {

namespace {

// The whole send is bounded: a wedged app must not hang a hook or a shell.
constexpr int kSocketTimeoutSeconds = 2;

int usageError(const std::string& problem) {
  std::cerr << "glowticker send: " << problem << ". Run 'glowticker send --help'.\n";
  return 2;
}

}  // namespace

int runSend(int argc, char** argv) {
  auto parsed = parseArgs(argc, argv, {"agent", "title", "message", "type", "state", "project", "ts"});
  if (!parsed) return usageError(parsed.error().detail);
  const Args& args = *parsed;
  if (!args.positional.empty()) return usageError("unexpected word '" + args.positional.front() + "'");
  if (!args.has("agent") || !args.has("title") || !args.has("message"))
    return usageError("--agent, --title and --message are all required");

  AgentEvent event;
  event.type = args.get("type").value_or("manual");
  event.agent = *args.get("agent");
  event.state = args.get("state").value_or("");
  event.title = *args.get("title");
  event.message = *args.get("message");
  event.project = args.get("project").value_or("");
  if (auto ts = args.get("ts")) {
    const char* end = ts->data() + ts->size();
    auto [ptr, ec] = std::from_chars(ts->data(), end, event.ts);
    if (ts->empty() || ec != std::errc() || ptr != end)
      return usageError("--ts must be a whole number between -9223372036854775808 and 9223372036854775807");
  } else {
    event.ts =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count();
  }

  const std::string path = eventSocketPath().string();
  if (path.size() > EventListener::kMaxPathBytes) {
    std::cerr << "glowticker send: the event socket path " << path << " is longer than " << EventListener::kMaxPathBytes
              << " bytes, so the app cannot listen there; use a shorter HOME.\n";
    return 1;
  }
  const std::string line = encodeAgentEvent(event) + "\n";
  if (line.size() - 1 > EventListener::kMaxPendingBytes)
    return usageError("the event is larger than 1 MiB and the app would drop it; shorten the message");

  const auto sent =
      sendToUnixSocket(path, line, std::chrono::steady_clock::now() + std::chrono::seconds(kSocketTimeoutSeconds));
  if (sent) return 0;
  const int err = sent.error().error;
  switch (sent.error().failedAt) {
    case UnixSendError::Step::socket:
      std::cerr << "glowticker send: cannot create a socket: " << std::strerror(err) << ".\n";
      break;
    case UnixSendError::Step::connect:
      if (err == ENOENT || err == ECONNREFUSED || err == ENOTDIR)
        std::cerr << "glowticker send: the Glowticker app is not running (nothing listens on " << path
                  << "); start it and send again.\n";
      else if (err == ETIMEDOUT)
        std::cerr << "glowticker send: the Glowticker app did not accept the event within " << kSocketTimeoutSeconds
                  << " s; it may be busy or stuck.\n";
      else
        std::cerr << "glowticker send: cannot reach the Glowticker app at " << path << ": " << std::strerror(err)
                  << ".\n";
      break;
    case UnixSendError::Step::write:
      std::cerr << "glowticker send: the event could not be written to the Glowticker app: "
                << (err == ETIMEDOUT ? "it stopped reading" : std::strerror(err)) << ".\n";
      break;
  }
  return 1;
}

}  // namespace gt::cli
