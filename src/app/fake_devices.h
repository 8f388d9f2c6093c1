#pragma once
#include <optional>
#include <string_view>
#include <vector>

#include "core/discovery/discovered_device.h"

// A stand-in for the LAN search, for demos and the scripted desktop run: when the environment variable
// GLOWTICKER_FAKE_DEVICES is set, the pairing view lists the devices it names instead of browsing.
//
//   GLOWTICKER_FAKE_DEVICES="name@host:httpPort:wsPort[,name@host:httpPort:wsPort…]"
//   e.g. GLOWTICKER_FAKE_DEVICES="Desk@127.0.0.1:8080:8081,Phone@127.0.0.2:8090:8091"
//
// The name is everything before the last '@'; the two ports are the last two ':'-separated fields
// (decimal, 1–65535), so the host may itself hold ':'. Malformed entries are left out; an empty
// variable lists no device. The model field stays empty ("unknown").
namespace gt::FakeDevices {

inline constexpr const char* kEnvVar = "GLOWTICKER_FAKE_DEVICES";

std::vector<DiscoveredDevice> parse(std::string_view list);

// The parsed variable, or nullopt when it is not set.
std::optional<std::vector<DiscoveredDevice>> fromEnvironment();

}  // namespace gt::FakeDevices
