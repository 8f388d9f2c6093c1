#pragma once
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

}  // namespace gt
