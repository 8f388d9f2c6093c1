#include <iostream>

#include "cli/commands.h"

namespace gt::cli {

int runInstall(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

int runUninstall(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

int runHook(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

}  // namespace gt::cli
