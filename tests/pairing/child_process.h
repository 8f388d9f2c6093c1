#pragma once
#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace gt::test {

struct RunResult {
  int exitCode = -1;  // -1 when killed or timed out
  bool timedOut = false;
  std::string out, err;
};

// Runs a program to its end with the given extra environment ("NAME=value", overriding), capturing
// both outputs (each bounded to 1 MiB). Killed with SIGKILL when it outlives `timeout`.
RunResult runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                     std::chrono::milliseconds timeout);

// A program left running in the background (the simulated phone), read line by line from its standard
// output. The destructor sends SIGTERM, waits up to 2 s, then SIGKILL.
class BackgroundProcess {
 public:
  explicit BackgroundProcess(const std::vector<std::string>& argv);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of standard output, or nothing when none arrives within `timeout`.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout);
  // Sends SIGTERM and waits up to `timeout` for the exit; the exit status, or -1.
  int stop(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  int outFd_ = -1;
  std::string buffer_;
};

}  // namespace gt::test
