#include <chrono>
#include <iostream>

#include "cli/args.h"
#include "cli/commands.h"
#include "core/common/utf8.h"
#include "core/discovery/discovery.h"
#include "platform/avahi_backend.h"

namespace gt::cli {
namespace {

// The same window the pairing view uses.
constexpr std::chrono::seconds kSearchWindow{3};

// The pairing view's picker text, then what a user needs to pair by hand. Every field comes from the
// phone, so it is printed with its control characters made visible.
std::string deviceLine(const DiscoveredDevice& d) {
  // What the phone does not say is left out rather than shown as "unknown".
  std::string line = d.name + (d.device.empty() ? std::string() : " (" + d.device + ")") + " @ " + d.host;
  line += "  ws " + std::to_string(d.wsPort) + "  http " + std::to_string(d.httpPort);
  if (!d.version.empty()) line += "  version " + d.version;
  return terminalSafe(line);
}

}  // namespace

int runDevices(int argc, char** argv) {
  auto args = parseArgs(argc, argv, {});
  if (!args) {
    std::cerr << "glowticker devices: " << args.error().detail << "\n";
    return 2;
  }
  if (!args->positional.empty()) {
    std::cerr << "glowticker devices: takes no arguments (got \"" << args->positional.front() << "\").\n";
    return 2;
  }
  DeviceSearch found = Discovery(makeAvahiBackend()).browse(kSearchWindow);
  if (!found) {
    std::cerr << "glowticker devices: " << terminalSafe(found.error().detail) << "\n";
    return 1;
  }
  for (const DiscoveredDevice& d : *found) std::cout << deviceLine(d) << "\n";
  if (found->empty()) {
    std::cerr << "No phone found on the local network; check that the Glowticker app is open on the phone and "
                 "that it is on the same network as this computer.\n";
  }
  return 0;
}

Result<DiscoveredDevice, Problem<FindProblem>> findDeviceByName(const std::string& name) {
  DeviceSearch found = Discovery(makeAvahiBackend()).browse(kSearchWindow);
  if (!found) return fail(FindProblem::searchFailed, found.error().detail);
  for (const DiscoveredDevice& d : *found) {
    if (d.name == name) return d;
  }
  return fail(FindProblem::notFound,
              "No phone named \"" + name +
                  "\" was found on the local network; run \"glowticker devices\" to see the names that were found.");
}

}  // namespace gt::cli
