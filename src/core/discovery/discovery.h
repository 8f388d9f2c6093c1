#pragma once
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/discovery/discovered_device.h"

namespace gt {

class DnsSdBackend;  // the DNS-SD machinery (Avahi on Linux; fakes in tests)

// Finds devices advertising "_glowticker._tcp" in "local.": collects for the whole window, then resolves
// each instance in name order by a real TCP connection (1 s each). Never fails.
class Discovery {
 public:
  explicit Discovery(std::shared_ptr<DnsSdBackend> backend);
  std::vector<DiscoveredDevice> browse(std::chrono::milliseconds window);
  // Why the last browse could not look at the network (e.g. avahi-daemon not running); empty when fine.
  std::string problem() const;

 private:
  std::shared_ptr<DnsSdBackend> backend_;
  std::string problem_;
};

}  // namespace gt
