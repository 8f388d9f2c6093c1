#include <iostream>

#include "cli/commands.h"

namespace gt::cli {

int runStatus(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

int runPair(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

int runUnpair(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

}  // namespace gt::cli
