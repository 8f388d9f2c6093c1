#include "cli/help.h"

#include <string_view>

#include "cli/hook/hook_command.h"
#include "core/hooks/agent_id.h"

namespace gt::cli {
namespace {

constexpr std::string_view kUsage = R"(Usage: glowticker COMMAND [OPTIONS]

Glowticker desktop companion: pair with the Glowticker phone app, check the link, manage the
coding agents' hooks and send test events to the running app. 'glowticker COMMAND --help' shows
one command's options.

Commands:
  status [--json]                 show the pairing and whether the phone is reachable
  devices                         search the local network for phones (3 s)
  pair --device NAME --code C     pair with a phone found by a search
  pair --host H --http-port P --ws-port W --name N --code C
                                  pair with a phone at a known address
  unpair                          forget the pairing
  install --agent AGENT           install the hook for {agents}
  uninstall --agent AGENT         remove that hook
  hook --agent AGENT [PAYLOAD]    send an agent's event to the app (run by the agents)
  send --agent A --title T --message M [--type X] [--state S] [--project P] [--ts N]
                                  send one event to the running app
  autostart on|off|status         start the app at login, or not

Options:
  -h, --help                      show this help and exit
  -V, --version                   show the version and exit

Exit status:
  0  success (status: the phone is connected)
  1  the command failed; standard error says why
  2  wrong command or options
  3  status: paired, but the phone does not answer
  4  status: not paired
)";

constexpr std::string_view kStatus = R"(Usage: glowticker status [--json]

Reloads the pairing file and asks the paired phone whether it is reachable (2 s at most), then
prints the link state as the panel shows it ("已连接 NAME", "离线 / 不可达" or "未配对") and the
phone's address.

Options:
  --json       print one JSON object instead: "state" (connected, offline or unpaired), "label"
               (the text above) and "pairing" (the pairing record without its token, or null)
  -h, --help   show this help and exit

Exit status: 0 connected, 3 paired but the phone does not answer, 4 not paired, 2 wrong options.
)";

constexpr std::string_view kDevices = R"(Usage: glowticker devices

Searches the local network for Glowticker phones through avahi-daemon for 3 s and prints one line
per phone: name (model) @ address, its ports and app version. Says at once when avahi-daemon is
not running.

Options:
  -h, --help   show this help and exit

Exit status: 0 when the search ran (even if it found nothing), 1 when the network could not be
searched (avahi-daemon not running), 2 wrong options.
)";

constexpr std::string_view kPair = R"(Usage: glowticker pair --device NAME --code C
       glowticker pair --host H --http-port P --ws-port W --name N --code C

Trades the 4-digit code the phone shows for a token and saves the pairing, as the panel does.
The code is checked before anything is sent, because the phone locks pairing after a few wrong
codes: digits of any script count, everything else is dropped, and exactly 4 must remain.
Failures are printed in the panel's Chinese words.

Options:
  --device NAME   the phone's name as 'glowticker devices' lists it (searches for 3 s)
  --host H        the phone's address, with --http-port, --ws-port and --name
  --http-port P   its HTTP port
  --ws-port W     its ws port
  --name N        the name to store for it
  --code C        the 4-digit pairing code shown on the phone
  -h, --help      show this help and exit

Exit status: 0 paired, 1 the phone refused or could not be reached, 2 wrong options or code.
)";

constexpr std::string_view kUnpair = R"(Usage: glowticker unpair

Forgets the pairing: deletes ~/.glowticker/config.json.

Options:
  -h, --help   show this help and exit

Exit status: 0 unpaired, 1 there was no pairing or it could not be removed, 2 wrong options.
)";

constexpr std::string_view kInstall = R"(Usage: glowticker install --agent AGENT

Installs the Glowticker hook in AGENT's configuration file ({agents}), keeping a backup of the
file, and prints a report of what changed. Running agent sessions pick it up after a restart.

Options:
  --agent AGENT   {agents}
  -h, --help      show this help and exit

Exit status: 0 done (also when nothing had to change), 1 the file could not be changed, 2 wrong
options.
)";

constexpr std::string_view kUninstall = R"(Usage: glowticker uninstall --agent AGENT

Removes the Glowticker hook from AGENT's configuration file ({agents}), keeping a backup of the
file, and prints a report of what changed.

Options:
  --agent AGENT   {agents}
  -h, --help      show this help and exit

Exit status: 0 done (also when there was no hook), 1 the file could not be changed, 2 wrong options.
)";

constexpr std::string_view kAutostart = R"(Usage: glowticker autostart on|off|status

Starts the Glowticker tray app at login (an entry in ~/.config/autostart), stops doing so, or
tells whether it does. An entry of your own that starts the app keeps its options: "on" only turns it
back on (and points it at the app when the app moved); an entry that runs another program is never
changed or removed.

Options:
  -h, --help   show this help and exit

Exit status: 0 done, 1 the entry could not be written or removed, or "on" found another program's
entry, 2 wrong action.
)";

constexpr std::string_view kSend = R"(Usage: glowticker send --agent A --title T --message M [--type X] [--state S]
                       [--project P] [--ts N]

Sends one event to the running Glowticker app, which shows it as a desktop notification titled
"A · T" with M as its text. Options:
  --agent A      name of the agent (for example codex, claude or kimi)
  --title T      notification title after the agent name
  --message M    notification text
  --type X       event type (default "manual")
  --state S      event state (default empty)
  --project P    project label (default empty)
  --ts N         signed 64-bit number in the notification's identifier (default: now, in milliseconds);
                 a second event with the same agent and ts replaces the first notification
  -h, --help     show this help and exit

Exit status: 0 when the app took the event, 1 when it is not running or the event could not be
written, 2 for wrong options.
)";

std::string withAgents(std::string_view text) {
  std::string out(text);
  const std::string agents = agentNames(", ", " or ");
  for (size_t at = out.find("{agents}"); at != std::string::npos; at = out.find("{agents}", at + agents.size()))
    out.replace(at, 8, agents);
  return out;
}

}  // namespace

std::string usage() { return withAgents(kUsage); }

std::optional<std::string> commandHelp(std::string_view command) {
  if (command == "hook") {
    // The hook sender's own help, under the name it is called by here.
    std::string text = HookCommand::helpText();
    constexpr std::string_view kOwn = "Usage: glowticker-hook";
    if (text.rfind(kOwn, 0) == 0) text.replace(0, kOwn.size(), "Usage: glowticker hook");
    return text;
  }
  const std::pair<std::string_view, std::string_view> texts[] = {
      {"status", kStatus},   {"devices", kDevices},     {"pair", kPair},           {"unpair", kUnpair},
      {"install", kInstall}, {"uninstall", kUninstall}, {"autostart", kAutostart}, {"send", kSend},
  };
  for (const auto& [name, text] : texts)
    if (name == command) return withAgents(text);
  return std::nullopt;
}

bool asksForHelp(int argc, char** argv) {
  for (int i = 0; i < argc; ++i) {
    std::string_view w = argv[i];
    if (w == "-h" || w == "--help") return true;
  }
  return false;
}

}  // namespace gt::cli
