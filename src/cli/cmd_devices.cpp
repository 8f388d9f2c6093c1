#include <iostream>

#include "cli/commands.h"

namespace gt::cli {

int runDevices(int, char**) {
  std::cerr << "glowticker: not available yet\n";
  return 1;
}

std::optional<DiscoveredDevice> findDeviceByName(const std::string&, std::string& problem) {
  problem = "device search is not available yet";
  return std::nullopt;
}

}  // namespace gt::cli
