#pragma once
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace gt {

// One agent configuration file as read before an edit, and the safe ways to change it.
struct ConfigFile {
  std::filesystem::path path;    // as the user knows it, for messages and the report
  std::filesystem::path target;  // where the bytes live (a symlinked dotfile is edited in place)
  bool exists = false;
  std::string text;
  mode_t mode = 0600;

  // Reads the file; a missing file gives exists = false. On failure `error` holds a sentence.
  static std::optional<ConfigFile> load(const std::filesystem::path& path, std::string& error);

  // Copies the current bytes to a new file beside it, never overwriting an older backup.
  std::optional<std::filesystem::path> backup(std::string& error) const;

  // Replaces the contents atomically (temporary file in the same folder, fsync, rename) with the
  // original mode; creates the folder (0700) and the file (0600) when missing.
  bool replace(const std::string& newText, std::string& error) const;
};

}  // namespace gt
