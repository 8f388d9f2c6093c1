#include <cstring>
#include <iostream>
#include <string>
#include <string_view>

#include "cli/commands.h"
#include "cli/help.h"

#ifndef GT_VERSION
#define GT_VERSION "0"
#endif

namespace {

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
    std::cerr << gt::cli::usage();
    return gt::cli::kExitUsage;
  }
  std::string_view word = argv[1];
  if (word == "-h" || word == "--help" || word == "help") {
    std::cout << gt::cli::usage();
    return gt::cli::kExitOk;
  }
  if (word == "-V" || word == "--version") {
    std::cout << "glowticker " GT_VERSION "\n";
    return 0;
  }
  for (const Command& c : kCommands) {
    if (c.name != word) continue;
    // The hook's words come from the agents: only a lone help word asks for help there.
    const bool help = word == "hook" ? argc == 3 && gt::cli::asksForHelp(1, argv + 2)
                                     : gt::cli::asksForHelp(argc - 2, argv + 2);
    if (help) {
      std::cout << gt::cli::commandHelp(word).value_or(gt::cli::usage());
      return gt::cli::kExitOk;
    }
    return c.run(argc - 2, argv + 2);
  }
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
