#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/discovery/discovered_device.h"
#include "core/discovery/dns_sd_backend.h"

namespace gt {

// What a search found, or why it could not look at the network.
using DeviceSearch = Result<std::vector<DiscoveredDevice>, Problem<BrowseProblem>>;

// Finds devices advertising "_glowticker._tcp" in "local.": collects for the whole window, then resolves
// each instance in name order by a real TCP connection (1 s each). Never fails.
class Discovery {
 public:
  static constexpr const char* kServiceType = "_glowticker._tcp";
  static constexpr const char* kDomain = "local.";
  static constexpr std::chrono::milliseconds kResolveTimeout{1000};
  // How soon a browse that cannot run (no daemon) ends its window.
  static constexpr std::chrono::milliseconds kProblemCheckInterval{20};

  explicit Discovery(std::shared_ptr<DnsSdBackend> backend);
  DeviceSearch browse(std::chrono::milliseconds window);

  // Instance names in result order: code point order after NFC normalisation, a proper prefix first.
  static bool nameLess(const std::string& a, const std::string& b);

 private:
  struct Service {
    std::string name;
    ServiceEndpoint endpoint;
    std::vector<std::string> txt;
  };
  struct Peer {
    std::string host;
    std::int64_t port = 0;
  };

  Result<std::vector<Service>, Problem<BrowseProblem>> collectServices(std::chrono::milliseconds window);
  std::optional<Peer> resolve(const ServiceEndpoint& endpoint, std::chrono::milliseconds timeout);

  std::shared_ptr<DnsSdBackend> backend_;
};

}  // namespace gt
