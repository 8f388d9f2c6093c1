#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "core/common/result.h"

namespace gt {

// Why a program run by runBounded did not exit with status 0; the detail is one line for the log.
enum class RunProblem {
  notStarted,  // nothing to run, no pipe, or the program could not be started
  timedOut,    // killed at the time limit
  signalled,   // ended by a signal
  failed,      // exited with another status: the first line of its standard error, or the status
};

// Runs argv[0] (looked up in PATH) with argv, no shell, standard input from /dev/null, and waits at most
// `limit`; past it the program is killed. Its standard output (at most `maxOutput` bytes kept) when it
// exits with 0. Thread-safe.
Result<std::string, Problem<RunProblem>> runBounded(const std::vector<std::string>& argv,
                                                    std::chrono::milliseconds limit, std::size_t maxOutput = 64 * 1024);

// Reads a child's standard output and error into `out` and `err` (at most `maxOutput` bytes of each kept,
// the rest read and dropped so the child never stalls on a full pipe) until both pipes close or
// `deadline` passes, when the child is killed. Returns whether the deadline passed.
bool drainChildOutput(pid_t pid, int outFd, int errFd, std::string& out, std::string& err, std::size_t maxOutput,
                      std::chrono::steady_clock::time_point deadline);

}  // namespace gt
