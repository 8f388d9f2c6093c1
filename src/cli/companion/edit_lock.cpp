#include "cli/companion/edit_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace gt {

namespace {

namespace fs = std::filesystem;

fs::path nearestFolder(fs::path dir) {
  std::error_code ec;
  while (!dir.empty() && !fs::is_directory(dir, ec) && dir != dir.parent_path()) dir = dir.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

}  // namespace

Result<EditLock, Problem<FileEditProblem>> EditLock::take(const fs::path& file, std::chrono::milliseconds wait) {
  auto locked = [](std::string why) { return fail(FileEditProblem::locked, std::move(why)); };
  std::error_code ec;
  fs::path where = fs::weakly_canonical(file, ec);
  if (ec) where = file;
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    fs::path dir = nearestFolder(where.parent_path());
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
      return locked("Could not open the folder " + dir.string() + " to lock it: " + std::strerror(errno) + ".");
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Another edit may have created the file's own folder meanwhile: then that one is the lock.
      if (nearestFolder(where.parent_path()) == dir) return EditLock(fd);
      ::close(fd);
      continue;
    }
    int err = errno;
    ::close(fd);
    if (err != EWOULDBLOCK && err != EINTR)
      return locked("Could not lock the folder " + dir.string() + ": " + std::strerror(err) + ".");
    if (std::chrono::steady_clock::now() >= deadline)
      return locked("Another program has been editing " + file.string() + " for too long; try again in a moment.");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

EditLock::~EditLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace gt
