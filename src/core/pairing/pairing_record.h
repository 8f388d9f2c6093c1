#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace gt {

// The pairing record, stored as ~/.glowticker/config.json.
struct ClockConfig {
  std::string deviceName;
  std::string host;
  std::int64_t wsPort = 0;
  std::int64_t httpPort = 0;
  std::string token;
  std::string pairedAt;  // ISO 8601 UTC, whole seconds, "Z"

  bool operator==(const ClockConfig&) const = default;
};

// Strict: a JSON object with all six keys of the right JSON types; other keys ignored.
std::optional<ClockConfig> decodeClockConfig(std::string_view json);
// Pretty-printed, keys device_name, host, ws_port, http_port, token, paired_at in that order.
// Text fields must be valid UTF-8 (ConfigStore::save checks).
std::string encodeClockConfig(const ClockConfig& cfg);

}  // namespace gt
