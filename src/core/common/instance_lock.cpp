#include "core/common/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gt {

InstanceLock::InstanceLock(const std::filesystem::path& path) {
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) {
    error_ = path.string() + ": " + std::strerror(errno);
    return;
  }
  int rc;
  do {
    rc = ::flock(fd_, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) {
    state_ = State::held;
    return;
  }
  const int err = errno;
  ::close(fd_);
  fd_ = -1;
  if (err == EWOULDBLOCK) {
    state_ = State::takenByAnother;
  } else {
    error_ = path.string() + ": " + std::strerror(err);
  }
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace gt
