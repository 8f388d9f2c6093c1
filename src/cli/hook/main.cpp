#include <cstdio>
#include <cstring>

#include "cli/hook/hook_command.h"

#ifndef GT_VERSION
#define GT_VERSION "0"
#endif

// The small program the coding agents run on every event; see HookCommand.
int main(int argc, char** argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::fputs(
        "Usage: glowticker-hook --agent codex|claude|kimi [PAYLOAD]\n"
        "\n"
        "Sends one coding agent's hook event to the running Glowticker app, which shows it as a desktop\n"
        "notification. The agents run it on every event: claude and kimi pass the event as JSON on standard\n"
        "input, codex as the last argument. It prints nothing, finishes within 200 ms and always exits 0.\n"
        "'glowticker install --agent AGENT' sets it up in the agent's configuration.\n"
        "\n"
        "Options:\n"
        "  --agent AGENT   the agent that runs the hook: codex, claude or kimi\n"
        "  -h, --help      show this help and exit\n"
        "  -V, --version   show the version and exit\n",
        stdout);
    return 0;
  }
  if (argc == 2 && (std::strcmp(argv[1], "--version") == 0 || std::strcmp(argv[1], "-V") == 0)) {
    std::fputs("glowticker-hook " GT_VERSION "\n", stdout);
    return 0;
  }
  return gt::HookCommand::run(argc - 1, argv + 1);
}
