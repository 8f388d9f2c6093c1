#pragma once
#include <chrono>
#include <string>

namespace gt {

// `glowticker-hook --agent NAME [--chain -- PREVIOUS...] [PAYLOAD]`, also `glowticker hook ...`:
// reads the agent's payload (on standard input or as the last argument, as the agent passes it),
// sends one event record to the running app and, when one is chained, runs the user's previous
// notify command with the same payload. Prints nothing on standard output and always returns 0: an
// agent must never be held up or disturbed by its notification hook.
namespace HookCommand {

struct Limits {
  std::chrono::milliseconds stdinWait{120};  // a standard input that never closes is given up on
  std::chrono::milliseconds total{180};      // by then the process is on its way out
  size_t maxPayloadBytes = 1024 * 1024;
};

// `argv` holds the words after the program (or after "hook").
int run(int argc, char** argv, const Limits& limits);
inline int run(int argc, char** argv) { return run(argc, argv, Limits{}); }

// The text of `glowticker-hook --help`.
std::string helpText();

}  // namespace HookCommand

}  // namespace gt
