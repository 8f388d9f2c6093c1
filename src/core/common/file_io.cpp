#include "core/common/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>

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

Result<FileText, Problem<ReadProblem>> readFileBounded(const std::filesystem::path& path, std::size_t maxBytes) {
  // O_NONBLOCK keeps a FIFO planted at the path from blocking the caller.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return fail(errno == ENOENT ? ReadProblem::missing : ReadProblem::failed, std::strerror(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return fail(ReadProblem::notRegular, "");
  }
  FileText file{{}, static_cast<mode_t>(st.st_mode & 07777)};
  std::optional<Problem<ReadProblem>> problem;
  // The size is checked again while reading: the file may grow after fstat.
  if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) problem = {ReadProblem::tooLarge, ""};
  char buf[16384];
  while (!problem) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      problem = {ReadProblem::failed, std::strerror(errno)};
    else if (n == 0)
      break;
    else if (file.text.size() + static_cast<std::size_t>(n) > maxBytes)
      problem = {ReadProblem::tooLarge, ""};
    else
      file.text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (problem) return fail(std::move(*problem));
  return file;
}

Result<void, FileProblem> replaceFileAtomically(const std::filesystem::path& target, std::string_view bytes,
                                                const ReplaceOptions& options) {
  auto failed = [](std::error_code ec, const std::filesystem::path& where) {
    return fail(std::errc(ec.value()), where.string());
  };
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  std::string tmp;
  int fd = -1;
  // Created 0600 either way: contents such as a token must never be readable by others, not even briefly.
  if (options.tempPath.empty()) {
    tmp = (dir / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    fd = ::mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) return failed(lastError(), dir);
  } else {
    tmp = options.tempPath.string();
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return failed(lastError(), tmp);
  }
  auto abandon = [&](std::error_code ec, const std::filesystem::path& where) {
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return failed(ec, where);
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
  if (auto ec = fsyncDirectory(dir)) return failed(ec, dir);
  return {};
}

}  // namespace gt
