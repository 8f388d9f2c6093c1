#include <iostream>

#include "cli/commands.h"

namespace gt::cli {

int runAutostart(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

}  // namespace gt::cli
