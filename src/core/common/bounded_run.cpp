#include "core/common/bounded_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace gt {

namespace {

struct Pipe {
  int fd[2] = {-1, -1};
  ~Pipe() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
  void closeEnd(int i) {
    if (fd[i] >= 0) ::close(fd[i]);
    fd[i] = -1;
  }
};

}  // namespace

bool drainChildOutput(pid_t pid, int outFd, int errFd, std::string& out, std::string& err, std::size_t maxOutput,
                      std::chrono::steady_clock::time_point deadline) {
  pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  char buf[8192];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      ::kill(pid, SIGKILL);
      return true;
    }
    int n = ::poll(fds, 2, static_cast<int>(std::min<long long>(left.count(), 1000)));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2 && n > 0; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = ::read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        fds[i].fd = -1;
        continue;
      }
      std::size_t room = maxOutput - std::min(maxOutput, sinks[i]->size());
      sinks[i]->append(buf, std::min(room, static_cast<std::size_t>(got)));
    }
  }
  return false;
}

Result<std::string, Problem<RunProblem>> runBounded(const std::vector<std::string>& argv,
                                                    std::chrono::milliseconds limit, std::size_t maxOutput) {
  if (argv.empty()) return fail(RunProblem::notStarted, "nothing to run");
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  // Close-on-exec pipes: a program started concurrently by another thread must not hold our write ends.
  Pipe out, err;
  if (::pipe2(out.fd, O_CLOEXEC) != 0 || ::pipe2(err.fd, O_CLOEXEC) != 0)
    return fail(RunProblem::notStarted, std::string("cannot make a pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.fd[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.fd[1], STDERR_FILENO);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t defaults;  // the app may ignore SIGPIPE; the program gets the usual dispositions
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return fail(RunProblem::notStarted, argv[0] + ": " + std::strerror(rc));
  out.closeEnd(1);
  err.closeEnd(1);

  std::string outText, errText;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool timedOut = drainChildOutput(pid, out.fd[0], err.fd[0], outText, errText, maxOutput, deadline);
  // Both pipes closed: the program has ended or closed them; a program that lingers without its
  // output is still bounded by the deadline.
  int status = 0;
  for (;;) {
    pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid || (w < 0 && errno != EINTR)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      timedOut = true;
      ::kill(pid, SIGKILL);
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      break;
    }
    ::usleep(2000);
  }
  if (timedOut)
    return fail(RunProblem::timedOut, argv[0] + " did not finish within " + std::to_string(limit.count()) + " ms");
  if (!WIFEXITED(status))
    return fail(RunProblem::signalled, argv[0] + " ended by signal " + std::to_string(WTERMSIG(status)));
  if (WEXITSTATUS(status) != 0) {
    errText.erase(std::min(errText.find('\n'), errText.size()));
    return fail(RunProblem::failed,
                errText.empty() ? argv[0] + " exited with status " + std::to_string(WEXITSTATUS(status)) : errText);
  }
  return outText;
}

}  // namespace gt
