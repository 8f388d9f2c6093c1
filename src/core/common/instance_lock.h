#pragma once
#include <filesystem>
#include <string>

namespace gt {

// An exclusive lock on a file, held for this object's life, that says "one copy runs". The kernel drops
// it when the process ends in any way (kill -9 included), so a new start after a crash works at once.
// The descriptor is not inherited by child processes, so a tool the app started cannot keep it.
class InstanceLock {
 public:
  enum class State { held, takenByAnother, unavailable };

  // Tries once, without waiting; creates the file (0600) but not its directory.
  explicit InstanceLock(const std::filesystem::path& path);
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  State state() const { return state_; }
  // Why the lock could not be tried (unavailable only).
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  State state_ = State::unavailable;
  std::string error_;
};

}  // namespace gt
