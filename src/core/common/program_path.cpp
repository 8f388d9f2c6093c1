#include "core/common/program_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace gt {

Result<std::filesystem::path, FileProblem> runningProgram() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty())
    return fail(ec ? std::errc(ec.value()) : std::errc::no_such_file_or_directory, "/proc/self/exe");
  return exe;
}

std::filesystem::path runningProgramDir() {
  auto exe = runningProgram();
  return exe ? exe->parent_path() : std::filesystem::path();
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace gt
