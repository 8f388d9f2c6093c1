#pragma once
#include <chrono>
#include <filesystem>
#include <utility>

#include "cli/companion/config_file.h"

namespace gt {

// An advisory lock (flock) held while one agent file is read, edited and replaced, so that two edits
// at once (the app's switch and a terminal) run one after the other instead of one losing its
// change. It locks the folder that holds the file, so that nothing new appears beside the user's
// file; while that folder does not exist yet, its nearest existing parent.
class EditLock {
 public:
  // Waits at most `wait` for another edit to finish; locked when it did not, or the folder cannot be locked.
  static Result<EditLock, Problem<FileEditProblem>> take(const std::filesystem::path& file,
                                                         std::chrono::milliseconds wait = std::chrono::seconds(10));
  ~EditLock();
  EditLock(EditLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  EditLock& operator=(EditLock&&) = delete;

 private:
  explicit EditLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace gt
