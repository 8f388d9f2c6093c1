#include "core/common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace gt {

namespace {

std::error_code lastError() { return {errno, std::generic_category()}; }

std::error_code writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return lastError();
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

std::error_code fsyncDirectory(const std::filesystem::path& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return lastError();
  std::error_code ec;
  if (::fsync(fd) != 0) ec = lastError();
  ::close(fd);
  return ec;
}

}  // namespace

FileRead readFileBounded(const std::filesystem::path& path, std::size_t maxBytes) {
  FileRead r;
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the caller.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    r.error = lastError();
    r.status = errno == ENOENT ? FileRead::Status::missing : FileRead::Status::failed;
    return r;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    r.status = FileRead::Status::notRegular;
    return r;
  }
  r.mode = st.st_mode & 07777;
  r.status = FileRead::Status::ok;
  // The size is checked again while reading: the file may grow after fstat.
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) r.status = FileRead::Status::tooLarge;
  char buf[16384];
  while (r.ok()) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      r.error = lastError();
      r.status = FileRead::Status::failed;
    } else if (n == 0) {
      break;
    } else if (r.text.size() + static_cast<std::size_t>(n) > maxBytes) {
      r.status = FileRead::Status::tooLarge;
    } else {
      r.text.append(buf, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  if (!r.ok()) r.text.clear();
  return r;
}

std::error_code replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                                      const ReplaceOptions& options, std::filesystem::path* failedPath) {
  auto fail = [&](std::error_code ec, const std::filesystem::path& where) {
    if (failedPath) *failedPath = where;
    return ec;
  };
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmp;
  int fd = -1;
  // Created 0600 either way: contents such as a token must never be readable by others, not even briefly.
  if (options.tempPath.empty()) {
    tmp = (dir / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return fail(lastError(), dir);
  } else {
    tmp = options.tempPath.string();
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return fail(lastError(), tmp);
  }
  auto abandon = [&](std::error_code ec, const std::filesystem::path& where) {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return fail(ec, where);
  };
  if (auto ec = writeAll(fd, bytes)) return abandon(ec, tmp);
  if (::fchmod(fd, options.mode) != 0) return abandon(lastError(), tmp);
  // On disk before it takes the target's name, so a power loss cannot leave an empty file.
  if (::fsync(fd) != 0) return abandon(lastError(), tmp);
  int closed = ::close(fd);
  fd = -1;
  if (closed != 0) return abandon(lastError(), tmp);
  if (::rename(tmp.c_str(), target.c_str()) != 0) return abandon(lastError(), target);
  // The rename is durable only once the folder entry is on disk too.
  if (auto ec = fsyncDirectory(dir)) return fail(ec, dir);
  return {};
}

}  // namespace gt
