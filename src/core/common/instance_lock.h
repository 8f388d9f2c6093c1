#pragma once
#include <filesystem>
#include <utility>

#include "core/common/result.h"

namespace gt {

// Why this start cannot be the one copy that runs: another holds the claim, or there is no telling (the
// detail says why: the file and the system's reason, or the bus's).
enum class OneCopyProblem { anotherRuns, cannotTell };

// An exclusive lock on a file, held for this object's life, that says "one copy runs". The kernel drops
// it when the process ends in any way (kill -9 included), so a new start after a crash works at once.
// The descriptor is not inherited by child processes, so a tool the app started cannot keep it.
class InstanceLock {
 public:
  // Tries once, without waiting; creates the file (0600) but not its directory.
  static Result<InstanceLock, Problem<OneCopyProblem>> take(const std::filesystem::path& path);
  ~InstanceLock();
  InstanceLock(InstanceLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  InstanceLock& operator=(InstanceLock&&) = delete;

 private:
  explicit InstanceLock(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace gt
