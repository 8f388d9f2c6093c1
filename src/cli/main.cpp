#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "core/hooks/agent_id.h"

#ifndef GT_VERSION
#define GT_VERSION "0"
#endif

namespace {

constexpr std::string_view kUsageTemplate = R"(Usage: glowticker COMMAND [OPTIONS]

Glowticker desktop companion: pair with the Glowticker phone app, check the link, manage the
coding agents' hooks and send test events to the running app.

Commands:
  status                          show the pairing and whether the phone is reachable
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
)";

// The usage text with the registered agents filled in.
std::string usage() {
  std::string text(kUsageTemplate);
  size_t at = text.find("{agents}");
  return text.replace(at, 8, gt::agentNames(", ", " or "));
}

struct Command {
  std::string_view name;
  int (*run)(int, char**);
};

constexpr Command kCommands[] = {
    {"send", gt::cli::runSend},         {"status", gt::cli::runStatus},   {"pair", gt::cli::runPair},
    {"unpair", gt::cli::runUnpair},     {"devices", gt::cli::runDevices}, {"install", gt::cli::runInstall},
    {"uninstall", gt::cli::runUninstall}, {"hook", gt::cli::runHook},     {"autostart", gt::cli::runAutostart},
};

}  // namespace

static int dispatch(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << usage();
    return 2;
  }
  std::string_view word = argv[1];
  if (word == "-h" || word == "--help" || word == "help") {
    std::cout << usage();
    return 0;
  }
  if (word == "-V" || word == "--version") {
    std::cout << "glowticker " GT_VERSION "\n";
    return 0;
  }
  for (const Command& c : kCommands)
    if (c.name == word) return c.run(argc - 2, argv + 2);
  std::cerr << "glowticker: unknown command '" << word << "'. Run 'glowticker --help' for the list.\n";
  return 2;
}

int main(int argc, char** argv) {
  // Whatever a command did not expect ends it with one line and status 1, never an abort.
  try {
    return dispatch(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "glowticker: unexpected error: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "glowticker: unexpected error.\n";
  }
  return 1;
}
