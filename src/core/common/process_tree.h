#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace gt {

// The parent of `pid` as /proc/<pid>/stat gives it, or 0 when the process is gone or unreadable.
pid_t parentPid(pid_t pid);

// `pid` and its ancestors, nearest first, at most `max` of them, stopping before pid 1 (init is
// everyone's ancestor) and at the first that cannot be read.
std::vector<std::int64_t> processChain(pid_t pid, std::size_t max);

}  // namespace gt
