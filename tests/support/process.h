#pragma once
// Running the project's programs from tests, with every wait bounded and the output kept in files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/test_files.h"

extern char** environ;

namespace gt::test {

struct ProcessResult {
  int status = -1;  // the exit code; -1 when the program did not exit by itself
  std::string out, err;
  std::chrono::milliseconds took{0};
};

// argv with `input` on standard input, held open until the program ends when `holdInput` (an agent that
// never closes it); `env` null means this process's environment. A program still running after `seconds`
// is killed and the test fails. Output goes to files in `dir`.
inline ProcessResult runProgram(std::vector<std::string> argv, const std::filesystem::path& dir,
                                const std::string& input = {}, bool holdInput = false, char* const* env = nullptr,
                                int seconds = 10) {
  const std::string out = (dir / "out").string(), err = (dir / "err").string();
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[0], 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  bool spawned = ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), env ? env : environ) == 0;
  posix_spawn_file_actions_destroy(&fa);
  ::close(p[0]);
  ::signal(SIGPIPE, SIG_IGN);
  if (spawned) (void)!::write(p[1], input.data(), input.size());  // a payload past the pipe size ends in EPIPE
  if (!holdInput) ::close(p[1]);
  int status = 0;
  if (spawned) {
    auto deadline = start + std::chrono::seconds(seconds);
    while (::waitpid(pid, &status, WNOHANG) != pid) {
      if (std::chrono::steady_clock::now() > deadline) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << argv[0] << " did not end within " << seconds << " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (holdInput) ::close(p[1]);
  return {spawned && WIFEXITED(status) ? WEXITSTATUS(status) : -1, readAll(out), readAll(err), took};
}

// A shell command line; after `seconds` it and what it started are sent SIGTERM, 2 s later SIGKILL.
inline ProcessResult runShell(const std::string& command, const std::filesystem::path& dir, int seconds) {
  return runProgram({"/usr/bin/timeout", "-k", "2", std::to_string(seconds), "/bin/sh", "-c", command}, dir, {}, false,
                    nullptr, seconds + 5);
}

}  // namespace gt::test
