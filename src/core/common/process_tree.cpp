#include "core/common/process_tree.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

namespace gt {

pid_t parentPid(pid_t pid) {
  if (pid <= 0) return 0;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[1024];  // "pid (comm) state ppid ...": comm is at most 64 bytes, so ppid is well inside
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  if (n <= 0) return 0;
  std::string_view stat(buf, static_cast<std::size_t>(n));
  // The command name may hold spaces and parentheses; the fields resume after its last ')'.
  std::size_t close = stat.rfind(')');
  if (close == std::string_view::npos || close + 4 >= stat.size()) return 0;
  std::size_t i = close + 4;  // past ") S "
  long long ppid = 0;
  for (; i < stat.size() && stat[i] >= '0' && stat[i] <= '9'; ++i) {
    ppid = ppid * 10 + (stat[i] - '0');
    if (ppid > 0x7fffffff) return 0;
  }
  return static_cast<pid_t>(ppid);
}

std::vector<std::int64_t> processChain(pid_t pid, std::size_t max) {
  std::vector<std::int64_t> chain;
  while (pid > 1 && chain.size() < max) {
    chain.push_back(pid);
    pid = parentPid(pid);
  }
  return chain;
}

}  // namespace gt
