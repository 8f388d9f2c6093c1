// gt-bench-light-send: the `glowticker send` code alone, linked with nothing but the event record,
// to separate the cost of the send itself from the start-up of the full `glowticker` program.
#include "cli/commands.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  return gt::cli::runSend(argc - 2, argv + 2);  // argv[1] is the word "send"
}
