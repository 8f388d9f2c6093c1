#pragma once
#include <filesystem>
#include <optional>

#include "core/common/file_io.h"
#include "core/pairing/pairing_record.h"

namespace gt {

// Load, save and delete the pairing file. baseDir is guarded by a mutex; the file operations are as
// safe as the file system makes them (a reader sees the old or the new file, never a mix).
namespace ConfigStore {
std::filesystem::path baseDir();  // default: home / ".glowticker"
void setBaseDir(std::filesystem::path dir);
void resetBaseDir();
std::filesystem::path configPath();  // baseDir() / "config.json"

std::optional<ClockConfig> load();  // absent when missing, unreadable or undecodable
// Crash-safe save through ".config-<UUID>.tmp", fsync and rename; dir 0700, file 0600. On failure the
// old file is intact. Text fields that are not UTF-8 fail as illegal_byte_sequence.
Result<void, FileProblem> save(const ClockConfig& cfg);
// Removes config.json; fails (no_such_file_or_directory) when there is none.
Result<void, FileProblem> deleteConfig();
}  // namespace ConfigStore

}  // namespace gt
