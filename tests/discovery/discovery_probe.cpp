// Runs one search through avahi-daemon and prints what it found, for the namespace tests:
//   gt-discovery-probe WINDOW_MS
// Lines: "DEVICE name|host|ws|http|device|version", "PROBLEM text" when there is one, "ELAPSED ms".
// With --raw it instead prints every raw TXT string the backend delivers during the window.
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "core/discovery/discovery.h"
#include "platform/avahi_backend.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: gt-discovery-probe WINDOW_MS [--raw]\n";
    return 2;
  }
  const long windowMs = std::strtol(argv[1], nullptr, 10);
  if (windowMs < 0 || windowMs > 60'000) {
    std::cerr << "WINDOW_MS must be between 0 and 60000\n";
    return 2;
  }
  auto backend = gt::makeAvahiBackend();
  if (argc > 2 && std::string(argv[2]) == "--raw") {
    std::mutex lock;
    std::vector<gt::BrowseResult> last;
    auto browse = backend->startBrowse(gt::Discovery::kServiceType, gt::Discovery::kDomain,
                                       [&](const std::vector<gt::BrowseResult>& results) {
                                         std::lock_guard<std::mutex> guard(lock);
                                         last = results;
                                       });
    std::this_thread::sleep_for(std::chrono::milliseconds(windowMs));
    browse->stop();
    for (const auto& r : last) {
      std::cout << "RESULT " << r.endpoint.name << "|" << r.endpoint.interfaceIndex << "\n";
      if (r.txt) {
        for (const auto& t : *r.txt) std::cout << "TXT " << t << "\n";
      }
    }
    if (!browse->problem().empty()) std::cout << "PROBLEM " << browse->problem() << "\n";
    return 0;
  }
  gt::Discovery discovery(backend);
  auto start = std::chrono::steady_clock::now();
  auto devices = discovery.browse(std::chrono::milliseconds(windowMs));
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  for (const auto& d : devices) {
    std::cout << "DEVICE " << d.name << "|" << d.host << "|" << d.wsPort << "|" << d.httpPort << "|" << d.device << "|"
              << d.version << "\n";
  }
  if (!discovery.problem().empty()) std::cout << "PROBLEM " << discovery.problem() << "\n";
  std::cout << "ELAPSED " << took.count() << "\n";
  return 0;
}
