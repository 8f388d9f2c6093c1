#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace gt {

struct BoundedRunResult {
  int status = -1;    // exit code; -1 when it could not start, was killed at the time limit or died by a signal
  std::string out;    // standard output, at most `maxOutput` bytes kept
  std::string error;  // why status is -1, or the first line of standard error when it is not 0
};

// Runs argv[0] (looked up in PATH) with argv, no shell, standard input from /dev/null, and waits at most
// `limit`; past it the program is killed. Thread-safe.
BoundedRunResult runBounded(const std::vector<std::string>& argv, std::chrono::milliseconds limit,
                            std::size_t maxOutput = 64 * 1024);

// Reads a child's standard output and error into `out` and `err` (at most `maxOutput` bytes of each kept,
// the rest read and dropped so the child never stalls on a full pipe) until both pipes close or
// `deadline` passes, when the child is killed. Returns whether the deadline passed.
bool drainChildOutput(pid_t pid, int outFd, int errFd, std::string& out, std::string& err, std::size_t maxOutput,
                      std::chrono::steady_clock::time_point deadline);

}  // namespace gt
