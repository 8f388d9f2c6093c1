#pragma once
// Running the project's programs from tests, with every wait bounded and the output kept in files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_files.h"

extern char** environ;

namespace gt::test {

struct ProcessResult {
  int status = -1;  // the exit code; -1 when the program did not exit by itself
  std::string out, err;
  std::chrono::milliseconds took{0};
};

// posix_spawn of argv[0] with `fa`: its result (0 or an error number).
inline int spawn(pid_t& pid, std::vector<std::string> argv, const posix_spawn_file_actions_t& fa,
                 char* const* env = environ) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  return ::posix_spawn(&pid, args[0], &fa, nullptr, args.data(), env);
}

// Waits up to `ms` for `pid` to end, else kills it (false); either way reaps it into `status`.
inline bool reap(pid_t pid, int ms, int& status) {
  pollfd p{static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)), POLLIN, 0};  // glibc 2.36 has no C++ pidfd_open
  bool ended = ::poll(&p, 1, ms) == 1;
  ::close(p.fd);
  if (!ended) ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return ended;
}

// argv with `input` on stdin (held open with `holdInput`), output in `dir`, env null: ours; killed past `seconds`.
inline ProcessResult runProgram(std::vector<std::string> argv, const std::filesystem::path& dir,
                                const std::string& input = {}, bool holdInput = false, char* const* env = nullptr,
                                int seconds = 10) {
  const std::string out = (dir / "out").string(), err = (dir / "err").string();
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, p[0], 0);
  posix_spawn_file_actions_addopen(&fa, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&fa, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  auto start = std::chrono::steady_clock::now();
  pid_t pid;
  bool spawned = spawn(pid, argv, fa, env ? env : environ) == 0;
  posix_spawn_file_actions_destroy(&fa);
  ::close(p[0]);
  ::signal(SIGPIPE, SIG_IGN);
  if (spawned) (void)!::write(p[1], input.data(), input.size());  // a payload past the pipe size ends in EPIPE
  if (!holdInput) ::close(p[1]);
  int status = -1;
  if (spawned && !reap(pid, seconds * 1000, status)) ADD_FAILURE() << argv[0] << " did not end within " << seconds << " s";
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  if (holdInput) ::close(p[1]);
  return {spawned && WIFEXITED(status) ? WEXITSTATUS(status) : -1, readAll(out), readAll(err), took};
}

// A shell command line; after `seconds` it and what it started are sent SIGTERM, 2 s later SIGKILL.
inline ProcessResult runShell(const std::string& command, const std::filesystem::path& dir, int seconds) {
  return runProgram({"/usr/bin/timeout", "-k", "2", std::to_string(seconds), "/bin/sh", "-c", command}, dir, {}, false,
                    nullptr, seconds + 5);
}

// A program left running, its first output line ("ready", within `seconds`) kept; stop() gives its exit code.
struct Background {
  explicit Background(std::vector<std::string> argv, int seconds = 10) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    if (spawn(pid, argv, fa) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&fa);
    ::close(p[1]);
    out = p[0];
    char c;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds); pid > 0;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      pollfd pf{out, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&pf, 1, static_cast<int>(left.count())) != 1 || ::read(out, &c, 1) != 1) break;
      if (c == '\n') return;
      firstLine += c;
    }
    firstLine.clear();
  }
  int stop() {
    int status = -1;
    if (pid > 0) ::kill(pid, SIGTERM), reap(pid, 3000, status);
    if (out >= 0) ::close(out);
    pid = out = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;  // -1 also after SIGKILL
  }
  ~Background() { stop(); }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  pid_t pid = -1;
  int out = -1;
  std::string firstLine;
};

}  // namespace gt::test
