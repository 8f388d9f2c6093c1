#include "core/common/program_path.h"

#include <sys/stat.h>
#include <unistd.h>

namespace gt {

std::filesystem::path runningProgram(std::error_code& ec) {
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec && exe.empty()) ec = std::make_error_code(std::errc::no_such_file_or_directory);
  return ec ? std::filesystem::path() : exe;
}

std::filesystem::path runningProgramDir() {
  std::error_code ec;
  return runningProgram(ec).parent_path();
}

bool isExecutableFile(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace gt
