#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace gt {

// One device found on the LAN; its identity is its instance name.
struct DiscoveredDevice {
  std::string name;
  std::string host;  // IPv4, dotted decimal
  std::int64_t wsPort = 0;
  std::int64_t httpPort = 0;
  std::string device;
  std::string version;

  const std::string& id() const { return name; }
  bool operator==(const DiscoveredDevice&) const = default;
};

// Raw TXT strings as DNS-SD delivers them ("key=value", "key=", "key", binary bytes) flattened to at
// most four "key=value" strings for ws, http, v, device, in that order (keys matched case-insensitively).
std::vector<std::string> txtEntries(const std::vector<std::string>& rawTxt);

DiscoveredDevice parseDevice(std::string_view instance, std::string_view host, std::int64_t srvPort,
                             const std::vector<std::string>& txt);

}  // namespace gt
