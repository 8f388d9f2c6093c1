#pragma once
#include <chrono>
#include <string>

namespace gt {

// `glowticker-hook --agent NAME [--chain -- PREVIOUS...] [PAYLOAD]`, also `glowticker hook ...`:
// reads the agent's payload (standard input for claude and kimi, the last argument for codex),
// sends one event record to the running app and, for codex, runs the user's previous notify
// command with the same payload. Prints nothing on standard output and always returns 0: an
// agent must never be held up or disturbed by its notification hook.
class HookCommand {
 public:
  struct Limits {
    std::chrono::milliseconds stdinWait{120};  // a standard input that never closes is given up on
    std::chrono::milliseconds total{180};      // by then the process is on its way out
    size_t maxPayloadBytes = 1024 * 1024;
  };

  // `argv` holds the words after the program (or after "hook").
  static int run(int argc, char** argv, const Limits& limits);
  static int run(int argc, char** argv) { return run(argc, argv, Limits{}); }
};

}  // namespace gt
