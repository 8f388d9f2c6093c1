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

EditLock::EditLock(const fs::path& file, std::chrono::milliseconds wait) {
  std::error_code ec;
  fs::path where = fs::weakly_canonical(file, ec);
  if (ec) where = file;
  auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    fs::path dir = nearestFolder(where.parent_path());
    int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      error_ = "Could not open the folder " + dir.string() + " to lock it: " + std::strerror(errno) + ".";
      return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Another edit may have created the file's own folder meanwhile: then that one is the lock.
      if (nearestFolder(where.parent_path()) == dir) {
        fd_ = fd;
        return;
      }
      ::close(fd);
      continue;
    }
    int err = errno;
    ::close(fd);
    if (err != EWOULDBLOCK && err != EINTR) {
      error_ = "Could not lock the folder " + dir.string() + ": " + std::strerror(err) + ".";
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      error_ = "Another program has been editing " + file.string() + " for too long; try again in a moment.";
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

EditLock::~EditLock() {
  if (fd_ >= 0) ::close(fd_);
}

}  // namespace gt
