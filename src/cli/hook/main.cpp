#include <cstdio>
#include <cstring>

#include "cli/hook/hook_command.h"

#ifndef GT_VERSION
#define GT_VERSION "0"
#endif

// The small program the coding agents run on every event; see HookCommand.
int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(gt::HookCommand::helpText().c_str(), stdout);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::fputs("glowticker-hook " GT_VERSION "\n", stdout);
    return 0;
  }
  // The agent must never see the hook fail: whatever goes wrong, it ends quietly with 0.
  try {
    return gt::HookCommand::run(argc - 1, argv + 1);
  } catch (...) {
    return 0;
  }
}
