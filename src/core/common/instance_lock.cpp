#include "core/common/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gt {

Result<InstanceLock, Problem<OneCopyProblem>> InstanceLock::take(const std::filesystem::path& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return fail(OneCopyProblem::cannotTell, path.string() + ": " + std::strerror(errno));
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return InstanceLock(fd);
  const int err = errno;
  ::close(fd);
  if (err == EWOULDBLOCK) return fail(OneCopyProblem::anotherRuns, path.string());
  return fail(OneCopyProblem::cannotTell, path.string() + ": " + std::strerror(err));
}

InstanceLock::~InstanceLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace gt
