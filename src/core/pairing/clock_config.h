#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

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
std::string encodeClockConfig(const ClockConfig& cfg);

// Load, save and delete the pairing file. Thread-safe as far as the file system is.
namespace ConfigStore {
std::filesystem::path baseDir();  // default: home / ".glowticker"
void setBaseDir(std::filesystem::path dir);
void resetBaseDir();
std::filesystem::path configPath();  // baseDir() / "config.json"

std::optional<ClockConfig> load();  // absent when missing, unreadable or undecodable
// Crash-safe save through ".config-<UUID>.tmp" and rename; dir 0700, file 0600. Empty code on success.
std::error_code save(const ClockConfig& cfg);
// Removes config.json; fails (no_such_file_or_directory) when there is none.
std::error_code deleteConfig();
}  // namespace ConfigStore

}  // namespace gt
