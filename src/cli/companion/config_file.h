#pragma once
#include <sys/types.h>

#include <filesystem>
#include <string>

#include "core/common/result.h"

namespace gt {

// Why the companion tool could not get at an agent's file; the detail is the sentence it prints.
enum class FileEditProblem {
  locked,       // another edit held the file too long, or the folder could not be locked
  unreadable,   // not a regular file, too large, or the system refused
  notBackedUp,  // no backup could be written beside it (nothing was changed)
  notWritten,   // the new contents could not replace the old (the file was left as it was)
};

// One agent configuration file as read before an edit, and the safe ways to change it.
struct ConfigFile {
  std::filesystem::path path;    // as the user knows it, for messages and the report
  std::filesystem::path target;  // where the bytes live (a symlinked dotfile is edited in place)
  bool exists = false;
  std::string text;
  mode_t mode = 0600;

  // Reads the file; a missing file gives exists = false.
  static Result<ConfigFile, Problem<FileEditProblem>> load(const std::filesystem::path& path);

  // Copies the current bytes to a new file beside it, never overwriting an older backup; its path.
  Result<std::filesystem::path, Problem<FileEditProblem>> backup() const;

  // Replaces the contents atomically (temporary file in the same folder, fsync, rename) with the
  // original mode; creates the folder (0700) and the file (0600) when missing.
  Result<void, Problem<FileEditProblem>> replace(const std::string& newText) const;
};

}  // namespace gt
