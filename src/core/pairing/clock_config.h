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
// Throws nlohmann::json::type_error when a text field is not valid UTF-8.
std::string encodeClockConfig(const ClockConfig& cfg);

// Load, save and delete the pairing file. baseDir is guarded by a mutex; the file operations are as
// safe as the file system makes them (a reader sees the old or the new file, never a mix).
namespace ConfigStore {
std::filesystem::path baseDir();  // default: home / ".glowticker"
void setBaseDir(std::filesystem::path dir);
void resetBaseDir();
std::filesystem::path configPath();  // baseDir() / "config.json"

std::optional<ClockConfig> load();  // absent when missing, unreadable or undecodable
// Crash-safe save through ".config-<UUID>.tmp", fsync and rename; dir 0700, file 0600. Empty code on
// success; on failure the old file is intact and `failedPath` (when given) names the path that failed.
std::error_code save(const ClockConfig& cfg, std::filesystem::path* failedPath = nullptr);
// Removes config.json; fails (no_such_file_or_directory) when there is none.
std::error_code deleteConfig();
}  // namespace ConfigStore

}  // namespace gt
