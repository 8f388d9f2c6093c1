#include "cli/hook/hook_command.h"

// The small program the coding agents run on every event; see HookCommand.
int main(int argc, char** argv) { return gt::HookCommand::run(argc - 1, argv + 1); }
