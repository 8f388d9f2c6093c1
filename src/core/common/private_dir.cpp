#include "core/common/private_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace gt {

namespace {

Failure<FileProblem> failed(const std::filesystem::path& dir, const char* what, int err) {
  return fail(std::errc(err), std::string("cannot ") + what + " " + dir.string() + ": " + std::strerror(err));
}

}  // namespace

Result<void, FileProblem> ensurePrivateDir(const std::filesystem::path& dir) {
  struct stat before {};
  if (::lstat(dir.c_str(), &before) != 0) {
    if (errno != ENOENT) return failed(dir, "inspect", errno);
    std::error_code ec;
    if (dir.has_parent_path() && dir.parent_path() != dir) std::filesystem::create_directories(dir.parent_path(), ec);
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) return failed(dir, "create", errno);
    if (::lstat(dir.c_str(), &before) != 0) return failed(dir, "inspect", errno);
  }
  if (S_ISLNK(before.st_mode))
    return fail(std::errc::not_a_directory, dir.string() + " is a symbolic link; refusing to use it");
  if (!S_ISDIR(before.st_mode)) return fail(std::errc::not_a_directory, dir.string() + " is not a directory");
  if (before.st_uid != ::geteuid())
    return fail(std::errc::permission_denied,
                dir.string() + " belongs to another user (uid " + std::to_string(before.st_uid) + ")");
  // The mode is set through a descriptor of the very directory checked above, so a swap between the
  // check and the change cannot redirect it.
  // O_PATH needs no permission on the directory, so even one a 0777 umask created mode 0 is opened.
  int fd = ::open(dir.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return failed(dir, "open", errno);
  struct stat now {};
  Result<void, FileProblem> made;
  if (::fstat(fd, &now) != 0)
    made = failed(dir, "inspect", errno);
  else if (now.st_dev != before.st_dev || now.st_ino != before.st_ino)
    made = fail(std::errc::resource_unavailable_try_again, dir.string() + " changed while it was being checked");
  else if ((now.st_mode & 07777) != 0700 && ::chmod(("/proc/self/fd/" + std::to_string(fd)).c_str(), 0700) != 0)
    made = failed(dir, "restrict the mode of", errno);
  ::close(fd);
  return made;
}

}  // namespace gt
