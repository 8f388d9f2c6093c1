#pragma once
#include <chrono>
#include <filesystem>
#include <string>

namespace gt {

// An advisory lock (flock) held while one agent file is read, edited and replaced, so that two edits
// at once (the app's switch and a terminal) run one after the other instead of one losing its
// change. It locks the folder that holds the file, so that nothing new appears beside the user's
// file; while that folder does not exist yet, its nearest existing parent.
class EditLock {
 public:
  EditLock(const std::filesystem::path& file, std::chrono::milliseconds wait = std::chrono::seconds(10));
  ~EditLock();
  EditLock(const EditLock&) = delete;
  EditLock& operator=(const EditLock&) = delete;

  bool held() const { return fd_ >= 0; }
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  std::string error_;
};

}  // namespace gt
