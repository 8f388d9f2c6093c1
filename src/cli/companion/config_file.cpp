#include "cli/companion/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "core/common/file_io.h"

namespace gt {

namespace {

constexpr std::size_t kMaxConfigBytes = 16 * 1024 * 1024;

std::string sysError(const std::string& what, const std::filesystem::path& path, int err) {
  return "Could not " + what + " " + path.string() + ": " + std::strerror(err) + ".";
}

bool writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

Result<ConfigFile, Problem<FileEditProblem>> ConfigFile::load(const std::filesystem::path& path) {
  auto unreadable = [](std::string why) { return fail(FileEditProblem::unreadable, std::move(why)); };
  ConfigFile file;
  file.path = path;
  file.target = path;
  std::error_code ec;
  if (std::filesystem::is_symlink(path, ec)) {
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    if (ec) return unreadable("Could not follow the link " + path.string() + ": " + ec.message() + ".");
    file.target = resolved;
  }
  auto read = readFileBounded(file.target, kMaxConfigBytes);
  if (!read) {
    switch (read.error().kind) {
      case ReadProblem::missing:
        return file;
      case ReadProblem::notRegular:
        return unreadable(path.string() + " is not a regular file; move it aside and try again.");
      case ReadProblem::tooLarge:
        return unreadable(path.string() +
                          " is larger than 16 MiB, which is not a configuration file this tool will edit.");
      case ReadProblem::failed:
        break;
    }
    return unreadable("Could not read " + path.string() + ": " + read.error().detail + ".");
  }
  file.exists = true;
  file.mode = read->mode;
  file.text = std::move(read->text);
  return file;
}

Result<std::filesystem::path, Problem<FileEditProblem>> ConfigFile::backup() const {
  char stamp[32];
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&now, &tm);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path candidate = target;
    candidate += std::string(".bak-") + stamp + (attempt ? "-" + std::to_string(attempt) : "");
    int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return fail(FileEditProblem::notBackedUp, sysError("create the backup", candidate, errno));
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    ::close(fd);
    if (!ok) {
      ::unlink(candidate.c_str());
      return fail(FileEditProblem::notBackedUp, sysError("write the backup", candidate, err));
    }
    return candidate;
  }
  return fail(FileEditProblem::notBackedUp,
              "Could not find a free backup name beside " + path.string() + "; remove old backups and try again.");
}

Result<void, Problem<FileEditProblem>> ConfigFile::replace(const std::string& newText) const {
  std::filesystem::path dir = target.parent_path();
  if (dir.empty()) dir = ".";
  if (!exists) {
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
      std::filesystem::create_directories(dir, ec);
      if (ec)
        return fail(FileEditProblem::notWritten,
                    "Could not create the folder " + dir.string() + ": " + ec.message() + ".");
      std::filesystem::permissions(dir, std::filesystem::perms::owner_all, ec);
    }
  }
  if (auto written = replaceFileAtomically(target, newText, {exists ? mode : mode_t{0600}, {}}); !written) {
    const bool inDir = written.error().detail == dir.string();
    return fail(FileEditProblem::notWritten, sysError(inDir ? "write a temporary file in" : "write", inDir ? dir : path,
                                                      static_cast<int>(written.error().kind)));
  }
  return {};
}

}  // namespace gt
